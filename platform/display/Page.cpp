#include "platform/display/Page.h"

namespace platform {

const std::string& displayPage() {
    static const std::string page = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Tessaline</title>
<link rel="icon" href="data:,">
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
  .selection { background: rgba(0,122,255,.3); }
  .scroll-indicator { position: absolute; border-radius: 1.5px; pointer-events: none;
                      background: rgba(0,0,0,.35); box-shadow: 0 0 0 1px rgba(255,255,255,.35); }
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

// A focused field scrolls its text so that the caret stays in view, as a phone's field does:
// while a long number is typed its end shows.
function keepCaretInView(caret) {
  const box = caret.offsetParent;
  if (!box) return;
  const margin = 2;
  const right = caret.offsetLeft + caret.offsetWidth + margin;
  if (right > box.scrollLeft + box.clientWidth) box.scrollLeft = right - box.clientWidth;
  const left = caret.offsetLeft - margin;
  if (left < box.scrollLeft) box.scrollLeft = Math.max(0, left);
}

// The focused field: the view's box that holds the caret.
function focusedField(caret) {
  return caret.closest("[data-type]");
}

function show(frame) {
  // A focused field keeps the scroll of its text from one frame to the next, so that moving the
  // caret within what shows moves nothing else.
  const scrolled = new Map();
  for (const caret of screen.querySelectorAll(".caret")) {
    const field = focusedField(caret);
    if (field.dataset.id && caret.offsetParent)
      scrolled.set(field.dataset.id, caret.offsetParent.scrollLeft);
  }
  screen.innerHTML = frame.html;
  const root = screen.firstElementChild;
  if (root) {
    screen.style.width = root.style.width;
    screen.style.height = root.style.height;
  }
  typeset(screen);
  for (const caret of screen.querySelectorAll(".caret")) {
    const field = focusedField(caret);
    if (caret.offsetParent && scrolled.has(field.dataset.id))
      caret.offsetParent.scrollLeft = scrolled.get(field.dataset.id);
    keepCaretInView(caret);
  }
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

// Inputs go to the program one at a time, each once the one before has been answered (or has
// failed), so that keys, taps and drags reach the app in the order they were made whatever the
// connections do. A stalled program cannot make the line grow without bound: while
// kMaxWaiting inputs wait, further ones are dropped.
const kMaxWaiting = 256;
const outbox = [];
let sending = false;

async function drain() {
  sending = true;
  while (outbox.length > 0) {
    const { path, body } = outbox.shift();
    try {
      const response = await fetch(path, { method: "POST", body: JSON.stringify(body),
                                           headers: { "Content-Type": "application/json" } });
      await response.text();
    } catch (e) {}
  }
  sending = false;
}

function send(path, body) {
  if (outbox.length >= kMaxWaiting) return;
  outbox.push({ path, body });
  if (!sending) drain();
}

function pointOf(event) {
  const r = screen.getBoundingClientRect();
  return [event.clientX - r.left, event.clientY - r.top];
}

// A click in the focused field puts the caret at the character boundary nearest to it: the
// number of the field's characters (code points, as the app counts them) whose middle is drawn
// left of the click. Elsewhere: null.
function caretAt(event) {
  const caret = screen.querySelector(".caret");
  const field = caret && focusedField(caret);
  if (!field || !field.contains(event.target)) return null;
  const range = document.createRange();
  const walker = document.createTreeWalker(caret.parentElement, NodeFilter.SHOW_TEXT);
  let offset = 0;
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    if (caret.contains(node)) continue;
    let at = 0;
    for (const character of node.data) {
      range.setStart(node, at);
      range.setEnd(node, at + character.length);
      const box = range.getBoundingClientRect();
      if ((box.left + box.right) / 2 < event.clientX) offset++;
      at += character.length;
    }
  }
  return offset;
}

let down = null, downCaret = null;
screen.addEventListener("pointerdown", (event) => {
  down = pointOf(event);
  downCaret = caretAt(event);
  screen.focus({ preventScroll: true });
  event.preventDefault();
});
screen.addEventListener("pointerup", (event) => {
  if (!down) return;
  const from = down, to = pointOf(event);
  down = null;
  if (Math.hypot(to[0] - from[0], to[1] - from[1]) > 10) {
    send("/driver/drag", { from: { point: from }, to: { point: to } });
  } else if (downCaret !== null) {
    send("/driver/tap", { point: from, caret: downCaret });
  } else {
    send("/driver/tap", { point: from });
  }
});

// The wheel scrolls what lies under the pointer; turns made at about the same point while the
// scroll waits for its turn to be sent add up into it. With Ctrl held (a touchpad's pinch arrives
// so too) it pinches there instead, zooming in as the wheel turns up; waiting pinches at about
// the same point multiply into one.
function waitingNear(path, point) {
  const last = outbox[outbox.length - 1];
  return last && last.path === path &&
      Math.hypot(point[0] - last.body.point[0], point[1] - last.body.point[1]) <= 10 ? last : null;
}

screen.addEventListener("wheel", (event) => {
  event.preventDefault();
  const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? 400 : 1;
  const point = pointOf(event);
  if (event.ctrlKey) {
    const scale = Math.exp(-event.deltaY * unit / 300);
    const last = waitingNear("/driver/pinch", point);
    if (last) last.body.scale *= scale;
    else send("/driver/pinch", { point, scale });
    return;
  }
  const by = [event.deltaX * unit, event.deltaY * unit];
  const last = waitingNear("/driver/scroll", point);
  if (last) {
    last.body.by[0] += by[0];
    last.body.by[1] += by[1];
    return;
  }
  send("/driver/scroll", { point, by });
}, { passive: false });

// A double click follows the two taps it is made of; it zooms what can zoom there.
screen.addEventListener("dblclick", (event) => {
  event.preventDefault();
  send("/driver/doubletap", { point: pointOf(event) });
});

// Only what the app's keypad offers goes on: the digits, ".", "/", "-", "π", "e", and Backspace
// for its back key; and the keys that move the caret in the focused field (with Shift they
// select) and Delete. Other characters do nothing (not even the browser's own shortcuts).
const kKeypadCharacters = new Set(Array.from("0123456789./-\u03c0e"));
const kCaretKeys = new Set(["ArrowLeft", "ArrowRight", "Home", "End", "Delete"]);
document.addEventListener("keydown", (event) => {
  if (event.isComposing) return;
  const chord = event.ctrlKey || event.metaKey || event.altKey;
  if (chord && !event.getModifierState("AltGraph")) return;
  if (event.key === "Backspace") {
    send("/driver/type", { key: "Backspace" });
    event.preventDefault();
  } else if (kCaretKeys.has(event.key)) {
    send("/driver/type", event.shiftKey ? { key: event.key, shift: true } : { key: event.key });
    event.preventDefault();
  } else if (Array.from(event.key).length === 1) {
    if (kKeypadCharacters.has(event.key)) send("/driver/type", { text: event.key });
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
