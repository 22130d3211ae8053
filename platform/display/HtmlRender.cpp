#include "platform/display/HtmlRender.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <set>

#include "platform/foundation/Text.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITextField.h"

namespace platform {
namespace {

std::string px(CGFloat v) {
    return formatNumber(v) + "px";
}

std::string css(const RGBA& c) {
    auto byte = [](CGFloat v) {
        return std::to_string(static_cast<int>(std::clamp(v, 0.0, 1.0) * 255 + 0.5));
    };
    return "rgba(" + byte(c.r) + "," + byte(c.g) + "," + byte(c.b) + "," + formatNumber(c.a) + ")";
}

std::string boxStyle(CGRect r) {
    return "left:" + px(r.minX()) + ";top:" + px(r.minY()) + ";width:" + px(r.width()) +
           ";height:" + px(r.height()) + ";";
}

// The named fonts of the app are not on Linux; their families read as the browser's sans-serif.
std::string fontStyle(const UIFont& font) {
    const std::string& n = font.name;
    std::string weight = "400";
    if (n.find("Bold") != std::string::npos || n.find("Heavy") != std::string::npos ||
        n.find("Black") != std::string::npos)
        weight = "700";
    else if (n.find("Medium") != std::string::npos || n.find("Demi") != std::string::npos)
        weight = "500";
    else if (n.find("Light") != std::string::npos)
        weight = "300";
    std::string family = n.rfind("System", 0) == 0 ? "system-ui,sans-serif" : "sans-serif";
    if (n.find("Courier") != std::string::npos || n.find("Menlo") != std::string::npos)
        family = "monospace";
    return "font:" + weight + " " + px(font.pointSize) + " " + family + ";";
}

std::string alignStyle(NSTextAlignment a) {
    switch (a) {
        case NSTextAlignment::center:
            return "text-align:center;";
        case NSTextAlignment::right:
            return "text-align:right;";
        case NSTextAlignment::justified:
            return "text-align:justify;";
        default:
            return "text-align:left;";
    }
}

// Material icons by the name of their image, without colour suffix.
std::string iconGlyph(const std::string& name) {
    if (name.rfind("ic_", 0) != 0) return {};
    std::string base = name.substr(3);
    for (const char* suffix : {"_white", "_black"}) {
        std::string s = suffix;
        if (base.size() > s.size() && base.compare(base.size() - s.size(), s.size(), s) == 0)
            base.resize(base.size() - s.size());
    }
    static const std::pair<const char*, const char*> kGlyphs[] = {
        {"menu", "\u2630"},   {"check", "\u2713"}, {"arrow_back", "\u2190"},
        {"share", "\u21EA"},  {"edit", "\u270E"},  {"close", "\u2715"},
        {"delete", "\u232B"}, {"add", "+"},        {"info", "\u2139"},
    };
    for (const auto& [key, glyph] : kGlyphs)
        if (base == key) return glyph;
    return {};
}

bool isSafeImageName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos &&
           name.find("..") == std::string::npos;
}

std::string imageHtml(const DisplayItem& item, const HtmlRenderOptions& options) {
    std::string style = "position:absolute;" + boxStyle(item.rect);
    const std::string& name = item.text;
    if (const auto file = imageResourceFile(options.imageDirectory, name); !file.empty()) {
        return "<img class=\"image\" alt=\"" + escapeHtml(name) + "\" src=\"/images/" +
               escapeHtml(file.filename().string()) + "\" style=\"" + style + "\">";
    }
    if (auto glyph = iconGlyph(name); !glyph.empty()) {
        return "<span class=\"icon\" data-image=\"" + escapeHtml(name) + "\" style=\"" + style +
               "font-size:" + px(std::min(item.rect.width(), item.rect.height()) * 0.8) +
               ";line-height:" + px(item.rect.height()) + "\">" + glyph + "</span>";
    }
    return "<span class=\"placeholder\" data-image=\"" + escapeHtml(name) + "\" style=\"" + style +
           "\">" + escapeHtml(name) + "</span>";
}

// A focused text field's text as it drew it: the field's text (without the caret), where the
// caret stands and the selection, in code points.
struct FieldEditing {
    std::string text;
    std::size_t caret = 0;
    UITextRange selection;
};

// The focused text field's editing state, when `item` is the text it drew with its caret.
std::optional<FieldEditing> fieldEditing(const UIView& view, const DisplayItem& item) {
    const auto* field = dynamic_cast<const UITextField*>(&view);
    if (!field || item.kind != DisplayItem::Kind::text) return std::nullopt;
    const auto selection = field->selectedTextRange();
    if (!selection) return std::nullopt;
    const std::string& text = field->text();
    const std::size_t length = codePointCount(text);
    const std::size_t at = std::min(field->caretOffset(), length);
    if (item.text != substringByCodePoints(text, 0, at) + UITextField::kCaret +
                         substringByCodePoints(text, at, length - at))
        return std::nullopt;
    return FieldEditing{text, at, *selection};
}

// A focused field's caret is an element of its own, which the page keeps in view; a selection
// is a marked span beside it.
std::string textHtml(const DisplayItem& item, const std::optional<FieldEditing>& editing) {
    const TextStyle& look = item.style;
    std::string style = "position:absolute;" + boxStyle(item.rect) + "color:" + css(item.color) +
                        ";" + fontStyle(look.font) + alignStyle(look.alignment);
    style += look.wraps ? "white-space:pre-wrap;overflow-wrap:anywhere;"
                        : "white-space:pre;line-height:" + px(item.rect.height()) + ";";
    if (item.rotation != 0) {
        // Turned about its pivot; a turned text is measured by the model, which the browser's
        // face may exceed, so it is not cut off.
        style += "overflow:visible;transform-origin:" + px(item.pivot.x - item.rect.minX()) + " " +
                 px(item.pivot.y - item.rect.minY()) + ";transform:rotate(" +
                 formatNumber(item.rotation * 180 / std::numbers::pi) + "deg);";
    }
    std::string content = escapeHtml(item.text);
    if (editing) {
        // An ellipsis would cut the text where the box ends, however far it is scrolled.
        style += "text-overflow:clip;";
        const std::string& text = editing->text;
        const std::size_t length = codePointCount(text);
        const std::size_t start = std::min(editing->selection.start, length);
        const std::size_t end = std::clamp(editing->selection.end, start, length);
        const auto part = [&](std::size_t from, std::size_t to) {
            return escapeHtml(substringByCodePoints(text, from, to - from));
        };
        const std::string caret =
            std::string("<span class=\"caret\">") + UITextField::kCaret + "</span>";
        // The caret stands at one end of the selection, or is the whole of it.
        content = part(0, start) + (editing->caret == start ? caret : "");
        if (start < end) content += "<span class=\"selection\">" + part(start, end) + "</span>";
        content += (editing->caret != start ? caret : "") + part(end, length);
    }
    return "<div class=\"text\" style=\"" + style + "\">" + content + "</div>";
}

// Thickness, distance from the edges and shortest length of a scroll indicator.
constexpr CGFloat kIndicatorThickness = 3, kIndicatorInset = 2, kIndicatorMinimum = 24;

// A scroll view whose content is wider than itself shows a thin bar along its foot, as long and
// as far along as the part in view: a cut-off row is seen to scroll. In the view's visible box.
std::string horizontalIndicatorHtml(const UIView& view) {
    const auto* scroll = dynamic_cast<const UIScrollView*>(&view);
    if (!scroll || !scroll->showsHorizontalScrollIndicator) return {};
    const CGRect b = scroll->bounds();
    const CGFloat hidden = scroll->maxOffsetX();
    const CGFloat track = b.width() - 2 * kIndicatorInset;
    if (hidden < 1 || track < kIndicatorMinimum || b.height() < kIndicatorThickness) return {};
    const CGFloat length = std::max(kIndicatorMinimum, track * b.width() / (b.width() + hidden));
    const CGFloat along = std::clamp(b.minX() / hidden, 0.0, 1.0);
    const CGRect bar{kIndicatorInset + (track - length) * along,
                     b.height() - kIndicatorThickness - kIndicatorInset, length,
                     kIndicatorThickness};
    return "<div class=\"scroll-indicator\" style=\"" + boxStyle(bar) + "\"></div>";
}

std::string latexHtml(const DisplayItem& item) {
    return "<span class=\"tex\" data-tex=\"" + escapeHtml(item.text) +
           "\" style=\"position:absolute;" + boxStyle(item.rect) + "color:" + css(item.color) +
           ";font-size:" + px(item.style.font.pointSize) + "\">" + escapeHtml(item.text) +
           "</span>";
}

void renderView(const UIView& view, CGPoint parentOffset, const HtmlRenderOptions& options,
                bool isRoot, std::string& out) {
    const CGFloat alpha = view.presentedAlpha();
    if (view.isHidden() || alpha <= 0) return;
    const CALayer& layer = *view.layer();
    CGRect frame = view.frame();
    CGRect box = isRoot ? CGRect{0, 0, frame.width(), frame.height()}
                        : frame.offsetBy(-parentOffset.x, -parentOffset.y);
    std::string style = "position:absolute;" + boxStyle(box);
    if (auto bg = view.backgroundColor(); bg && bg->resolved().a > 0)
        style += "background:" + css(bg->resolved()) + ";";
    if (alpha < 1) style += "opacity:" + formatNumber(alpha) + ";";
    if (layer.cornerRadius > 0) style += "border-radius:" + px(layer.cornerRadius) + ";";
    if (layer.borderWidth > 0 && layer.borderColor) {
        style += "box-sizing:border-box;border:" + px(layer.borderWidth) + " solid " +
                 css(layer.borderColor->resolved()) + ";";
    }
    if (layer.shadowColor && layer.shadowOpacity > 0) {
        // The layer's offset grows downwards for a positive height, as in CSS. A layer's shadow
        // radius is about the spread of its blur, where CSS names the whole width: twice as
        // much. (The browser blurs a box, not the layer's drawn content.)
        style += "box-shadow:" + px(layer.shadowOffset.width) + " " +
                 px(layer.shadowOffset.height) + " " + px(2 * layer.shadowRadius) + " " +
                 css(layer.shadowColor->withAlphaComponent(layer.shadowOpacity).resolved()) + ";";
    }
    if (view.clipsContent()) style += "overflow:hidden;";
    // A turned layer turns its view's box about the box's centre, as the layer turns.
    if (const CGFloat turn = layer.presentationRotation(); turn != 0 && std::isfinite(turn))
        style += "transform:rotate(" + formatNumber(turn * 180 / std::numbers::pi) + "deg);";
    out += "<div data-type=\"" + escapeHtml(view.className()) + "\"";
    if (!view.accessibilityIdentifier.empty())
        out += " data-id=\"" + escapeHtml(view.accessibilityIdentifier) + "\"";
    out += " style=\"" + style + "\">";

    // The view's own drawing, then layers added beside the subviews' (shape layers), in the
    // view's bounds coordinates.
    CGPoint origin = view.bounds().origin;
    CGContext ctx;
    ctx.translate(-origin.x, -origin.y);
    view.drawContent(ctx);
    std::set<const CALayer*> viewLayers;
    for (const auto& sub : view.subviews())
        viewLayers.insert(sub->layer().get());
    for (const auto& sublayer : layer.sublayers()) {
        if (viewLayers.count(sublayer.get())) continue;
        CGFloat dx = sublayer->frame.minX() - origin.x, dy = sublayer->frame.minY() - origin.y;
        ctx.translate(dx, dy);
        sublayer->render(ctx);
        ctx.translate(-dx, -dy);
    }
    std::vector<DisplayItem> shapes;
    std::string content;
    for (const auto& item : ctx.items()) {
        switch (item.kind) {
            case DisplayItem::Kind::text:
                content += textHtml(item, fieldEditing(view, item));
                break;
            case DisplayItem::Kind::latex:
                content += latexHtml(item);
                break;
            case DisplayItem::Kind::image:
                content += imageHtml(item, options);
                break;
            default:
                shapes.push_back(item);
        }
    }
    out += svgOf(shapes, view.bounds().size);
    out += content;
    for (const auto& sub : view.subviews())
        renderView(*sub, origin, options, false, out);
    out += horizontalIndicatorHtml(view);
    out += "</div>";
}

// The SVG attributes that turn an item drawn under a turned context about its pivot.
std::string transformAttribute(const DisplayItem& item, CGPoint origin) {
    if (item.rotation == 0) return {};
    const double degrees = item.rotation * 180 / std::numbers::pi;
    return " transform=\"rotate(" + formatNumber(degrees) + " " +
           formatNumber(item.pivot.x - origin.x) + " " + formatNumber(item.pivot.y - origin.y) +
           ")\"";
}

std::string lineJoinAttribute(CALineJoin join) {
    switch (join) {
        case CALineJoin::round:
            return " stroke-linejoin=\"round\"";
        case CALineJoin::bevel:
            return " stroke-linejoin=\"bevel\"";
        default:
            return {};  // miter, SVG's own default
    }
}

// A text set in its box as its alignment says: from the left edge, about the middle, or up to
// the right edge.
CGFloat anchorX(NSTextAlignment alignment, CGRect r) {
    if (alignment == NSTextAlignment::center) return r.center().x;
    if (alignment == NSTextAlignment::right) return r.maxX();
    return r.minX();
}

std::string anchorAttribute(NSTextAlignment alignment) {
    if (alignment == NSTextAlignment::center) return " text-anchor=\"middle\"";
    if (alignment == NSTextAlignment::right) return " text-anchor=\"end\"";
    return {};
}

std::string points(const std::vector<CGPoint>& pts, CGPoint origin) {
    std::string s;
    for (const auto& p : pts) {
        if (!s.empty()) s += ' ';
        s += formatNumber(p.x - origin.x) + "," + formatNumber(p.y - origin.y);
    }
    return s;
}

}  // namespace

