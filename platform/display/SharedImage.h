#pragma once
// A shared image as a PNG file, what a phone's share sheet hands on: everything the image shows
// (fills, borders, shadows, shapes, texts, resource images, and formulas typeset with the math
// fonts) drawn at the device scale, so that it reads the same in every viewer and needs nothing
// beside it. A formula wider than the image widens the picture, so that no row is cut.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/kits/MathMetrics.h"
#include "platform/ui/CALayer.h"

namespace platform {

struct SharedImageOptions {
    // Image resources, drawn from <name>.png or <name>.svg.
    std::filesystem::path imageDirectory;
    // The math fonts (<name>.ttf).
    std::filesystem::path fontDirectory{std::string(kMathFontDirectory)};
    // The fonts of plain texts: DejaVu (fonts-dejavu-core), the page's sans-serif and monospace.
    std::filesystem::path textFontDirectory{"/usr/share/fonts/truetype/dejavu"};
};

// The largest picture drawn: a side of at most this many pixels, and this many in all; a larger
// drawing is scaled down to fit rather than cut.
inline constexpr double kSharedImageMaxSide = 16384;
inline constexpr double kSharedImageMaxPixels = 24e6;
// Room kept right of a formula that widens the picture.
inline constexpr double kSharedImageFormulaMargin = 16;

// What the picture covers (points: the image, widened to its widest formula) and the scale it is
// drawn at (the image's own unless that would exceed the limits above).
struct SharedImageCanvas {
    CGSize size;
    double scale = 1;
    int pixelWidth = 0, pixelHeight = 0;
};
SharedImageCanvas sharedImageCanvas(const UIImage& image);

// The PNG file's bytes; nullopt for an image of no size or when drawing fails.
std::optional<std::string> sharedImagePng(const UIImage& image,
                                          const SharedImageOptions& options = {});

}  // namespace platform
