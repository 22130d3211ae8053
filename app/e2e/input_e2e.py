#!/usr/bin/python3
"""End-to-end test of the page's input in headless Chromium: keys typed without a pause land in
the order typed, keys the keypad lacks change nothing, a long number keeps its end and the caret
in view, the error toast leaves the help button free, long formula rows show that they scroll,
the favicon is no 404, a middle digit is corrected at a caret placed by a click, the arrow keys
and a selection made with Shift, and neither idle connections nor held polls lock the page out.

Usage: input_e2e.py --tessaline PATH --screenshots DIR
Needs what browser_e2e.py needs.
"""
import json
import pathlib
import random
import selectors
import socket
import struct
import sys
import threading
import time
import urllib.error
import urllib.request
import zlib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from browser_e2e import Failure, accept_and_skip_onboarding, harness, wait_for  # noqa: E402

from selenium.webdriver.common.actions.action_builder import ActionBuilder  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

BURSTS = 50
# The display server's connection limit (README).
IDLE_FLOOD = 256


def enter(session):
    """The calculate page of a first launch."""
    session.driver.get(session.app.url)
    wait_for("the consent alert", lambda: session.by_text("Accept"))
    accept_and_skip_onboarding(session)


def focus(session, field):
    session.click_id(field)
    wait_for(f"focus in {field}", lambda: " focus" in session.line(field))


def settled_text(session, field, length):
    """The field's text once it holds `length` characters (what arrives in any order)."""
    return wait_for(f"{length} characters in {field}", lambda: (
        lambda text: text if text is not None and len(text) >= length else None)(
            session.field_text(field)))


def empty(session, field, body, count):
    body.send_keys(Keys.BACKSPACE * count)
    wait_for(f"{field} emptied", lambda: session.field_text(field) == "")


def fetches(driver, path):
    """How many requests the page has made to `path` since the counts were cleared."""
    return driver.execute_script(
        "return performance.getEntriesByType('resource').filter("
        "e => e.initiatorType === 'fetch' && new URL(e.name).pathname === arguments[0]).length",
        path)


def typing(session):
    """Bursts of digits typed with no pause between keys land whole and in order; keys the
    keypad lacks change nothing and are not even sent."""
    driver = session.driver
    body = driver.find_element(By.TAG_NAME, "body")
    focus(session, "aTextField")
    rng = random.Random(43)
    started = time.monotonic()
    for burst in range(BURSTS):
        digits = "".join(rng.choice("0123456789") for _ in range(8))
        body.send_keys(digits)
        text = settled_text(session, "aTextField", 8)
        if text != digits:
            raise Failure(f"burst {burst}: typed {digits}, the field holds {text}")
        empty(session, "aTextField", body, 8)
    print(f"{BURSTS} bursts of 8 digits landed in order in {time.monotonic() - started:.1f} s")

    # The same, dispatched from a script: eight keys within one task, truly no time apart.
    for burst in range(10):
        digits = "".join(rng.choice("0123456789") for _ in range(8))
        driver.execute_script(
            "for (const key of arguments[0]) document.dispatchEvent("
            "new KeyboardEvent('keydown', {key, bubbles: true, cancelable: true}))", digits)
        text = settled_text(session, "aTextField", 8)
        if text != digits:
            raise Failure(f"scripted burst {burst}: typed {digits}, the field holds {text}")
        empty(session, "aTextField", body, 8)

    # Letters and other keys the keypad lacks: nothing reaches the field or the program. The
    # 1 typed last has landed only after everything typed before it.
    driver.execute_script("performance.setResourceTimingBufferSize(10000);"
                          "performance.clearResourceTimings()")
    body.send_keys("2x")
    body.send_keys("XaE +*=q")
    body.send_keys("1")
    wait_for("2 and 1 in field a", lambda: session.field_text("aTextField") == "21")
    wait_for("the page's two requests", lambda: fetches(driver, "/driver/type") >= 2)
    if fetches(driver, "/driver/type") != 2:
        raise Failure(f"the page sent {fetches(driver, '/driver/type')} keys, expected 2")
    # Nor can a tool type them through the driver.
    request = urllib.request.Request(session.app.url + "driver/type", method="POST",
                                     data=json.dumps({"text": "x"}).encode())
    with urllib.request.urlopen(request, timeout=10) as response:
        response.read()
    if session.field_text("aTextField") != "21":
        raise Failure(f"the driver typed x: {session.field_text('aTextField')!r}")
    # π and e come from the keyboard too (chromedriver gives π no key of its own: a script
    # dispatches what a keyboard with π sends).
    driver.execute_script("document.dispatchEvent(new KeyboardEvent('keydown', "
                          "{key: '\u03c0', bubbles: true, cancelable: true}))")
    body.send_keys("e")
    wait_for("π and e in field a", lambda: session.field_text("aTextField") == "21πe")
    empty(session, "aTextField", body, 4)


