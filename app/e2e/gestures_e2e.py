#!/usr/bin/python3
"""End-to-end test of the page's gestures in headless Chromium: Ctrl+wheel and double clicks zoom
the help picture and drags pan it, drags from the left edge open the side menu and drags to the
left close it, and the video row (with a remote configuration that lists two videos) shows its
icons, its whole title and, once unlocked, players that show their title and picture.

Usage: gestures_e2e.py --tessaline PATH --screenshots DIR
Needs what browser_e2e.py needs.
"""
import json
import sys
import urllib.request

from selenium.webdriver.common.by import By

from browser_e2e import Failure, harness, visible_ids, wait_for
from e2e_support import serve, set_info_string, url_of

VIDEOS = ["abcdefghijk", "bcdefghijkl"]
WATCH = "https://www.vidmora.com/watch?v="


def serve_remote_config():
    """A loopback server whose one document lists this app's two tutorial videos."""
    tutorials = json.dumps({"QZ": {"en": [WATCH + VIDEOS[0] + "&t=90s", WATCH + VIDEOS[1]]}})
    return serve(json.dumps({"entries": {"videoTutorials": tutorials}}).encode())


def post(app, action, body):
    request = urllib.request.Request(app.url + "driver/" + action, data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as response:
        answer = json.load(response)
    if not answer.get("ok"):
        raise Failure(f"{action} {body} answered {answer}")


class Mouse:
    """The mouse as the browser's input layer sends it, at points of the phone's screen."""

    def __init__(self, driver):
        self.driver = driver

    def origin(self):
        return self.driver.execute_script(
            "const r = document.getElementById('screen').getBoundingClientRect();"
            "return [r.left, r.top];")

    def event(self, kind, point, **extra):
        left, top = self.origin()
        self.driver.execute_cdp_cmd("Input.dispatchMouseEvent", dict(
            type=kind, x=left + point[0], y=top + point[1], **extra))

    def drag(self, start, end):
        self.event("mouseMoved", start)
        self.event("mousePressed", start, button="left", buttons=1, clickCount=1)
        middle = ((start[0] + end[0]) / 2, (start[1] + end[1]) / 2)
        self.event("mouseMoved", middle, button="left", buttons=1)
        self.event("mouseMoved", end, button="left", buttons=1)
        self.event("mouseReleased", end, button="left", buttons=0, clickCount=1)

    def double_click(self, point):
        self.event("mouseMoved", point)
        for count in (1, 2):
            self.event("mousePressed", point, button="left", buttons=1, clickCount=count)
            self.event("mouseReleased", point, button="left", buttons=0, clickCount=count)

    def ctrl_wheel(self, point, delta_y):
        self.event("mouseWheel", point, deltaX=0, deltaY=delta_y, modifiers=2)  # 2: Ctrl


def zoom_line(app):
    """The help picture's scroll view: (zoom, offset x, offset y), or None when not shown."""
    lines = app.screen().splitlines()
    for i, line in enumerate(lines):
        if "UIImageView" in line and "image=qz_info" in line:
            words = lines[i - 1].split()
            value = {w.split("=")[0]: float(w.split("=")[1]) for w in words if "=" in w}
            return value.get("zoom", 1.0), value.get("offsetx", 0.0), value.get("offset", 0.0)
    return None


def settle_first_launch(app):
    post(app, "tap", {"text": "Accept"})
    for _ in range(10):
        if "#onboardAdvanceButton" not in app.screen():
            return
        post(app, "tap", {"id": "onboardAdvanceButton"})
    raise Failure("onboarding did not end")


def help_zoom(session, mouse):
    app = session.app

    def zoom_where(test):
        state = zoom_line(app)
        return state if state and test(state) else None

    unzoomed = (1.0, 0.0, 0.0)
    session.click_id("manualButton")
    wait_for("the help picture", lambda: zoom_line(app) == unzoomed)
    middle = (195, 460)
    for _ in range(3):
        mouse.ctrl_wheel(middle, -120)
    zoomed = wait_for("the picture zoomed by Ctrl+wheel", lambda: zoom_where(lambda z: z[0] > 3))
    if zoomed[0] > 4:
        raise Failure(f"zoomed past the maximum: {zoomed}")
    # The page draws what the program's screen already says a moment later.
    def width():
        return session.driver.execute_script(
            "const i = document.querySelector('#screen img[alt=\"qz_info\"]');"
            "return i && i.getBoundingClientRect().width;") or 0

    try:
        wait_for("the page to show the zoomed picture", lambda: width() >= 390 * 3)
    except Failure:
        raise Failure(f"the page shows the zoomed picture {width()} px wide") from None
    session.shot("help-zoomed")
    mouse.drag(middle, (middle[0] - 80, middle[1] - 100))
    panned = (zoomed[0], zoomed[1] + 80, zoomed[2] + 100)
    wait_for(f"the zoomed picture panned to {panned}", lambda: zoom_line(app) == panned)
    mouse.double_click(middle)
    wait_for("a double click to zoom back out", lambda: zoom_line(app) == unzoomed)
    mouse.double_click(middle)
    wait_for("a double click to zoom in twofold", lambda: zoom_where(lambda z: z[0] == 2))
    session.shot("help-double-click")
    print(f"help picture: Ctrl+wheel zoomed {zoomed[0]:.2f} times, then panned")
    session.click_id("closeManualButton")
    wait_for("the help to close", lambda: zoom_line(app) is None)


def drawer_swipe(session, mouse):
    app = session.app

    def menu_open():
        return "navigationDrawerLeftView" in visible_ids(app.screen())

    mouse.drag((3, 420), (220, 430))
    wait_for("a drag from the left edge to open the menu", menu_open)
    wait_for("the menu on the page", lambda: session.by_text("Rate this App"))
    session.shot("drawer-opened-by-drag")
    mouse.drag((240, 420), (40, 410))
    wait_for("a drag to the left to close the menu", lambda: not menu_open())
    # The menu button still works.
    session.click_id("menuButton")
    wait_for("the menu button to open the menu", menu_open)
    mouse.drag((340, 300), (200, 310))  # over the dimmed page
    wait_for("a drag to the left over the page to close the menu", lambda: not menu_open())


def video_row(session):
    app, driver = session.app, session.driver
    for field, digit in (("aTextField", "2"), ("uTextField", "4"), ("vTextField", "8")):
        post(app, "tap", {"id": field})
        post(app, "tap", {"text": digit})
    post(app, "tap", {"id": "calculateButton"})
    post(app, "scroll", {"point": [200, 500], "by": [0, 3000]})
    wait_for("the locked video row", lambda: session.by_id("videoUnlockButton"))

    # The book and lock buttons show their icons; the title shows whole. Each element is read in
    # the predicate that finds it: the page may replace it in between (wait_for asks again).
    def icon_of(button):
        images = session.by_id(button) and session.by_id(button).find_elements(
            By.CSS_SELECTOR, "img.image")
        return images and images[0].get_attribute("alt")

    for button, icon in (("videoManualButton", "book.fill"), ("videoPrivacyButton", "lock.fill")):
        shown = wait_for(f"the icon of {button}", lambda: icon_of(button))
        if shown != icon:
            raise Failure(f"{button} shows {shown}, not {icon}")

    def title_fit():
        title = session.by_text("Recommended video if unclear")
        return title and ("cut" if driver.execute_script(
            "const e = arguments[0]; return e.scrollWidth > e.clientWidth + 1 ||"
            " e.scrollHeight > e.clientHeight + 1", title) else "whole")

    if wait_for("the row's title", title_fit) == "cut":
        raise Failure("the row's title is cut by its box")
    session.shot("video-row-locked")

    session.click_id("videoUnlockButton")
    session.click_text("Accept")
    for _ in range(10):
        if "#onboardAdvanceButton" not in app.screen():
            break
        post(app, "tap", {"id": "onboardAdvanceButton"})

    def uncovered():
        """Players whose cover, which hides them until they are ready, is gone."""
        lines = app.screen().splitlines()
        return sum("VMPlayerView" in line and " hidden" in after
                   for line, after in zip(lines, lines[1:]))

    wait_for("both players ready", lambda: uncovered() == 2)

    def players():
        shown = []
        for player in session.elements('[data-type="VMPlayerView"]'):
            texts = [e.text for e in player.find_elements(By.CSS_SELECTOR, ":scope > .text")]
            drawn = player.find_elements(By.CSS_SELECTOR, ":scope > svg.drawn polygon")
            if drawn and texts:
                shown.append(texts[0])
        return shown if len(shown) == 2 else None

    shown = wait_for("two players showing their picture and title", players)
    if shown != VIDEOS:
        raise Failure(f"the players are titled {shown}, expected {VIDEOS}")
    dump = app.screen()
    if "image=lock.open.fill" not in dump:
        raise Failure("the row does not show it is unlocked")
    session.shot("video-row-unlocked")


def run(session):
    app, driver = session.app, session.driver
    settle_first_launch(app)
    driver.get(app.url)
    wait_for("the calculate page", lambda: session.by_id("aTextField"))
    mouse = Mouse(driver)
    help_zoom(session, mouse)
    drawer_swipe(session, mouse)
    video_row(session)


def main():
    server = serve_remote_config()
    try:
        return harness(
            "gestures", lambda session, *_: run(session),
            prepare=lambda resources: set_info_string(resources, "TESSALINE_REMOTE_CONFIG_URL",
                                                      url_of(server, "/rc")))
    finally:
        server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