std::filesystem::path imageResourceFile(const std::filesystem::path& directory,
                                        const std::string& name) {
    if (!isSafeImageName(name) || directory.empty()) return {};
    std::error_code ec;
    for (const char* ext : {".svg", ".png"}) {
        if (std::filesystem::is_regular_file(directory / (name + ext), ec))
            return directory / (name + ext);
    }
    return {};
}

std::string iconGlyphFor(const std::string& name) {
    return iconGlyph(name);
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

PathPaint pathPaintOf(const DisplayItem& item) {
    PathPaint paint;
    paint.filled = item.fill && item.fill->a > 0;
    paint.stroked = (!item.fill || !(item.color == RGBA{})) && item.color.a > 0;
    return paint;
}

std::string svgOf(const std::vector<DisplayItem>& items, CGSize size, CGPoint origin) {
    std::string body;
    for (const auto& item : items) {
        CGRect r = item.rect.offsetBy(-origin.x, -origin.y);
        std::string rect = "x=\"" + formatNumber(r.minX()) + "\" y=\"" + formatNumber(r.minY()) +
                           "\" width=\"" + formatNumber(r.width()) + "\" height=\"" +
                           formatNumber(r.height()) + "\"" + transformAttribute(item, origin);
        switch (item.kind) {
            case DisplayItem::Kind::fill:
                body += "<rect " + rect + " rx=\"" + formatNumber(item.radius) + "\" fill=\"" +
                        css(item.color) + "\"/>";
                break;
            case DisplayItem::Kind::border:
                body += "<rect " + rect + " fill=\"none\" stroke=\"" + css(item.color) +
                        "\" stroke-width=\"" + formatNumber(item.radius) + "\"/>";
                break;
            case DisplayItem::Kind::shadow:
                body += "<rect " + rect + " fill=\"" + css(item.color) + "\" opacity=\"0.5\"/>";
                break;
            case DisplayItem::Kind::path: {
                if (item.points.empty()) break;
                const auto [filled, stroked] = pathPaintOf(item);
                std::string fill = filled ? css(*item.fill) : "none";
                std::string stroke = stroked ? "\" stroke=\"" + css(item.color) +
                                                   "\" stroke-width=\"" + formatNumber(item.radius)
                                             : "";
                body += std::string(filled ? "<polygon" : "<polyline") + " points=\"" +
                        points(item.points, origin) + "\" fill=\"" + fill + stroke + "\"" +
                        (stroke.empty() ? "" : lineJoinAttribute(item.lineJoin)) +
                        transformAttribute(item, origin) + "/>";
                break;
            }
            case DisplayItem::Kind::text:
            case DisplayItem::Kind::latex:
                // Set on the baseline at the box's foot, sized by the box's height; LaTeX
                // shows its source.
                if (item.text.empty()) break;
                body += "<text x=\"" + formatNumber(anchorX(item.style.alignment, r)) + "\" y=\"" +
                        formatNumber(r.maxY()) + "\"" + anchorAttribute(item.style.alignment) +
                        " font-family=\"sans-serif\" font-size=\"" +
                        formatNumber(std::max(8.0, r.height() * 0.7)) + "\" fill=\"" +
                        css(item.color) + "\"" + transformAttribute(item, origin) + ">" +
                        escapeHtml(item.text) + "</text>";
                break;
            default:
                break;
        }
    }
    if (body.empty()) return {};
    return "<svg class=\"drawn\" width=\"" + formatNumber(size.width) + "\" height=\"" +
           formatNumber(size.height) +
           "\" style=\"position:absolute;left:0;top:0;overflow:visible\">" + body + "</svg>";
}

std::string renderHtml(const UIView& root, const HtmlRenderOptions& options) {
    std::string out;
    renderView(root, {}, options, true, out);
    return out;
}

}  // namespace platform
