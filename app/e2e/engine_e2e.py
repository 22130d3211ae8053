#!/usr/bin/python3
"""End-to-end test of the measurement engine inside the program that ./run starts: a fresh data
root, the app driven through its JSON driver, the engine's SQLite database read afterwards.

Usage: engine_e2e.py --tessaline PATH
"""
import argparse
import concurrent.futures
import json
import os
import pathlib
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

TIMEOUT = 60
# Well under TIMEOUT, which the stop is given as a whole.
FINISH_SECONDS = 30
DATABASE = "Library/Application Support/Nexory/Measurement/nexory-app-measurement.sql"
ADDRESS = "Tessaline is running at "
# The one line a launch without network may add: no remote configuration yet.
REMOTE_CONFIG_WARNING = "warning: no remote configuration ("


class Failure(Exception):
    pass


class App:
    def __init__(self, binary, home, output, *arguments):
        # The stop waits 2 s for the engine's writes unless told otherwise; these tests check that
        # everything logged before the stop is stored, so a busy machine's slow disk gets longer.
        env = dict(os.environ, TESSALINE_HOME=str(home),
                   TESSALINE_FINISH_SECONDS=str(FINISH_SECONDS))
        # Files, not pipes: a chatty run must never block on a full pipe.
        self.output = pathlib.Path(output)
        with open(self.output, "w") as sink:
            self.process = subprocess.Popen([binary, "--port", "0", *arguments], env=env,
                                            stdout=sink, stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + TIMEOUT
        while True:
            first = self.output.read_text().split("\n", 1)
            if len(first) == 2:
                break
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.process.kill()
                raise Failure(f"tessaline printed no address: {first[0]!r}")
            time.sleep(0.05)
        if not first[0].startswith(ADDRESS):
            self.process.kill()
            raise Failure(f"unexpected first line {first[0]!r}")
        self.url = first[0][len(ADDRESS):].strip()

    def post(self, action, body):
        request = urllib.request.Request(self.url + "driver/" + action,
                                         data=json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
            answer = json.load(response)
        if not answer.get("ok"):
            raise Failure(f"{action} {body} answered {answer}")

    def tap(self, **query):
        self.post("tap", query)

    def screen(self):
        with urllib.request.urlopen(self.url + "driver/screen", timeout=TIMEOUT) as response:
            return json.load(response)["dump"]

    def stop(self):
        """SIGTERM; the program must end by itself, with 0. Returns the lines it printed."""
        self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("tessaline did not stop on SIGTERM")
        if code != 0:
            raise Failure(f"tessaline exited with {code} on SIGTERM")
        return self.output.read_text().splitlines()


def counts(home):
    """Stored raw events by name."""
    connection = sqlite3.connect(f"file:{home / DATABASE}?mode=ro", uri=True)
    try:
        return dict(connection.execute("SELECT name, COUNT(*) FROM raw_events GROUP BY name"))
    finally:
        connection.close()


def settle_first_launch(app):
    app.tap(text="Accept")
    for _ in range(10):
        if "#onboardAdvanceButton" not in app.screen():
            return
        app.tap(id="onboardAdvanceButton")
    raise Failure("onboarding did not end")


def calculate(app):
    for field, digit in (("aTextField", "2"), ("uTextField", "4"), ("vTextField", "8")):
        app.tap(id=field)
        app.tap(text=digit)
    app.tap(id="calculateButton")
    if 'latex="5 = 5"' not in app.screen():
        raise Failure("the calculation did not reach the result page")


def run(binary, scratch):
    home = scratch / "home"

    # A fresh data root: the launch says where it runs and, offline, that it has no remote
    # configuration, nothing else. One calculation: the engine stores the app's first open,
    # its session start and the calculation.
    app = App(binary, home, scratch / "first.out")
    settle_first_launch(app)
    calculate(app)
    lines = app.stop()
    launch = [line for line in lines if not line.startswith(ADDRESS)]
    unexpected = [line for line in launch if not line.startswith(REMOTE_CONFIG_WARNING) and
                  "Only ecommerce events are allowed to contain array parameters" not in line]
    if unexpected:
        raise Failure(f"the first run printed {unexpected}")
    if sum(line.startswith(REMOTE_CONFIG_WARNING) for line in launch) > 1:
        raise Failure(f"more than one remote-configuration warning: {launch}")
    stored = counts(home)
    for name in ("_f", "_s", "quro_calculate"):
        if stored.get(name, 0) < 1:
            raise Failure(f"no {name} event stored: {stored}")

    # SIGTERM right after 100 events: the exit waits for them, so all are there after a
    # restart. The taps come from several connections at once, so the events queue up in the
    # engine faster than one at a time.
    app = App(binary, home, scratch / "second.out")
    before = counts(home).get("tapped_clear", 0)
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        for future in [pool.submit(app.tap, id="toolbarRemoveButton") for _ in range(100)]:
            future.result()
    app.stop()
    # The restart also takes the engine's launch arguments beside --port.
    app = App(binary, home, scratch / "third.out", "-KLVAnalyticsDebugEnabled")
    stored = counts(home).get("tapped_clear", 0) - before
    app.stop()
    if stored != 100:
        raise Failure(f"{stored} of 100 events logged before SIGTERM were stored")


def harness(name, scenario):
    """Runs `scenario(binary, scratch)` with the command line of these tests and a fresh scratch
    folder, which it removes afterwards. Returns the exit status."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--tessaline", required=True)
    args = parser.parse_args()
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=f"tessaline-{name}-e2e-"))
    try:
        scenario(args.tessaline, scratch)
        print(f"{name} end-to-end test passed")
        return 0
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    return harness("engine", run)


if __name__ == "__main__":
    sys.exit(main())
