#pragma once
// The key window as HTML for the browser display: one absolutely positioned element per visible
// view, one CSS pixel per point. Main thread.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ui/UIView.h"

namespace platform {

struct HtmlRenderOptions {
    // Where image resources are looked up as <name>.svg or <name>.png; served under /images/.
    std::filesystem::path imageDirectory;
};

// The view tree under `root` (its frame origin ignored).
std::string renderHtml(const UIView& root, const HtmlRenderOptions& options = {});

// Inline SVG of drawn items (paths, fills, borders, texts) whose rects are relative to
// `origin`, items drawn under a turned context turned with a `transform`; empty when none of
// them draws anything. LaTeX shows as its source text; images are left to the caller.
std::string svgOf(const std::vector<DisplayItem>& items, CGSize size, CGPoint origin = {});

// How a drawn path is painted, on the page and in a shared image alike: filled only with a fill
// that shows (a clear fill leaves the path an open line, not a closed shape); stroked in a colour
// that shows, unless it has a fill (a clear one too) and was given no stroke colour (its colour
// is then the default, opaque black).
struct PathPaint {
    bool filled = false;
    bool stroked = false;
};
PathPaint pathPaintOf(const DisplayItem& item);

// The file of an image resource, <name>.svg or <name>.png in `directory`; empty when there is
// none or the name could reach outside the folder.
std::filesystem::path imageResourceFile(const std::filesystem::path& directory,
                                        const std::string& name);

// The character that stands for a Material icon image ("ic_share_white"); empty for any other.
std::string iconGlyphFor(const std::string& name);

// Text escaped for HTML content and attribute values.
std::string escapeHtml(const std::string& text);

}  // namespace platform
