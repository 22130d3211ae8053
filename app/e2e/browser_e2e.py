#!/usr/bin/python3
"""End-to-end test of the browser display: a fresh Tessaline driven by clicks and keys in headless
Chromium, checked against the page and the driver protocol.

Usage: browser_e2e.py --tessaline PATH --screenshots DIR
Needs Debian's chromium, chromium-driver and python3-selenium (run with /usr/bin/python3).
"""
import argparse
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"
FIRST_FORMULA = r"\log_{2}\left(4\cdot8\right)"
RESOURCES = pathlib.Path(__file__).resolve().parent.parent / "resources"
# A port nobody listens on: the connectivity check fails at once, on this machine only.
OFFLINE_URL = "http://127.0.0.1:9/"
TIMEOUT = 60


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=TIMEOUT):
    """Polls `predicate` until it returns something true; fails naming `what`."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = predicate()
            if value:
                return value
        except WebDriverException as error:  # the page is being replaced under us
            last_error = error
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what}" + (f" ({last_error})" if last_error else ""))


def offline_resources(scratch):
    """The app's resources with the connectivity check pointed at this machine."""
    copy = scratch / "resources"
    shutil.copytree(RESOURCES, copy)
    info = copy / "Info.plist"
    text = info.read_text()
    start = text.index("<key>TESSALINE_CONNECTIVITY_URL</key>")
    value = text.index("<string>", start)
    end = text.index("</string>", value)
    info.write_text(text[:value] + "<string>" + OFFLINE_URL + text[end:])
    return copy


