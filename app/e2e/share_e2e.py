#!/usr/bin/python3
"""End-to-end test of the shared image and of the formulas' true widths: results with long
formulas, typeset by the page in headless Chromium and measured there against the widths the app
gives their labels; then a result shared through the page, the program stopped, and the saved PNG
opened as a file: the whole table, every formula drawn, none cut.

Usage: share_e2e.py --tessaline PATH --screenshots DIR
Needs Debian's chromium, chromium-driver and python3-selenium (run with /usr/bin/python3).
"""
import base64
import json
import re
import sys
import urllib.error
import urllib.request

from selenium.webdriver.common.by import By

from browser_e2e import Failure, Session, harness, wait_for

# The formula area of a step row: from x 20, 306 points wide (the rest is the floating buttons').
FORMULA_X = 20
SHOWN_WIDTH = 306
# Room the shared image keeps right of a formula that widens it.
FORMULA_MARGIN = 16
ROW_HEIGHT = 100
SCALE = 3


def driver_call(app, action, body):
    request = urllib.request.Request(app.url + "driver/" + action, data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.load(response)
    except urllib.error.HTTPError as error:
        return json.load(error)


def tap(app, query):
    wait_for(f"tapping {query}", lambda: driver_call(app, "tap", query).get("ok"))


def through_first_launch(app):
    """Accepts the consent alert and leaves the onboarding, through the driver."""
    wait_for("the consent alert", lambda: "Accept" in app.screen())
    tap(app, {"text": "Accept"})
    for _ in range(10):
        if "onboardAdvanceButton" not in app.screen():
            return
        tap(app, {"id": "onboardAdvanceButton"})
    raise Failure("onboarding did not end")


def calculate(app, rule, fields):
    """Runs rule `rule` on the given field texts and waits for its result page."""
    if "SolutionStepTableViewCell" in app.screen():
        tap(app, {"text": "Input"})
        wait_for("the calculate page", lambda: "SolutionStepTableViewCell" not in app.screen())
    tap(app, {"id": "segmentedControl", "index": rule})
    for field, text in fields.items():
        tap(app, {"id": field})
        for key in ("Backspace",) * 20:
            driver_call(app, "type", {"key": key})
        if not driver_call(app, "type", {"text": text}).get("ok"):
            raise Failure(f"cannot type {text!r} into {field}")
    tap(app, {"id": "calculateButton"})
    wait_for("the result page", lambda: "SolutionStepTableViewCell" in app.screen())


def labels(app):
    """The formulas of the step rows the app shows, as its screen dump has them."""
    found = []
    for line in app.screen().splitlines():
        if "MTMathUILabel#mathLabel" in line and ' latex="' in line:
            text = line.split(' latex="', 1)[1].rsplit('" color=', 1)[0]
            found.append(re.sub(r'\\(.)', lambda m: "\n" if m[1] == "n" else m[1], text))
    return sorted(found)


def typeset_rows(app, driver):
    """The step rows' formulas as the page shows them, top to bottom, once it has typeset the
    app's current ones: each one's source, its label's width and the typeset width."""
    def measured():
        boxes = driver.find_elements(By.CSS_SELECTOR, "#screen span.tex")
        if driver.find_elements(By.CSS_SELECTOR, "#screen span.tex.error"):
            raise Failure("the page could not typeset a formula")
        # Measuring lays the formulas out, which starts loading any font they need: widths
        # count only once no font is loading any more (a fallback font measures otherwise).
        rows = driver.execute_script("""
            const rows = Array.from(arguments[0], b => {
              const k = b.querySelector('.katex-html');
              const r = b.getBoundingClientRect();
              return k && [r.top, b.dataset.tex, r.width, k.getBoundingClientRect().width];
            });
            return document.fonts.status === 'loaded' ? rows : null;""", boxes)
        if not rows or not all(rows) or sorted(r[1] for r in rows) != labels(app):
            return None
        return [r[1:] for r in sorted(rows)]
    return wait_for("the formulas typeset", measured)


def check_widths(rows):
    """A label as wide as its formula where that is wider than the row shows, else the row's
    width: the page's formula then ends at the label's end, within a pixel (the label's width is
    whole pixels, rounded up)."""
    long_rows = 0
    for tex, label, typeset in rows:
        print(f"  {typeset:8.3f} typeset, label {label:6.1f}: {tex}")
        if typeset > label + 0.25:
            raise Failure(f"the formula {tex!r} is {typeset:.2f} wide, its label {label}")
        if label > SHOWN_WIDTH:
            long_rows += 1
            if label - typeset > 1.25:
                raise Failure(f"the label of {tex!r} is {label}, the formula only {typeset:.2f}")
        elif label != SHOWN_WIDTH:
            raise Failure(f"the label of the short formula {tex!r} is {label} wide")
    return long_rows


def share(session):
    """Shares the result through the page: the share button, the alert's OK, Save Image."""
    def links():
        return [a.get_attribute("href")
                for a in session.driver.find_elements(By.CSS_SELECTOR, "#shared a")]

    before = len(links())
    session.click_id("shareButton")
    session.click_text("OK")
    session.click_text("Save Image")
    return wait_for("the shared image's link", lambda: links()[before:])[-1]


def row_count(app):
    for line in app.screen().splitlines():
        if "UITableView#tableView" in line and "rows=" in line:
            return int(line.split("rows=", 1)[1].split()[0])
    raise Failure("no step table")


def inspect_png(driver, png):
    """The picture's size, and per step row where its dark ink lies (from the pixels, read in
    the browser from the file's bytes)."""
    url = "data:image/png;base64," + base64.b64encode(png).decode()
    return driver.execute_async_script("""
        const [url, rowHeight, done] = arguments;
        const image = new Image();
        image.onerror = () => done(null);
        image.onload = () => {
          const canvas = document.createElement('canvas');
          canvas.width = image.naturalWidth;
          canvas.height = image.naturalHeight;
          const context = canvas.getContext('2d');
          context.drawImage(image, 0, 0);
          const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
          const rows = [];
          for (let top = 0; top + rowHeight <= canvas.height; top += rowHeight) {
            // The formula's band: below the title line. The rightmost dark pixel in it.
            let right = -1, dark = 0;
            for (let y = top + Math.round(rowHeight * 0.36); y < top + rowHeight; ++y)
              for (let x = 0; x < canvas.width; ++x) {
                const i = (y * canvas.width + x) * 4;
                if (data[i] < 100 && data[i + 1] < 100 && data[i + 2] < 100) {
                  ++dark;
                  if (x > right) right = x;
                }
              }
            rows.push([dark, right]);
          }
          done({width: canvas.width, height: canvas.height, rows});
        };
        image.src = url;""", url, ROW_HEIGHT * SCALE)


def run(app, driver, screenshots, home):
    driver.get(app.url)
    through_first_launch(app)

    # Long formulas: the page's typesetting and the labels' widths agree.
    long_rows = 0
    for rule, fields in ((0, {"aTextField": "2", "uTextField": "123456789012",
                              "vTextField": "98765432109"}),
                         (5, {"aTextField": "7/8", "bTextField": "3", "uTextField": "12345/678",
                              "vTextField": "9.87654321"})):
        calculate(app, rule, fields)
        print(f"rule {rule}:")
        long_rows += check_widths(typeset_rows(app, driver))
    driver.save_screenshot(str(screenshots / "share-long-formulas.png"))
    if long_rows < 3:
        raise Failure(f"only {long_rows} formulas were wider than their rows")

    # (7/8)/(3/4) by the quotient rule, shared.
    calculate(app, 1, {"aTextField": "2", "uTextField": "7/8", "vTextField": "3/4"})
    rows = typeset_rows(app, driver)
    check_widths(rows)
    link = share(Session(driver, app, screenshots))
    steps = row_count(app)
    widest = max(FORMULA_X + typeset + FORMULA_MARGIN for _, _, typeset in rows)
    driver.save_screenshot(str(screenshots / "share-result.png"))
    app.stop()

    # With the program stopped, the file itself: a PNG that opens on its own.
    name = link.rsplit("/", 1)[1]
    if not name.endswith(".png"):
        raise Failure(f"the shared image is {name}, not a PNG")
    path = home / "Library" / "Caches" / "Shared" / name
    driver.get(path.as_uri())
    size = wait_for("the image opened from its file", lambda: driver.execute_script(
        "const i = document.images[0]; return i && i.complete && i.naturalWidth > 0 && "
        "[i.naturalWidth, i.naturalHeight];"))
    driver.save_screenshot(str(screenshots / "shared-png-file.png"))
    picture = inspect_png(driver, path.read_bytes())
    if not picture or [picture["width"], picture["height"]] != size:
        raise Failure(f"the file's picture {picture and picture['width']} does not match {size}")
    print(f"shared image {size[0]}x{size[1]} px for {steps} steps, widest formula ends at "
          f"{widest:.1f} pt")

    # The whole table: every row, at the device scale, as wide as its widest formula asks.
    if size[1] != steps * ROW_HEIGHT * SCALE:
        raise Failure(f"the picture is {size[1]} px tall for {steps} rows")
    if abs(size[0] - max(390, widest) * SCALE) > 2:
        raise Failure(f"the picture is {size[0]} px wide, the widest formula asks "
                      f"{max(390, widest) * SCALE:.0f}")
    # Every formula drawn, and each ends where the page's typesetting ends it: nothing cut. (The
    # ink of a last glyph stops short of its advance, by up to a quarter of an em for a tall
    # bracket.)
    for (tex, _, typeset), (dark, right) in zip(rows, picture["rows"]):
        end = (FORMULA_X + typeset) * SCALE
        if dark < 200 or not end - 0.25 * 24.2 * SCALE <= right <= end + 3:
            raise Failure(f"the row of {tex!r} has {dark} dark pixels up to x {right}, "
                          f"its formula ends at {end:.0f}")


def main():
    return harness("share", lambda session, binary, scratch, resources: run(
        session.app, session.driver, session.screenshots, scratch / "home"))


if __name__ == "__main__":
    sys.exit(main())
