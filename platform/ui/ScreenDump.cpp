#include "platform/ui/ScreenDump.h"

#include <initializer_list>
#include <string_view>

namespace platform {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += "\\\"";
        else if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

void dump(const UIView& view, int depth, std::string& out) {
    out.append(2 * depth, ' ');
    out += dumpLine(view);
    out += '\n';
    if (view.isHidden()) return;
    for (const auto& sub : view.subviews())
        dump(*sub, depth + 1, out);
}

}  // namespace

std::string dumpLine(const UIView& view) {
    ViewDescription d;
    view.describe(d);
    // Built by appending only: g++ 12 at -O3 warns falsely on literal + string chains.
    std::string line = view.className();
    auto add = [&line](std::initializer_list<std::string_view> parts) {
        for (auto p : parts)
            line.append(p);
    };
    if (!view.accessibilityIdentifier.empty()) add({"#", view.accessibilityIdentifier});
    CGRect f = view.frame();
    add({" ", formatNumber(f.minX()), ",", formatNumber(f.minY()), ",", formatNumber(f.width()),
         ",", formatNumber(f.height())});
    if (auto vc = view.owningViewController()) add({" vc=", vc->className()});
    if (d.text) add({" text=", quoted(*d.text)});
    if (d.latex) add({" latex=", quoted(*d.latex)});
    if (d.image) add({" image=", *d.image});
    if (view.tag != 0) add({" tag=", std::to_string(view.tag)});
    if (view.isHidden()) add({" hidden"});
    // The alpha shown, so that a fade reads as it goes.
    if (const CGFloat alpha = view.presentedAlpha(); alpha != 1)
        add({" alpha=", formatNumber(alpha)});
    if (d.disabled) add({" disabled"});
    if (d.selected) add({" selected"});
    if (d.focus) {
        auto [a, b] = *d.focus;
        if (a == b)
            add({" focus caret=", std::to_string(a)});
        else
            add({" focus sel=", std::to_string(a), "-", std::to_string(b)});
        // A selection's caret stands at its end unless it says otherwise.
        if (a != b && d.caretAtStart) add({" caret=", std::to_string(a)});
    }
    if (d.mark) add({" mark=", d.mark->hexString()});
    if (auto bg = view.backgroundColor(); bg && bg->resolved().a > 0) {
        add({" bg=", bg->hexString(true)});
    }
    if (d.color) add({" color=", d.color->hexString()});
    if (d.segments) {
        add({" segments=", std::to_string(d.segments->first), "/",
             std::to_string(d.segments->second)});
    }
    if (d.rows) {
        add({" rows="});
        for (std::size_t i = 0; i < d.rows->size(); ++i) {
            if (i) add({","});
            add({std::to_string((*d.rows)[i])});
        }
    }
    if (d.offset) add({" offset=", formatNumber(*d.offset)});
    if (d.offsetX) add({" offsetx=", formatNumber(*d.offsetX)});
    if (d.zoom) add({" zoom=", formatNumber(*d.zoom)});
    if (d.editing) add({" editing"});
    if (d.role) add({" role=", *d.role});
    return line;
}

std::string screenDump(const UIView& root) {
    std::string out;
    dump(root, 0, out);
    return out;
}

}  // namespace platform