class App:
    def __init__(self, binary, home, resources, port=0):
        env = dict(os.environ, TESSALINE_HOME=str(home), TESSALINE_RESOURCES=str(resources))
        self.process = subprocess.Popen([binary, "--port", str(port)], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()
        prefix = "Tessaline is running at "
        if not line.startswith(prefix):
            self.process.kill()
            raise Failure(f"unexpected first line {line!r}")
        self.url = line[len(prefix):]

    def screen(self):
        with urllib.request.urlopen(self.url + "driver/screen", timeout=TIMEOUT) as response:
            return json.load(response)["dump"]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("tessaline did not stop on SIGTERM")
        if code != 0:
            raise Failure(f"tessaline exited with {code} on SIGTERM")


def browser(profile):
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                     "--window-size=800,1000", f"--user-data-dir={profile}"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def visible_ids(dump):
    """The accessibility ids the dump shows: not under a hidden or transparent view."""
    ids, cut = set(), None
    for line in dump.splitlines():
        depth = len(line) - len(line.lstrip(" "))
        if cut is not None and depth > cut:
            continue
        cut = None
        head = line.split()[0]
        if " hidden" in line or " alpha=0 " in line or line.endswith(" alpha=0"):
            cut = depth
            continue
        if "#" in head:
            ids.add(head.split("#", 1)[1])
    return ids


class Session:
    def __init__(self, driver, app, screenshots):
        self.driver, self.app, self.screenshots = driver, app, screenshots

    def elements(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, "#screen " + css)

    def by_id(self, view_id):
        found = self.elements(f'[data-id="{view_id}"]')
        return found[-1] if found else None

    def by_text(self, text):
        """The last (topmost) element showing exactly `text`."""
        found = [e for e in self.elements(".text") if e.text == text]
        return found[-1] if found else None

    def revision(self):
        return int(self.driver.find_element(By.TAG_NAME, "body").get_attribute("data-revision")
                   or -1)

    def click(self, what, find):
        """Clicks what `find` returns, again when the page replaced it before the click."""
        before = self.revision()

        def clicked():
            element = find()
            if element is None:
                return False
            element.click()
            return True

        wait_for(what, clicked)
        return before

    def act(self, what, find, action):
        """Returns `action(element)` on what `find` returns, again when the page replaced the
        element first (the page re-renders on its own whenever the program's screen changes)."""
        def done():
            element = find()
            return None if element is None else [action(element)]

        return wait_for(what, done)[0]

    def click_id(self, view_id):
        return self.click(f"#{view_id}", lambda: self.by_id(view_id))

    def click_text(self, text):
        return self.click(f'"{text}"', lambda: self.by_text(text))

    def field_text(self, view_id):
        for line in self.app.screen().splitlines():
            if f"#{view_id} " in line and 'text="' in line:
                return line.split('text="', 1)[1].split('"', 1)[0]
        return None

    def line(self, view_id):
        """The dump line of the view with this id."""
        return next((l for l in self.app.screen().splitlines() if f"#{view_id} " in l), "")

    def shot(self, name):
        self.driver.save_screenshot(str(self.screenshots / f"{name}.png"))


def accept_and_skip_onboarding(session):
    """Accepts the consent alert of a first launch and pages through onboarding: the calculate
    page shows."""
    session.click_text("Accept")
    wait_for("the alert to go", lambda: session.by_text("Accept") is None)
    for _ in range(10):
        if session.by_id("onboardAdvanceButton") is None:
            break
        before = session.click_id("onboardAdvanceButton")
        wait_for("the next onboarding page", lambda: session.revision() > before)
    else:
        raise Failure("onboarding did not end")
    wait_for("the calculate page", lambda: session.by_id("aTextField"))


def run(session):
    app, driver = session.app, session.driver
    driver.get(app.url)

    # First launch: the consent alert over onboarding, its whole text readable on the page.
    wait_for("the consent alert", lambda: session.by_text("Accept"))
    session.shot("first-launch")
    text, cut = session.act("the consent text", lambda: next(
        (e for e in session.elements(".text")
         if e.text.startswith("Tessaline stores your calculations")), None), lambda consent: (
        consent.text, driver.execute_script(
            "return arguments[0].scrollHeight > arguments[0].clientHeight + 1", consent)))
    if not text.endswith("accept our privacy policy to continue."):
        raise Failure(f"the consent text is not shown whole: {text!r}")
    if cut:
        raise Failure("the consent text is cut by its box")
    accept_and_skip_onboarding(session)

    # A click on a rule selects it visibly: its segment is filled.
    def segment(index):
        return session.by_id("segmentedControl").find_elements(By.CSS_SELECTOR, ":scope > div")[
            index]

    def filled_segment():
        control = session.by_id("segmentedControl")
        width = control.size["width"] / 6
        for rect in control.find_elements(By.CSS_SELECTOR, ":scope > svg.drawn rect"):
            fill = rect.get_attribute("fill") or ""
            if fill.endswith(",0.25)"):
                return round(float(rect.get_attribute("x")) / width)
        return None

    session.click("rule 2", lambda: segment(2))
    wait_for("rule 2 shown selected", lambda: filled_segment() == 2)
    session.shot("rule-selected")

    # Rule 0 with a = 2, u = 4, v = 8 by clicks on the fields and the keypad.
    session.click("rule 0", lambda: segment(0))
    wait_for("rule 0 shown selected", lambda: filled_segment() == 0)
    for field, digit in (("aTextField", "2"), ("uTextField", "4"), ("vTextField", "8")):
        session.click_id(field)
        wait_for(f"focus in {field}", lambda: " focus" in next(
            (l for l in app.screen().splitlines() if f"#{field} " in l), ""))
        session.click_text(digit)
        wait_for(f"{digit} in {field}", lambda: session.field_text(field) == digit)
    session.click_id("calculateButton")

    def rendered():
        texes = session.elements("span.tex")
        done = [t for t in texes if t.find_elements(By.CSS_SELECTOR, ".katex")]
        if len(done) >= 6 and len(done) == len(texes):
            return texes[0].get_attribute("data-tex")
        return None

    first = wait_for("six typeset formulas", rendered)
    if first != FIRST_FORMULA:
        raise Failure(f"first formula {first!r}, expected {FIRST_FORMULA!r}")
    if session.elements("span.tex.error"):
        raise Failure("a formula failed to typeset")
    session.shot("result")

    # The mouse wheel scrolls the steps.
    session.act("the steps", lambda: session.by_id("tableView"), lambda table: ActionChains(
        driver).scroll_from_origin(ScrollOrigin.from_element(table), 0, 300).perform())
    wait_for("the steps scrolled by the wheel", lambda: " offset=" in session.line("tableView"))
    session.shot("result-scrolled")

    # Share: the quality alert, then the sheet; the saved image is linked beside the screen.
    session.click_id("shareButton")
    wait_for("the quality alert", lambda: session.by_text("OK"))
    session.click_text("OK")
    wait_for("the share sheet", lambda: session.by_text("Save Image"))
    session.click_text("Save Image")
    shared = wait_for("the shared image's link", lambda: [
        a.get_attribute("href") for a in driver.find_elements(By.CSS_SELECTOR, "#shared a")])

    # Back to the input, then keys typed into field a: Backspace, then 3.
    session.click_text("Input")
    wait_for("the calculate page", lambda: session.by_id("aTextField"))
    session.click_id("aTextField")
    wait_for("focus in field a", lambda: " focus" in next(
        (l for l in app.screen().splitlines() if "#aTextField " in l), ""))
    body = driver.find_element(By.TAG_NAME, "body")
    body.send_keys(Keys.BACKSPACE)
    wait_for("field a emptied", lambda: session.field_text("aTextField") == "")
    body.send_keys("3")
    wait_for("3 typed into field a", lambda: session.field_text("aTextField") == "3")
    session.click_id("calculateButton")
    wait_for("the second result", lambda: any(
        t.get_attribute("data-tex") == r"\log_{3}\left(4\cdot8\right)"
        for t in session.elements("span.tex")))

    # The menu's History lists both calculations, newest first, above the example record that
    # the first launch seeds.
    session.click_id("menuButton")
    session.click_text("History")

    def history_rows():
        for line in app.screen().splitlines():
            if "vc=HistoryTableViewController" in line and "rows=" in line:
                return line.split("rows=", 1)[1].split()[0]
        return None

    wait_for("the history", history_rows)
    try:
        wait_for("three history rows", lambda: history_rows() == "3")
    except Failure:
        raise Failure(f"history shows rows={history_rows()}, expected the two calculations "
                      "and the example") from None
    expected = [r"\log_{3}\left(4\cdot8\right)", FIRST_FORMULA]
    wait_for("both calculations in the history", lambda: [
        t.get_attribute("data-tex") for t in session.elements("span.tex")][:2] == expected)

    # A sideways drag over a row deletes it, as a swipe.
    session.act("the second history row",
                lambda: (session.elements('[data-type="HistoryTableViewCell"]')[1:2] or [None])[0],
                lambda row: ActionChains(driver).drag_and_drop_by_offset(row, -160, 0).perform())
    wait_for("the row deleted", lambda: history_rows() == "2")
    wait_for("the rest shown", lambda: [
        t.get_attribute("data-tex") for t in session.elements("span.tex")] == [
            expected[0], r"\log_{2^3}(4^6)"])
    # The page shows what the driver reads.
    wait_for("the page to catch up", lambda: session.revision() >= 0 and visible_ids(
        app.screen()) == {e.get_attribute("data-id") for e in session.elements("[data-id]")})
    session.shot("history")

    # The shared image is a picture (share_e2e.py looks at it closely).
    if not shared[0].endswith(".png"):
        raise Failure(f"the shared image {shared[0]} is not a PNG")
    driver.get(shared[0])
    wait_for("the shared image to load", lambda: driver.execute_script(
        "const i = document.images[0]; return i && i.complete && i.naturalWidth > 0;"))
    session.shot("shared-image")


def restart(session, binary, home, resources):
    """Stops the program and starts it again on the same port: the open page notices and shows the
    new run's screen. Returns the new App."""
    driver = session.driver
    # The page of the running program (the run may have left it on a shared image).
    driver.get(session.app.url)
    wait_for("the page to show the screen", lambda: session.elements("[data-id]"))
    port = urllib.parse.urlsplit(session.app.url).port
    session.app.stop()
    session.app = app = App(binary, home, resources, port)
    started = time.monotonic()
    with urllib.request.urlopen(app.url + "ui/frame", timeout=TIMEOUT) as response:
        instance = json.load(response)["instance"]

    def shown():
        body = driver.find_element(By.TAG_NAME, "body")
        return body.get_attribute("data-instance") == instance and session.elements("[data-id]")

    wait_for("the page to notice the restart", shown)
    # Reported, not held: a busy machine stretches it at will.
    print(f"the page showed the restarted program after {time.monotonic() - started:.2f} s")
    wait_for("the page to show the new screen", lambda: visible_ids(app.screen()) == {
        e.get_attribute("data-id") for e in session.elements("[data-id]")})
    session.shot("restarted")
    return app


def harness(name, scenario, prepare=None):
    """Runs `scenario(session, binary, scratch, resources)` against a fresh tessaline (offline,
    under a fresh data root) in a fresh headless Chromium, with the command line of these tests;
    on a failure keeps a screenshot and prints the screen. `prepare(resources)`, when given, edits
    the app's resources before the program starts. Returns the exit status."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--tessaline", required=True)
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()
    screenshots = pathlib.Path(args.screenshots)
    screenshots.mkdir(parents=True, exist_ok=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=f"tessaline-{name}-e2e-"))
    app = driver = None
    try:
        resources = offline_resources(scratch)
        if prepare:
            prepare(resources)
        app = App(args.tessaline, scratch / "home", resources)
        driver = browser(scratch / "profile")
        session = Session(driver, app, screenshots)
        try:
            scenario(session, args.tessaline, scratch, resources)
        except Exception:
            session.shot(f"{name}-failure")
            try:
                print(session.app.screen(), file=sys.stderr)
            except OSError:
                pass
            raise
        finally:
            app = session.app  # the one running now, after a restart too
        driver.quit()
        driver = None
        app.stop()
        app = None
        print(f"{name} end-to-end test passed")
        return 0
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        if driver:
            driver.quit()
        if app:
            app.process.kill()
            app.process.wait()
        shutil.rmtree(scratch, ignore_errors=True)


def scenario(session, binary, scratch, resources):
    run(session)
    restart(session, binary, scratch / "home", resources)


def main():
    return harness("browser", scenario)


if __name__ == "__main__":
    sys.exit(main())
