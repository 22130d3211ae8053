#include "platform/display/HtmlRender.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// What an exported image shows: a clear fill leaves the arc an open line, a centred value sits
// about the middle of its box.
TEST(SvgOfDrawing, ClearFillsStayLinesAndCentredTextsAnchorInTheMiddle) {
    DisplayItem arc{
        DisplayItem::Kind::path, {0, 0, 10, 10}, {1, 0, 0, 1}, 5, {}, RGBA{0, 0, 0, 0}, {}};
    arc.points = {{0, 10}, {10, 0}};
    DisplayItem value{DisplayItem::Kind::text, {10, 20, 30, 14}, {0, 0, 0, 1}, 0, "1", {}, {}};
    value.style.alignment = NSTextAlignment::center;
    const std::string svg = svgOf({arc, value}, {40, 40});
    EXPECT_NE(svg.find("<polyline points=\"0,10 10,0\" fill=\"none\" stroke=\"rgba(255,0,0,1)\" "
                       "stroke-width=\"5\"/>"),
              std::string::npos)
        << svg;
    EXPECT_NE(svg.find("<text x=\"25\" y=\"34\" text-anchor=\"middle\" font-family=\"sans-serif\""),
              std::string::npos)
        << svg;
}

}  // namespace
}  // namespace platform
