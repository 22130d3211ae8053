#include "platform/display/Page.h"

namespace platform {

const std::string& displayPage() {
    static const std::string page = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Tessaline</title>
<link rel="stylesheet" href="/katex/katex.min.css">
<script src="/katex/katex.min.js"></script>
<style>
  body { margin: 0; background: #d9d9de; font-family: sans-serif; }
  #device { position: relative; margin: 24px; display: inline-block; vertical-align: top;
            box-shadow: 0 4px 24px rgba(0,0,0,.25); background: #fff; }
  #screen { position: relative; overflow: hidden; user-select: none; outline: none; }
  #side { display: inline-block; vertical-align: top; margin: 24px 0; max-width: 320px; }
  #side a { display: block; margin: 4px 0; word-break: break-all; }
  .tex { display: flex; align-items: center; white-space: nowrap; }
  .tex.error { color: red !important; font-family: monospace; font-size: 12px !important; }
  .placeholder { display: flex; align-items: center; justify-content: center; overflow: hidden;
                 font: 9px sans-serif; color: #666; border: 1px dashed #999; box-sizing: border-box; }
  .icon { display: flex; align-items: center; justify-content: center; color: inherit; }
  .text { overflow: hidden; text-overflow: ellipsis; }
</style>
</head>
<body>
<div id="device"><div id="screen" tabindex="0"></div></div>
<div id="side"><div id="opened"></div><div id="shared"></div></div>
<script>
"use strict";
const screen = document.getElementById("screen");
let revision = -1;

function typeset(root) {
  for (const el of root.querySelectorAll("span.tex")) {
    const tex = el.dataset.tex;
    try {
      katex.render(tex, el, { throwOnError: true, displayMode: false });
    } catch (e) {
      el.textContent = tex;
      el.classList.add("error");
    }
  }
}

function links(id, urls, label) {
  const box = document.getElementById(id);
  box.replaceChildren();
  for (const url of urls || []) {
    const a = document.createElement("a");
    a.href = url;
    a.target = "_blank";
    a.rel = "noopener";
    a.textContent = label + url;
    box.appendChild(a);
  }
}

function show(frame) {
  screen.innerHTML = frame.html;
  const root = screen.firstElementChild;
  if (root) {
    screen.style.width = root.style.width;
    screen.style.height = root.style.height;
  }
  typeset(screen);
  links("opened", frame.opened, "Opened: ");
  links("shared", frame.shared, "Shared image: ");
  document.body.dataset.revision = frame.revision;
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
let instance = null;

// Waits for each new frame. While the program is away the page asks again every quarter second;
// frames of another instance come from a restarted program, whose page and screen replace these.
async function poll() {
  for (;;) {
    try {
      const query = "/ui/frame?after=" + revision + (instance ? "&instance=" + instance : "");
      const response = await fetch(query, { cache: "no-store" });
      if (!response.ok) { await pause(250); continue; }
      const frame = await response.json();
      if (instance !== null && frame.instance !== instance) {
        location.reload();
        return;
      }
      instance = frame.instance;
      document.body.dataset.instance = instance;
      if (frame.revision !== revision) {
        revision = frame.revision;
        show(frame);
      }
    } catch (e) {
      await pause(250);
    }
  }
}

async function send(path, body) {
  try {
    await fetch(path, { method: "POST", headers: { "Content-Type": "application/json" },
                        body: JSON.stringify(body) });
  } catch (e) {}
}

function pointOf(event) {
  const r = screen.getBoundingClientRect();
  return [event.clientX - r.left, event.clientY - r.top];
}

let down = null;
screen.addEventListener("pointerdown", (event) => {
  down = pointOf(event);
  screen.focus({ preventScroll: true });
  event.preventDefault();
});
screen.addEventListener("pointerup", (event) => {
  if (!down) return;
  const from = down, to = pointOf(event);
  down = null;
  if (Math.hypot(to[0] - from[0], to[1] - from[1]) > 10) {
    send("/driver/drag", { from: { point: from }, to: { point: to } });
  } else {
    send("/driver/tap", { point: from });
  }
});

// The wheel scrolls what lies under the pointer; the deltas of one frame go in one request.
// With Ctrl held (a touchpad's pinch arrives so too) it pinches there instead, zooming in as
// the wheel turns up.
let wheelFrom = null, wheelBy = [0, 0];
let pinchAt = null, pinchScale = 1;
screen.addEventListener("wheel", (event) => {
  event.preventDefault();
  const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? 400 : 1;
  if (event.ctrlKey) {
    pinchScale *= Math.exp(-event.deltaY * unit / 300);
    if (pinchAt) return;
    pinchAt = pointOf(event);
    requestAnimationFrame(() => {
      const body = { point: pinchAt, scale: pinchScale };
      pinchAt = null;
      pinchScale = 1;
      send("/driver/pinch", body);
    });
    return;
  }
  wheelBy[0] += event.deltaX * unit;
  wheelBy[1] += event.deltaY * unit;
  if (wheelFrom) return;
  wheelFrom = pointOf(event);
  requestAnimationFrame(() => {
    const body = { point: wheelFrom, by: wheelBy };
    wheelFrom = null;
    wheelBy = [0, 0];
    send("/driver/scroll", body);
  });
}, { passive: false });

// A double click follows the two taps it is made of; it zooms what can zoom there.
screen.addEventListener("dblclick", (event) => {
  event.preventDefault();
  send("/driver/doubletap", { point: pointOf(event) });
});

document.addEventListener("keydown", (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  if (event.key === "Backspace") {
    send("/driver/type", { key: "Backspace" });
    event.preventDefault();
  } else if (event.key.length === 1) {
    send("/driver/type", { text: event.key });
    event.preventDefault();
  }
});

poll();
</script>
</body>
</html>
)HTML";
    return page;
}

}  // namespace platform
