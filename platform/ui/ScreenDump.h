#pragma once
// The text dump of a view tree that UI tests, the driver and the browser display read.
//
// One line per view, depth first, two spaces of indent per level, the given view at level 0:
//   Type[#id] x,y,w,h
// then, where they apply and in this order: vc=<Class> text="…" latex="…" image=<name>
// tag=<n> hidden (children omitted) alpha=<a> disabled selected focus caret=<n>|focus sel=<a>-<b>
// [caret=<a>] (a selection's caret, named only when it stands at the start)
// mark=#rrggbb bg=#rrggbb[aa] color=#rrggbb segments=<sel>/<n> rows=<n,…> offset=<y> offsetx=<x>
// zoom=<s> editing
// role=cancel|destructive.
// Type is the class name without namespace; the frame is in the superview; numbers are the
// shortest text ("19.5"); colours are resolved and rounded; texts escape \" \\ and \n.
#include <string>

#include "platform/ui/UIView.h"

namespace platform {

std::string screenDump(const UIView& root);
// One line without indent or children.
std::string dumpLine(const UIView& view);

}  // namespace platform
