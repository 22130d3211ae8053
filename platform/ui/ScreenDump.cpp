#include "platform/ui/ScreenDump.h"

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
    std::string line = view.className();
    if (!view.accessibilityIdentifier.empty()) line += "#" + view.accessibilityIdentifier;
    CGRect f = view.frame();
    line += " " + formatNumber(f.minX()) + "," + formatNumber(f.minY()) + "," +
            formatNumber(f.width()) + "," + formatNumber(f.height());
    if (auto vc = view.owningViewController()) line += " vc=" + vc->className();
    if (d.text) line += " text=" + quoted(*d.text);
    if (d.latex) line += " latex=" + quoted(*d.latex);
    if (d.image) line += " image=" + *d.image;
    if (view.tag != 0) line += " tag=" + std::to_string(view.tag);
    if (view.isHidden()) line += " hidden";
    if (view.alpha() != 1) line += " alpha=" + formatNumber(view.alpha());
    if (d.disabled) line += " disabled";
    if (d.selected) line += " selected";
    if (d.focus) {
        auto [a, b] = *d.focus;
        line += a == b ? " focus caret=" + std::to_string(a)
                       : " focus sel=" + std::to_string(a) + "-" + std::to_string(b);
    }
    if (d.mark) line += " mark=" + d.mark->hexString();
    if (auto bg = view.backgroundColor(); bg && bg->resolved().a > 0) {
        line += " bg=" + bg->hexString(true);
    }
    if (d.color) line += " color=" + d.color->hexString();
    if (d.segments) {
        line += " segments=" + std::to_string(d.segments->first) + "/" +
                std::to_string(d.segments->second);
    }
    if (d.rows) {
        line += " rows=";
        for (std::size_t i = 0; i < d.rows->size(); ++i) {
            if (i) line += ",";
            line += std::to_string((*d.rows)[i]);
        }
    }
    if (d.offset) line += " offset=" + formatNumber(*d.offset);
    if (d.editing) line += " editing";
    if (d.role) line += " role=" + *d.role;
    return line;
}

std::string screenDump(const UIView& root) {
    std::string out;
    dump(root, 0, out);
    return out;
}

}  // namespace platform
