#include "platform/display/SharedImage.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "platform/display/HtmlRender.h"
#include "platform/ui/UIView.h"

namespace platform {
namespace {

// The result rows' formulas are set at this size, as on the screen.
constexpr double kFormulaFontSize = 20;

// Typesets every formula box once the document and KaTeX have loaded, then widens the drawing to
// the widest formula. KaTeX builds HTML elements; an SVG document makes elements of no
// namespace, so its markup is parsed as HTML and imported.
constexpr char kTypesetScript[] = R"JS(
(function () {
  function typeset() {
    if (typeof katex === "undefined") return;
    var svg = document.documentElement;
    var width = Number(svg.getAttribute("width"));
    var boxes = document.getElementsByClassName("tex");
    for (var i = 0; i < boxes.length; ++i) {
      var box = boxes[i];
      var html = katex.renderToString(box.getAttribute("data-tex"), { throwOnError: false });
      var body = new DOMParser().parseFromString(html, "text/html").body;
      box.textContent = "";
      while (body.firstChild) {
        var node = body.removeChild(body.firstChild);
        box.appendChild(document.importNode(node, true));
      }
      box.classList.add("typeset");
      var holder = box.parentNode;
      var right = Number(holder.getAttribute("x")) + box.scrollWidth + 16;
      holder.setAttribute("width", Math.max(Number(holder.getAttribute("width")), box.scrollWidth));
      width = Math.max(width, right);
    }
    svg.setAttribute("width", width);
    svg.setAttribute("viewBox", "0 0 " + width + " " + svg.getAttribute("height"));
    document.getElementById("paper").setAttribute("width", width);
  }
  if (document.readyState === "complete") typeset();
  else window.addEventListener("load", typeset);
})();
)JS";

}  // namespace

std::string readableMath(const std::string& latex) {
    static const std::pair<std::string_view, std::string_view> kCommands[] = {
        {"\\left", ""},  {"\\right", ""},  {"\\cdot", "·"}, {"\\infty", "∞"}, {"\\pi", "π"},
        {"\\quad", " "}, {"\\;", " "},     {"\\,", " "},    {"\\frac", ""},   {"\\sqrt", "√"},
        {"\\text", ""},  {"\\log", "log"}, {"\\ln", "ln"},  {"\\color", ""},
    };
    std::string out;
    std::string_view s = latex;
    std::size_t i = 0;
    bool fractionPending = false;  // between the two groups of a fraction
    int fractionDepth = -1, depth = 0;
    while (i < s.size()) {
        if (s[i] == '\\') {
            bool known = false;
            for (const auto& [command, text] : kCommands) {
                if (!s.substr(i).starts_with(command)) continue;
                const std::size_t after = i + command.size();
                if (after < s.size() && std::isalpha(static_cast<unsigned char>(s[after])) &&
                    std::isalpha(static_cast<unsigned char>(command.back())))
                    continue;
                out += text;
                if (command == "\\frac") {
                    fractionPending = true;
                    fractionDepth = depth;
                }
                if (command == "\\color") {
                    // The colour's name is no part of the reading.
                    const auto close = s.find('}', after);
                    i = close == std::string_view::npos ? s.size() : close + 1;
                } else {
                    i = after;
                }
                known = true;
                break;
            }
            if (!known) ++i;  // an unknown command reads as its name
            continue;
        }
        if (s[i] == '{') {
            ++depth;
        } else if (s[i] == '}') {
            --depth;
            if (fractionPending && depth == fractionDepth) {
                out += '/';
                fractionPending = false;
            }
        } else {
            out += s[i];
        }
        ++i;
    }
    return out;
}

std::string sharedImageSvg(const UIImage& image) {
    const CGSize size = image.size();
    const std::string width = formatNumber(size.width), height = formatNumber(size.height);
    // Shapes and plain texts (rotated ones too) are drawn as on the screen; formulas go in boxes
    // that the script below typesets.
    std::vector<DisplayItem> drawable;
    std::string formulas;
    for (const auto& item : image.displayList()) {
        if (item.kind != DisplayItem::Kind::latex) {
            drawable.push_back(item);
            continue;
        }
        const CGRect r = item.rect;
        formulas += "<foreignObject x=\"" + formatNumber(r.minX()) + "\" y=\"" +
                    formatNumber(r.minY()) + "\" width=\"" + formatNumber(r.width()) +
                    "\" height=\"" + formatNumber(r.height()) +
                    "\" overflow=\"visible\"><div xmlns=\"http://www.w3.org/1999/xhtml\" "
                    "class=\"tex\" data-tex=\"" +
                    escapeHtml(item.text) + "\">" + escapeHtml(readableMath(item.text)) +
                    "</div></foreignObject>";
    }
    std::string drawn = svgOf(drawable, size);
    std::string shapes;
    if (const auto start = drawn.find('>'); start != std::string::npos)
        shapes = drawn.substr(start + 1, drawn.size() - start - 7);  // without <svg ...> </svg>
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "width=\"" +
           width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
           "\">\n<style>@import url(\"/katex/katex.min.css\"); .tex { height: 100%; display: "
           "flex; align-items: center; white-space: nowrap; font: " +
           formatNumber(kFormulaFontSize) +
           "px serif; color: #000; }</style>\n<rect id=\"paper\" x=\"0\" y=\"0\" width=\"" + width +
           "\" height=\"" + height + "\" fill=\"#ffffff\"/>" + shapes + formulas +
           "\n<script href=\"/katex/katex.min.js\" xlink:href=\"/katex/katex.min.js\"></script>\n"
           "<script><![CDATA[" +
           kTypesetScript + "]]></script>\n</svg>\n";
}

}  // namespace platform