def png_pixels(png):
    """The rows of an 8-bit RGB or RGBA PNG (what Chromium's screenshots are), as lists of
    (r, g, b)."""
    width = height = channels = 0
    data = b""
    at = 8
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        chunk = png[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", chunk[:10])
            if depth != 8 or color not in (2, 6) or chunk[12] != 0:
                raise Failure(f"unexpected PNG form {depth}/{color}/{chunk[12]}")
            channels = 3 if color == 2 else 4
        elif kind == b"IDAT":
            data += chunk
        at += 12 + length
    raw = zlib.decompress(data)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, channels)])
        previous = line
    return rows


def inked_right_end(session, field):
    """Whether the right quarter of the field, as painted, holds dark text (the digits before
    the caret)."""
    element = session.by_id(field)
    rows = png_pixels(element.screenshot_as_png)
    width = len(rows[0])
    dark = sum(1 for row in rows for (r, g, b) in row[width * 3 // 4:width - 4]
               if r < 80 and g < 80 and b < 80)
    return dark > 20


def caret_in_view(session, field):
    """Whether the field shows its caret, and the character before it, inside its box."""
    return session.driver.execute_script("""
        const field = document.querySelector('#screen [data-id="' + arguments[0] + '"]');
        const caret = field && field.querySelector('.caret');
        if (!caret) return false;
        const box = field.getBoundingClientRect(), at = caret.getBoundingClientRect();
        return at.left >= box.left && at.right <= box.right && at.width > 0;
    """, field)


def long_input(session):
    """A 40-digit number: its end and the caret stay in view while typed and when reopened."""
    driver = session.driver
    body = driver.find_element(By.TAG_NAME, "body")
    focus(session, "aTextField")
    digits = "1234567890" * 4
    body.send_keys(digits)
    wait_for("40 digits in field a", lambda: session.field_text("aTextField") == digits)
    wait_for("the caret at 40 in the dump", lambda: "focus caret=40" in session.line("aTextField"))
    wait_for("the caret in view", lambda: caret_in_view(session, "aTextField"))
    session.shot("long-input")
    if not inked_right_end(session, "aTextField"):
        raise Failure("the end of the long number is not painted")
    # Another field takes the focus; the long one, reopened, shows its end again.
    focus(session, "uTextField")
    focus(session, "aTextField")
    wait_for("the caret at 40 again", lambda: "focus caret=40" in session.line("aTextField"))
    wait_for("the caret in view again", lambda: caret_in_view(session, "aTextField"))


def toast_and_rows(session):
    """The error toast leaves the help button free; long formula rows show that they scroll."""
    driver = session.driver
    body = driver.find_element(By.TAG_NAME, "body")
    # Field a holds 40 digits; u and v empty: too few numbers, an error toast.
    session.click_id("calculateButton")
    toast = wait_for("the error toast", lambda: next(
        (e for e in session.elements('[data-type="UILabel"]')
         if e.text.startswith("Please")), None))
    overlap = driver.execute_script("""
        const a = arguments[0].getBoundingClientRect();
        const help = document.querySelector('#screen [data-id="manualButton"]');
        const b = help.getBoundingClientRect();
        return !(a.right <= b.left || b.right <= a.left || a.bottom <= b.top || b.bottom <= a.top);
    """, toast)
    session.shot("error-toast")
    if overlap:
        raise Failure("the error toast covers the help button")

    for field in ("uTextField", "vTextField"):
        focus(session, field)
        body.send_keys("98765432109876543210")
        wait_for(f"20 digits in {field}", lambda: len(session.field_text(field) or "") == 20)
    session.click_id("calculateButton")
    wait_for("the result", lambda: len(session.elements("span.tex .katex")) >= 6)
    indicators = wait_for("scroll indicators on long rows",
                          lambda: session.elements(".scroll-indicator"))
    session.shot("long-rows")
    print(f"{len(indicators)} long formula rows show their scroll indicator")


def selection(session, field):
    """The caret or selection the dump shows for the focused field: "caret=n" or "sel=a-b", with
    " caret=a" after a selection whose caret stands at its start."""
    line = session.line(field)
    if " focus " not in line:
        return None
    words = line.split(" focus ", 1)[1].split()
    shown = words[0]
    if shown.startswith("sel=") and len(words) > 1 and words[1].startswith("caret="):
        shown += " " + words[1]
    return shown


def expect(session, field, text, shown):
    """Waits until the field holds `text` with the caret or selection `shown` in the dump."""
    wait_for(f"{text!r} and {shown} in {field}",
             lambda: session.field_text(field) == text and selection(session, field) == shown)


def shown_digits(session, field):
    """The digits of the focused field that show whole inside its box, each with its index and
    the window point a quarter into it (a click there falls nearest to the boundary before it)."""
    return session.driver.execute_script("""
        const field = document.querySelector('#screen [data-id="' + arguments[0] + '"]');
        const caret = field && field.querySelector('.caret');
        if (!caret) return [];
        const box = field.getBoundingClientRect(), range = document.createRange();
        const walker = document.createTreeWalker(caret.parentElement, NodeFilter.SHOW_TEXT);
        const shown = [];
        let index = 0;
        for (let node = walker.nextNode(); node; node = walker.nextNode()) {
          if (caret.contains(node)) continue;
          for (let at = 0; at < node.data.length; at++, index++) {
            range.setStart(node, at);
            range.setEnd(node, at + 1);
            const r = range.getBoundingClientRect();
            if (r.left >= box.left && r.right <= box.right)
              shown.push([index, r.left + r.width / 4, (r.top + r.bottom) / 2]);
          }
        }
        return shown;
    """, field)


def click_at(session, x, y):
    """A click at a point of the window, as a person clicks."""
    actions = ActionBuilder(session.driver)
    actions.pointer_action.move_to_location(round(x), round(y)).click()
    actions.perform()


def caret_editing(session):
    """A long number whose middle digit is corrected: a click between two digits places the
    caret, Delete and a typed digit correct it, the arrow keys move the caret, Shift with them
    and with Home selects, a typed digit replaces the selection, and the keyboard's "-" changes
    the sign wherever the caret stands."""
    driver = session.driver
    body = driver.find_element(By.TAG_NAME, "body")
    session.click_text("Input")
    wait_for("the calculate page", lambda: session.by_id("aTextField"))
    focus(session, "aTextField")
    old = session.field_text("aTextField")
    # End, then Shift+Home selects the whole text leftwards; Backspace takes it.
    body.send_keys(Keys.END)
    body.send_keys(Keys.SHIFT + Keys.HOME)
    expect(session, "aTextField", old, f"sel=0-{len(old)} caret=0")
    wait_for("the selection shown", lambda: session.elements('[data-id="aTextField"] .selection'))
    body.send_keys(Keys.BACKSPACE)
    expect(session, "aTextField", "", "caret=0")

    digits = "314159265358979323846264"
    body.send_keys(digits)
    expect(session, "aTextField", digits, f"caret={len(digits)}")
    wait_for("the caret in view", lambda: caret_in_view(session, "aTextField"))
    # A click a quarter into a digit in view puts the caret before it; the page keeps the text
    # where it was, so the digit after the caret still shows.
    shown = wait_for("digits in view", lambda: shown_digits(session, "aTextField"))
    index, x, y = shown[len(shown) // 2]
    if not 2 <= index < len(digits) - 2:
        raise Failure(f"the digit in the middle of the field is number {index}")
    click_at(session, x, y)
    expect(session, "aTextField", digits, f"caret={index}")
    wait_for("the digit after the caret still in view", lambda: index in [
        i for i, _, _ in shown_digits(session, "aTextField")])
    session.shot("caret-placed")
    body.send_keys(Keys.DELETE)
    corrected = digits[:index] + "0" + digits[index + 1:]
    body.send_keys("0")
    expect(session, "aTextField", corrected, f"caret={index + 1}")

    # Two to the left, then three selected rightwards and replaced by one digit.
    body.send_keys(Keys.ARROW_LEFT + Keys.ARROW_LEFT)
    expect(session, "aTextField", corrected, f"caret={index - 1}")
    body.send_keys(Keys.SHIFT + Keys.ARROW_RIGHT * 3)
    expect(session, "aTextField", corrected, f"sel={index - 1}-{index + 2}")
    wait_for("the three selected digits shown", lambda: any(
        e.text == corrected[index - 1:index + 2]
        for e in session.elements('[data-id="aTextField"] .selection')))
    session.shot("caret-selection")
    body.send_keys("7")
    replaced = corrected[:index - 1] + "7" + corrected[index + 2:]
    expect(session, "aTextField", replaced, f"caret={index}")
    # Shift+Left selects leftwards; Shift+Right shrinks that back to the caret.
    body.send_keys(Keys.SHIFT + Keys.ARROW_LEFT * 2)
    expect(session, "aTextField", replaced, f"sel={index - 2}-{index} caret={index - 2}")
    body.send_keys(Keys.SHIFT + Keys.ARROW_RIGHT * 2)
    expect(session, "aTextField", replaced, f"caret={index}")

    # The keyboard's "-" is the keypad's sign key, wherever the caret stands: never "5-".
    body.send_keys("-")
    expect(session, "aTextField", "-" + replaced, f"caret={index + 1}")
    body.send_keys(Keys.HOME)
    expect(session, "aTextField", "-" + replaced, "caret=0")
    wait_for("the start in view", lambda: caret_in_view(session, "aTextField"))
    body.send_keys(Keys.END + "-")
    expect(session, "aTextField", replaced, f"caret={len(replaced)}")
    # The next test clicks field a to focus it, which puts its caret at the end.
    focus(session, "uTextField")


def favicon(session):
    with urllib.request.urlopen(session.app.url + "favicon.ico", timeout=10) as response:
        if response.status not in (200, 204):
            raise Failure(f"favicon.ico answered {response.status}")
    for entry in session.driver.get_log("browser"):
        if "404" in entry.get("message", ""):
            raise Failure(f"the browser reports a 404: {entry['message']}")


class Flood:
    """Connections to the program that send `request` (nothing: idle ones), each opened again as
    soon as the server answers or closes it."""

    def __init__(self, port, count, request=b""):
        self.port, self.count, self.request = port, count, request
        self.selector = selectors.DefaultSelector()
        self.stop = threading.Event()
        self.reopened = 0
        for _ in range(count):
            self.open()
        self.thread = None

    def open(self):
        sock = socket.create_connection(("127.0.0.1", self.port))
        if self.request:
            sock.sendall(self.request)
        sock.setblocking(False)
        self.selector.register(sock, selectors.EVENT_READ)

    def keep_up(self):
        while not self.stop.is_set():
            for key, _ in self.selector.select(timeout=0.05):
                self.selector.unregister(key.fileobj)
                key.fileobj.close()
                self.open()
                self.reopened += 1

    def start(self):
        self.thread = threading.Thread(target=self.keep_up, daemon=True)
        self.thread.start()

    def close(self):
        self.stop.set()
        if self.thread:
            self.thread.join()
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()


def timed_screen(app):
    """How long /driver/screen took (printed, never a pass mark: a busy machine slows anything
    down; bench/display_server_bench measures it), or None when it was not answered."""
    started = time.monotonic()
    try:
        with urllib.request.urlopen(app.url + "driver/screen", timeout=60) as response:
            json.load(response)
    except (urllib.error.URLError, ConnectionError, OSError):
        return None
    return time.monotonic() - started


def flood_and_type(session, what, request=b""):
    """256 connections of `what` kind, reopened whenever answered or closed: every request is
    answered, and keys typed on the page still land."""
    app = session.app
    port = int(app.url.rsplit(":", 1)[1].strip("/"))
    flood = Flood(port, IDLE_FLOOD, request)
    try:
        took = timed_screen(app)
        if took is None:
            raise Failure(f"a request beside {IDLE_FLOOD} {what} was not answered")
        flood.start()
        times = [timed_screen(app) for _ in range(36)]
        answered = [t for t in times if t is not None]
        print(f"{what}: {len(answered)} of 36 answered, the slowest in "
              f"{max(answered, default=0) * 1000:.1f} ms; {flood.reopened} reopened")
        if len(answered) != 36:
            raise Failure(f"during the flood of {what}: {times}")
        body = session.driver.find_element(By.TAG_NAME, "body")
        session.click_text("Input")
        wait_for("the calculate page", lambda: session.by_id("aTextField"))
        focus(session, "aTextField")
        body.send_keys(Keys.BACKSPACE * 40)
        body.send_keys("271828")
        wait_for(f"keys landing during the flood of {what}",
                 lambda: session.field_text("aTextField") == "271828")
    finally:
        flood.close()


def idle_flood(session):
    """Connections that send nothing."""
    flood_and_type(session, "idle connections")


def held_poll_flood(session):
    """Polls for a revision that never comes, each sent again as soon as it is answered: the
    oldest is answered early whenever a new connection needs its place."""
    port = int(session.app.url.rsplit(":", 1)[1].strip("/"))
    request = (f"GET /ui/frame?after=1000000000 HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n"
               .encode())
    flood_and_type(session, "held polls", request)


def scenario(session, binary, scratch, resources):
    enter(session)
    typing(session)
    long_input(session)
    toast_and_rows(session)
    favicon(session)
    caret_editing(session)
    idle_flood(session)
    held_poll_flood(session)


if __name__ == "__main__":
    sys.exit(harness("input", scenario))
