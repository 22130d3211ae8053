#include "platform/display/SharedImage.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "platform/display/HtmlRender.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/Text.h"
#include "platform/kits/MathTypesetter.h"

namespace platform {
namespace {
// Names of this file's own; the folder is compiled several files at a time.
namespace sharedpng {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const {
        if (p) Free(p);
    }
};
using Surface = std::unique_ptr<cairo_surface_t, Freer<cairo_surface_t, cairo_surface_destroy>>;
using Context = std::unique_ptr<cairo_t, Freer<cairo_t, cairo_destroy>>;

// A font file opened for drawing: cairo keeps a face it has drawn with in its caches, so each file
// is opened once and stays open for the process. (Files, not the system's font configuration:
// the picture looks the same wherever it is made.)
struct Face {
    FT_Face ft = nullptr;
    cairo_font_face_t* cairo = nullptr;
};

const Face& faceAt(const std::filesystem::path& file) {
    static NoDestructor<std::mutex> mutex;
    static NoDestructor<std::map<std::filesystem::path, Face>> faces;
    static FT_Library library = nullptr;
    std::lock_guard lock(mutex.get());
    auto [found, added] = faces->try_emplace(file);
    if (!added) return found->second;
    if (!library && FT_Init_FreeType(&library) != 0) library = nullptr;
    FT_Face face = nullptr;
    if (library && FT_New_Face(library, file.c_str(), 0, &face) == 0) {
        found->second.ft = face;
        found->second.cairo = cairo_ft_font_face_create_for_ft_face(face, FT_LOAD_NO_HINTING);
    }
    return found->second;
}

const Face& mathFace(const SharedImageOptions& options, MathFont font) {
    return faceAt(options.fontDirectory / (std::string(mathFontFileName(font)) + ".ttf"));
}

enum class TextFont { sans, bold, mono, serif };

// The page's sans-serif, bold and monospace, and a serif for what the math fonts lack.
void selectTextFont(cairo_t* cr, const SharedImageOptions& options, TextFont font, double size) {
    static constexpr const char* kFiles[] = {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf",
                                             "DejaVuSansMono.ttf", "DejaVuSerif.ttf"};
    const Face& face = faceAt(options.textFontDirectory / kFiles[static_cast<int>(font)]);
    if (face.cairo) cairo_set_font_face(cr, face.cairo);
    cairo_set_font_size(cr, std::max(1.0, size));
}

void setColor(cairo_t* cr, const RGBA& c) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

void roundedRect(cairo_t* cr, CGRect r, double radius) {
    radius = std::clamp(radius, 0.0, std::min(r.width(), r.height()) / 2);
    if (radius <= 0) {
        cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
        return;
    }
    constexpr double pi = std::numbers::pi;
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.maxX() - radius, r.minY() + radius, radius, -pi / 2, 0);
    cairo_arc(cr, r.maxX() - radius, r.maxY() - radius, radius, 0, pi / 2);
    cairo_arc(cr, r.minX() + radius, r.maxY() - radius, radius, pi / 2, pi);
    cairo_arc(cr, r.minX() + radius, r.minY() + radius, radius, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

// The page's look of a named font: its family and whether it is bold.
void selectFont(cairo_t* cr, const SharedImageOptions& options, const UIFont& font) {
    const std::string& n = font.name;
    const bool bold = n.find("Bold") != std::string::npos || n.find("Heavy") != std::string::npos ||
                      n.find("Black") != std::string::npos;
    const bool mono =
        n.find("Courier") != std::string::npos || n.find("Menlo") != std::string::npos;
    selectTextFont(cr, options,
                   mono   ? TextFont::mono
                   : bold ? TextFont::bold
                          : TextFont::sans,
                   font.pointSize);
}

double textWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

// How many characters of `text` fit `width` with `suffix` after them (found by halving, so that a
// long text costs few measurements).
std::size_t fitting(cairo_t* cr, const std::string& text, double width,
                    const std::string& suffix = {}) {
    std::size_t low = 0, high = codePointCount(text);
    while (low < high) {
        const std::size_t middle = (low + high + 1) / 2;
        if (textWidth(cr, substringByCodePoints(text, 0, middle) + suffix) <= width)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

// The line cut to fit `width` with an ellipsis, as the page cuts a line too long for its box.
std::string ellipsized(cairo_t* cr, const std::string& text, double width) {
    if (textWidth(cr, text) <= width) return text;
    return substringByCodePoints(text, 0, fitting(cr, text, width, "\u2026")) + "\u2026";
}

// Breaks a text into the lines the page shows in a box of `width`: at its line breaks, and
// between words (inside a word too long for a line). Only the first `most` lines are wanted.
std::vector<std::string> wrapped(cairo_t* cr, const std::string& text, double width,
                                 std::size_t most) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size() && lines.size() < most) {
        const auto end = std::min(text.find('\n', start), text.size());
        const std::string paragraph = text.substr(start, end - start);
        std::string line;
        std::size_t i = 0;
        while (i < paragraph.size()) {
            const auto space = paragraph.find(' ', i);
            const auto wordEnd = space == std::string::npos ? paragraph.size() : space + 1;
            const std::string word = paragraph.substr(i, wordEnd - i);
            i = wordEnd;
            if (!line.empty() && textWidth(cr, line + word) > width) {
                lines.push_back(std::move(line));
                line.clear();
            }
            line += word;
            while (lines.size() < most && codePointCount(line) > 1 && textWidth(cr, line) > width) {
                const std::size_t keep = std::max<std::size_t>(1, fitting(cr, line, width));
                lines.push_back(substringByCodePoints(line, 0, keep));
                line = substringByCodePoints(line, keep);
            }
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

void drawText(cairo_t* cr, const DisplayItem& item, const SharedImageOptions& options) {
    const TextStyle& style = item.style;
    const CGRect r = item.rect;
    selectFont(cr, options, style.font);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    setColor(cr, item.color);
    cairo_save(cr);
    cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
    cairo_clip(cr);
    const auto place = [&](const std::string& line, double baseline) {
        const double w = textWidth(cr, line);
        double x = r.minX();
        if (style.alignment == NSTextAlignment::center) x += (r.width() - w) / 2;
        if (style.alignment == NSTextAlignment::right) x = r.maxX() - w;
        cairo_move_to(cr, x, baseline);
        cairo_show_text(cr, line.c_str());
    };
    if (style.wraps) {
        double baseline = r.minY() + fe.ascent;
        const auto shown = static_cast<std::size_t>(std::max(0.0, r.height() / fe.height)) + 1;
        for (const auto& line : wrapped(cr, item.text, r.width(), shown)) {
            place(line, baseline);
            baseline += fe.height;
        }
    } else {
        // One line, centred in the box's height as the page's line height does.
        const double baseline = r.minY() + (r.height() - (fe.ascent + fe.descent)) / 2 + fe.ascent;
        place(ellipsized(cr, item.text, r.width()), baseline);
    }
    cairo_restore(cr);
}

void drawFormula(cairo_t* cr, const DisplayItem& item, const MathLayout& layout,
                 const SharedImageOptions& options) {
    const CGRect r = item.rect;
    const double baseline = r.minY() + layout.baselineIn(r.height());
    if (layout.source) {
        // What the page shows for a source its typesetting refuses.
        selectTextFont(cr, options, TextFont::mono, kMathSourceFontSize);
        cairo_set_source_rgb(cr, 1, 0, 0);
        cairo_move_to(cr, r.minX(), baseline);
        cairo_show_text(cr, layout.source->c_str());
        return;
    }
    for (const auto& rule : layout.rules) {
        setColor(cr, rule.color.value_or(item.color));
        cairo_rectangle(cr, r.minX() + rule.x, baseline + rule.y, rule.width, rule.height);
        cairo_fill(cr);
    }
    for (const auto& g : layout.glyphs) {
        setColor(cr, g.color.value_or(item.color));
        const Face& face = mathFace(options, g.font);
        const double x = r.minX() + g.x, y = baseline + g.y;
        const FT_UInt index = face.ft ? FT_Get_Char_Index(face.ft, g.codepoint) : 0;
        if (index == 0) {
            // Not in the math fonts (or the fonts are missing): a serif face.
            std::string text;
            appendUTF8(text, g.codepoint);
            selectTextFont(cr, options, TextFont::serif, g.size);
            cairo_move_to(cr, x, y);
            cairo_show_text(cr, text.c_str());
            continue;
        }
        cairo_set_font_face(cr, face.cairo);
        cairo_set_font_size(cr, g.size);
        cairo_glyph_t glyph{index, x, y};
        cairo_show_glyphs(cr, &glyph, 1);
    }
}

bool drawImageFile(cairo_t* cr, const std::filesystem::path& file, CGRect r) {
    if (file.extension() == ".png") {
        Surface png(cairo_image_surface_create_from_png(file.c_str()));
        if (cairo_surface_status(png.get()) != CAIRO_STATUS_SUCCESS) return false;
        const int w = cairo_image_surface_get_width(png.get());
        const int h = cairo_image_surface_get_height(png.get());
        if (w <= 0 || h <= 0) return false;
        cairo_save(cr);
        cairo_translate(cr, r.minX(), r.minY());
        cairo_scale(cr, r.width() / w, r.height() / h);
        cairo_set_source_surface(cr, png.get(), 0, 0);
        cairo_paint(cr);
        cairo_restore(cr);
        return true;
    }
    GError* error = nullptr;
    RsvgHandle* svg = rsvg_handle_new_from_file(file.c_str(), &error);
    if (!svg) {
        if (error) g_error_free(error);
        return false;
    }
    const RsvgRectangle viewport{r.minX(), r.minY(), r.width(), r.height()};
    const bool drawn = rsvg_handle_render_document(svg, cr, &viewport, &error);
    if (error) g_error_free(error);
    g_object_unref(svg);
    return drawn;
}

void drawImage(cairo_t* cr, const DisplayItem& item, const SharedImageOptions& options) {
    const CGRect r = item.rect;
    if (r.isEmpty()) return;
    if (const auto file = imageResourceFile(options.imageDirectory, item.text);
        !file.empty() && drawImageFile(cr, file, r))
        return;
    setColor(cr, item.color.a > 0 ? item.color : RGBA{0, 0, 0, 1});
    if (const auto glyph = iconGlyphFor(item.text); !glyph.empty()) {
        selectTextFont(cr, options, TextFont::sans, std::min(r.width(), r.height()) * 0.8);
        cairo_text_extents_t e;
        cairo_text_extents(cr, glyph.c_str(), &e);
        cairo_move_to(cr, r.center().x - e.x_bearing - e.width / 2,
                      r.center().y - e.y_bearing - e.height / 2);
        cairo_show_text(cr, glyph.c_str());
        return;
    }
    // An image the program has no picture for: a dashed frame with its name, as on the page.
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    const double dash = 3;
    cairo_set_dash(cr, &dash, 1, 0);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, r.minX() + 0.5, r.minY() + 0.5, r.width() - 1, r.height() - 1);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    DisplayItem name = item;
    name.kind = DisplayItem::Kind::text;
    name.color = {0.4, 0.4, 0.4, 1};
    name.style = {{"System", 9}, NSTextAlignment::center, false};
    drawText(cr, name, options);
}

void drawPath(cairo_t* cr, const DisplayItem& item) {
    if (item.points.empty()) return;
    const auto [filled, stroked] = pathPaintOf(item);
    cairo_new_path(cr);
    for (const auto& p : item.points)
        cairo_line_to(cr, p.x, p.y);
    // Only a fill that shows closes the path: a clear one (an arc's) leaves it an open line, as
    // the page draws it, where closing it would stroke the chord too.
    if (filled) {
        cairo_close_path(cr);
        setColor(cr, *item.fill);
        cairo_fill_preserve(cr);
    }
    if (stroked && item.radius > 0) {
        setColor(cr, item.color);
        cairo_set_line_width(cr, item.radius);
        cairo_set_line_join(cr, item.lineJoin == CALineJoin::round   ? CAIRO_LINE_JOIN_ROUND
                                : item.lineJoin == CALineJoin::bevel ? CAIRO_LINE_JOIN_BEVEL
                                                                     : CAIRO_LINE_JOIN_MITER);
        cairo_stroke(cr);
    }
    cairo_new_path(cr);
}

void drawItem(cairo_t* cr, const DisplayItem& item, const MathLayout* formula,
              const SharedImageOptions& options) {
    const CGRect r = item.rect;
    switch (item.kind) {
        case DisplayItem::Kind::fill:
            setColor(cr, item.color);
            roundedRect(cr, r, item.radius);
            cairo_fill(cr);
            break;
        case DisplayItem::Kind::border: {
            const double w = item.radius;
            if (w <= 0) break;
            setColor(cr, item.color);
            cairo_set_line_width(cr, w);
            cairo_rectangle(cr, r.minX() + w / 2, r.minY() + w / 2, r.width() - w, r.height() - w);
            cairo_stroke(cr);
            break;
        }
        case DisplayItem::Kind::shadow: {
            // A soft edge: the shape spread out in a few fainter steps.
            constexpr int kSteps = 4;
            for (int i = kSteps; i >= 1; --i) {
                const double grow = item.radius * i / kSteps;
                RGBA c = item.color;
                c.a *= 0.5 / kSteps;
                setColor(cr, c);
                roundedRect(
                    cr,
                    {r.minX() - grow, r.minY() - grow, r.width() + 2 * grow, r.height() + 2 * grow},
                    grow);
                cairo_fill(cr);
            }
            break;
        }
        case DisplayItem::Kind::path:
            drawPath(cr, item);
            break;
        case DisplayItem::Kind::text:
            if (!item.text.empty()) drawText(cr, item, options);
            break;
        case DisplayItem::Kind::latex:
            if (formula) drawFormula(cr, item, *formula, options);
            break;
        case DisplayItem::Kind::image:
            drawImage(cr, item, options);
            break;
    }
}

// The formulas of the image, typeset as the page sets them (by the index of their item).
std::map<std::size_t, MathLayout> formulasOf(const UIImage& image) {
    std::map<std::size_t, MathLayout> formulas;
    const auto& items = image.displayList();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        if (item.kind != DisplayItem::Kind::latex || item.text.empty()) continue;
        formulas.emplace(i, typesetMath(item.text, item.style.font.pointSize * kMathScale));
    }
    return formulas;
}

SharedImageCanvas canvasOf(const UIImage& image,
                           const std::map<std::size_t, MathLayout>& formulas) {
    SharedImageCanvas canvas;
    canvas.size = image.size();
    const auto& items = image.displayList();
    for (const auto& [index, layout] : formulas) {
        const auto& item = items[index];
        if (item.rotation != 0) continue;
        canvas.size.width = std::max(canvas.size.width,
                                     item.rect.minX() + layout.width + kSharedImageFormulaMargin);
    }
    const double w = std::max(1.0, canvas.size.width), h = std::max(1.0, canvas.size.height);
    double scale = image.scale() > 0 ? image.scale() : 1;
    scale = std::min({scale, kSharedImageMaxSide / w, kSharedImageMaxSide / h,
                      std::sqrt(kSharedImageMaxPixels / (w * h))});
    canvas.scale = scale;
    // Whole pixels, without a pixel more for the rounding error of a scale that fits exactly.
    canvas.pixelWidth = std::max(1, static_cast<int>(std::ceil(w * scale - 1e-6)));
    canvas.pixelHeight = std::max(1, static_cast<int>(std::ceil(h * scale - 1e-6)));
    return canvas;
}

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace sharedpng
}  // namespace

SharedImageCanvas sharedImageCanvas(const UIImage& image) {
    return sharedpng::canvasOf(image, sharedpng::formulasOf(image));
}

std::optional<std::string> sharedImagePng(const UIImage& image, const SharedImageOptions& options) {
    if (image.size().width <= 0 || image.size().height <= 0) return std::nullopt;
    const auto formulas = sharedpng::formulasOf(image);
    const SharedImageCanvas canvas = sharedpng::canvasOf(image, formulas);
    sharedpng::Surface surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, canvas.pixelWidth, canvas.pixelHeight));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    sharedpng::Context context(cairo_create(surface.get()));
    cairo_t* cr = context.get();
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return std::nullopt;

    // Glyphs are placed exactly where the typesetting puts them, not snapped to pixels.
    cairo_font_options_t* fontOptions = cairo_font_options_create();
    cairo_font_options_set_hint_style(fontOptions, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(fontOptions, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, fontOptions);
    cairo_font_options_destroy(fontOptions);

    cairo_scale(cr, canvas.scale, canvas.scale);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    const auto& items = image.displayList();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        const auto formula = formulas.find(i);
        cairo_save(cr);
        if (item.rotation != 0 && std::isfinite(item.rotation)) {
            cairo_translate(cr, item.pivot.x, item.pivot.y);
            cairo_rotate(cr, item.rotation);
            cairo_translate(cr, -item.pivot.x, -item.pivot.y);
        }
        sharedpng::drawItem(cr, item, formula == formulas.end() ? nullptr : &formula->second,
                            options);
        cairo_restore(cr);
    }
    cairo_surface_flush(surface.get());
    std::string png;
    if (cairo_surface_write_to_png_stream(surface.get(), &sharedpng::appendTo, &png) !=
        CAIRO_STATUS_SUCCESS)
        return std::nullopt;
    return png;
}

}  // namespace platform
