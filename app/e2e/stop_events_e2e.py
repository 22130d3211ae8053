#!/usr/bin/python3
"""End-to-end test of what the engine stores from the program's own road: the side menu's rating
and app-link events arrive under names the engine accepts, with their parameters, and a stop by
SIGTERM ends the session with a closing engagement event.

Usage: stop_events_e2e.py --tessaline PATH
"""
import json
import os
import pathlib
import shutil
import sqlite3
import sys
import time
import urllib.request

from e2e_support import serve, set_info_string, url_of
from engine_e2e import DATABASE, App, Failure, harness, settle_first_launch

RESOURCES = pathlib.Path(__file__).resolve().parent.parent / "resources"
TIMEOUT = 60


def varint(data, at):
    value, shift = 0, 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def fields(data):
    """(field number, value) of a protocol-buffer message: ints for varints, bytes otherwise."""
    at = 0
    while at < len(data):
        key, at = varint(data, at)
        number, kind = key >> 3, key & 7
        if kind == 0:
            value, at = varint(data, at)
        elif kind == 2:
            length, at = varint(data, at)
            value, at = data[at:at + length], at + length
        elif kind in (1, 5):
            size = 8 if kind == 1 else 4
            value, at = data[at:at + size], at + size
        else:
            raise Failure(f"unexpected wire type {kind}")
        yield number, value


def event_of(blob):
    """A stored event's parameters (name: text or int) and its time in milliseconds."""
    parameters, millis = {}, None
    for number, value in fields(blob):
        if number == 1:  # a parameter: name 1, text 2, int 3
            entry = dict(fields(value))
            name = entry.get(1, b"").decode()
            parameters[name] = entry[2].decode() if 2 in entry else entry.get(3)
        elif number == 3:
            millis = value
    return parameters, millis


def stored_events(home):
    connection = sqlite3.connect(f"file:{home / DATABASE}?mode=ro", uri=True)
    try:
        rows = connection.execute("SELECT name, data FROM raw_events ORDER BY rowid").fetchall()
    finally:
        connection.close()
    return [(name, *event_of(data)) for name, data in rows]


def stored_names(home):
    """The names of the events stored so far; none while the database is not there yet."""
    try:
        return {name for name, _, _ in stored_events(home)}
    except sqlite3.Error:
        return set()


def opened(app):
    """The URLs the app has opened, as the page lists them."""
    with urllib.request.urlopen(app.url + "ui/frame", timeout=TIMEOUT) as response:
        return json.load(response)["opened"]


def wait_for(what, predicate):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what}")


def run(binary, scratch):
    home = scratch / "home"
    # Any answer counts as connected.
    server = serve(b"", "text/plain")
    try:
        resources = scratch / "resources"
        shutil.copytree(RESOURCES, resources)
        set_info_string(resources, "TESSALINE_CONNECTIVITY_URL", url_of(server))
        os.environ["TESSALINE_RESOURCES"] = str(resources)
        app = App(binary, home, scratch / "run.out")
        settle_first_launch(app)
        # The rating row opens the rating page once the connectivity check answered; the
        # single-app row opens the store page of an app that is not installed.
        app.tap(id="menuButton")
        app.tap(text="Rate this App")
        wait_for("the rating page", lambda: any(u.endswith("/tessaline/review") for u in opened(app)))
        app.tap(text="PQ Formula")
        wait_for("the store page", lambda: any(u.endswith("/pelmora-pqformula") for u in opened(app)))
        # The engine starts on its own queues while the app runs; a stop before its start has
        # ended logs no closing engagement event (the taps, queued, are still stored). The taps
        # stored show the start over.
        wait_for("the engine to store the taps", lambda: {
            "tapped_rating_in_menu", "tapped_app_link"} <= stored_names(home))
        stopped = time.time()
        lines = app.stop()
        took = time.time() - stopped
    finally:
        server.shutdown()

    late = [line for line in lines if "did not finish" in line]
    if late:
        raise Failure(f"the stop did not finish in time: {late}")
    print(f"the stop took {took:.2f} s")
    events = stored_events(home)
    names = [name for name, _, _ in events]
    for name, parameters in (("tapped_rating_in_menu", {"quroApp": "Tessaline"}),
                             ("tapped_app_link", {"has_app": 0, "quroApp": "PQ Formula"})):
        found = [p for n, p, _ in events if n == name]
        if len(found) != 1:
            raise Failure(f"{len(found)} {name} events stored: {names}")
        own = {k: v for k, v in found[0].items() if not k.startswith("_")}
        if own != parameters:
            raise Failure(f"{name} stored with {own}, expected {parameters}")
    if "_err" in names:
        raise Failure(f"an event was refused: {names}")
    # The stop itself logs the closing engagement event: it is the last one stored, stamped
    # after the signal.
    last, parameters, millis = events[-1]
    if last != "_e" or millis < int(stopped * 1000):
        raise Failure(f"no engagement event at the stop ({stopped:.3f}): "
                      f"{[(n, m) for n, _, m in events]}")
    if not isinstance(parameters.get("_et"), int):
        raise Failure(f"the closing engagement event has no engagement time: {parameters}")


def main():
    return harness("stop and events", run)


if __name__ == "__main__":
    sys.exit(main())
