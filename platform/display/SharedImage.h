#pragma once
// A shared image as a standalone SVG document. Its formulas are typeset as the screen shows them:
// the document loads the display's KaTeX (served under /katex/) and typesets each formula in
// place, then widens itself to the widest one, so that nothing is cut. Where no script runs (an
// image viewer), each formula reads as plain text instead of its LaTeX source.
#include <string>

#include "platform/ui/CALayer.h"

namespace platform {

std::string sharedImageSvg(const UIImage& image);

// A formula's LaTeX as plain text: "\log_{2}\left(4\cdot8\right)" reads "log_2(4·8)".
std::string readableMath(const std::string& latex);

}  // namespace platform
