#include "plan/picture.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <png.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "failure.h"
#include "surfaces/surfaces.h"

namespace {

struct rgb {
    unsigned char r, g, b;
};

// One colour a surface: metals cool, stone and earth in greys and browns,
// woods wood-coloured, water blue; none a light grey under its hatching.
constexpr rgb PALETTE[SURFACE_COUNT] = {
    {200, 200, 192},  // none
    {150, 172, 196},  // tin
    {196, 212, 232},  // aluminum
    {78, 92, 128},    // iron
    {132, 116, 184},  // titanium
    {60, 128, 188},   // steel
    {40, 156, 152},   // copper
    {112, 172, 224},  // brass
    {168, 168, 152},  // cement
    {124, 116, 104},  // rock
    {156, 144, 120},  // gravel
    {96, 96, 104},    // pavement
    {176, 72, 52},    // brick
    {196, 124, 80},   // clay
    {84, 168, 60},    // grass
    {136, 96, 56},    // dirt
    {100, 78, 48},    // mud
    {240, 244, 252},  // snow
    {168, 224, 240},  // ice
    {228, 204, 140},  // sand
    {212, 180, 172},  // ceramictile
    {184, 192, 116},  // linoleum
    {156, 40, 92},    // rug
    {232, 220, 196},  // plaster
    {232, 120, 184},  // plastic
    {184, 152, 100},  // cardboard
    {144, 80, 36},    // hardwood
    {208, 156, 88},   // softwood
    {168, 112, 56},   // plank
    {148, 232, 212},  // glass
    {36, 88, 204},    // water
    {216, 200, 168},  // stucco
};
constexpr rgb UNKNOWN_COLOUR = {255, 0, 255};  // a surface number above 31: loud, to be fixed
constexpr rgb BACKGROUND = {34, 36, 42};
constexpr rgb TEXT_COLOUR = {232, 232, 232};
// Darker on the same hue, so that every pixel of a surface keeps its colour's hue.
constexpr double HATCH = 0.8, STRIPE = 0.7, OUTLINE = 0.5, LOWEST_SHADE = 0.72;
// A neighbour lower by more than a player can step up makes a ledge.
constexpr std::int64_t LEDGE = 24 * HEIGHT_STEPS;
constexpr int LEGEND_WIDTH = 240, LEGEND_MARGIN = 16, LINE_HEIGHT = 20, FONT_SIZE = 13, SWATCH = 14;

rgb colour_of(std::uint32_t surface)
{
    return surface < SURFACE_COUNT ? PALETTE[surface] : UNKNOWN_COLOUR;
}

// The factor a pixel at (x, y) of a surface is darkened by for its pattern:
// none hatched one way, a surface the import changes striped the other.
double pattern(std::uint32_t surface, bool changed, int x, int y)
{
    double f = 1;
    if (surface == 0 && (static_cast<unsigned>(x - y) & 7) < 2)
        f *= HATCH;
    if (changed && (static_cast<unsigned>(x + y) & 7) < 2)
        f *= STRIPE;
    return f;
}

std::uint32_t argb(rgb c, double f)
{
    const auto channel = [f](unsigned char v) { return static_cast<std::uint32_t>(v * f + 0.5); };
    return 0xFF000000u | channel(c.r) << 16 | channel(c.g) << 8 | channel(c.b);
}

double shade(const floor_plan &plan, std::int64_t z)
{
    const std::int64_t span = plan.highest - plan.lowest;
    const double part = span > 0 ? double(std::clamp(z, plan.lowest, plan.highest) - plan.lowest) / span : 1;
    return LOWEST_SHADE + (1 - LOWEST_SHADE) * part;
}

std::string hex(rgb c, double f)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(argb(c, f) & 0xFFFFFF));
    return text;
}

// A pixel with no face beside it, or another face more than a ledge lower.
bool outlined(const floor_plan &plan, int x, int y)
{
    const plan_view &v = plan.view;
    const std::size_t at = std::size_t(y) * v.width + x;
    const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
    for (int k = 0; k < 4; ++k) {
        const int nx = x + dx[k], ny = y + dy[k];
        if (nx < 0 || ny < 0 || nx >= v.width || ny >= v.height)
            continue;
        const std::size_t near = std::size_t(ny) * v.width + nx;
        if (plan.face[near] == NO_FACE ||
            (plan.face[near] != plan.face[at] && plan.height[at] - std::int64_t{plan.height[near]} > LEDGE))
            return true;
    }
    return false;
}

std::string height_text(std::int64_t steps)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", double(steps) / HEIGHT_STEPS);
    return text;
}

FT_Library font_library;
FT_Face font_face;
cairo_font_face_t *legend_font;

// The legend to the right of the plan: its lines before the materials, and
// the whole page's size, the legend as wide as its widest line set in the font.
struct page_layout {
    std::vector<std::string> lines;
    int width, height;
    int left;         // where the legend's swatches and text start
    int first_share;  // the top of the first material's row
};

int line_baseline(std::size_t l)
{
    return LEGEND_MARGIN + LINE_HEIGHT * int(l) + FONT_SIZE;
}

int share_baseline(const page_layout &layout, std::size_t s)
{
    return layout.first_share + LINE_HEIGHT * int(s) + FONT_SIZE - 2;
}

int swatch_top(const page_layout &layout, std::size_t s)
{
    return layout.first_share + LINE_HEIGHT * int(s) + (LINE_HEIGHT - SWATCH) / 2 - 2;
}

constexpr const char *NOTHING_SHOWN = "no surface faces up here";

std::vector<std::string> legend_lines(const plan_page &page);

page_layout lay_out(const plan_page &page)
{
    const floor_plan &plan = *page.plan;
    page_layout layout{legend_lines(page), 0, 0, plan.view.width + LEGEND_MARGIN, 0};
    layout.first_share = LEGEND_MARGIN + LINE_HEIGHT * int(layout.lines.size() + 1);
    cairo_surface_t *scratch = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t *cr = cairo_create(scratch);
    cairo_set_font_face(cr, legend_font);
    cairo_set_font_size(cr, FONT_SIZE);
    double widest = 0;
    cairo_text_extents_t extents;
    for (const std::string &line : layout.lines) {
        cairo_text_extents(cr, escaped(line).c_str(), &extents);
        widest = std::max(widest, extents.x_advance);
    }
    for (const material_share &share : plan.shares) {
        cairo_text_extents(cr, share_line(plan, share).c_str(), &extents);
        widest = std::max(widest, extents.x_advance + SWATCH + 8);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(scratch);
    layout.width = plan.view.width + std::max(LEGEND_WIDTH, static_cast<int>(std::ceil(widest)) + 2 * LEGEND_MARGIN);
    layout.height = std::max(plan.view.height, LEGEND_MARGIN * 2 + LINE_HEIGHT * int(layout.lines.size() + 1 + plan.shares.size()));
    return layout;
}

std::vector<std::string> legend_lines(const plan_page &page)
{
    char scale[64];
    std::snprintf(scale, sizeof scale, "1 pixel = %.2f units", page.plan->view.scale);
    std::vector<std::string> lines = {page.title, scale,
                                      "heights " + height_text(page.plan->lowest) + " to " +
                                          height_text(page.plan->highest) + (page.sliced ? " only" : "") +
                                          ", lighter is higher"};
    if (!page.surfaces.empty())
        lines.push_back("striped: changed by " + page.surfaces);
    return lines;
}

void paint_swatch(std::vector<std::uint32_t> *pixels, int stride, int left, int top, std::uint32_t surface, bool changed)
{
    for (int y = top; y < top + SWATCH; ++y)
        for (int x = left; x < left + SWATCH; ++x)
            (*pixels)[std::size_t(y) * stride + x] = argb(colour_of(surface), pattern(surface, changed, x, y));
}

void append_png(png_structp png, png_bytep data, png_size_t length)
{
    static_cast<std::string *>(png_get_io_ptr(png))->append(reinterpret_cast<const char *>(data), length);
}

// Encodes the pixels (0xAARRGGBB, all opaque) as an RGB PNG with libpng.
// cairo's own writer tries every row filter at zlib's default level, and
// made a run of pak1-maps.pk3's 50 plans 1.79 times unzip -p of its maps
// against 1.14; unfiltered at level 3, flat colours and repeating hatches
// still compress well (3.4 MB against 3.0 MB). bench/NOTES.md has the row.
bool encode_png(const std::vector<std::uint32_t> &pixels, int width, int height, std::string *out)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    out->clear();
    png_set_write_fn(png, out, append_png, nullptr);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    std::vector<png_byte> row(std::size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t c = pixels[std::size_t(y) * width + x];
            row[3 * x] = static_cast<png_byte>(c >> 16);
            row[3 * x + 1] = static_cast<png_byte>(c >> 8);
            row[3 * x + 2] = static_cast<png_byte>(c);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool any_changed(const plan_page &page, std::uint32_t surface)
{
    for (std::size_t r = 0; r < page.surface_of_record.size(); ++r)
        if (page.changed_record[r] && page.surface_of_record[r] == surface)
            return true;
    return false;
}

std::string xml(std::string_view text)
{
    std::string out;
    for (const char c : escaped(text))
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
    return out;
}

}  // namespace

std::string open_legend_font()
{
    if (FT_Init_FreeType(&font_library) != 0)
        return "Cannot start FreeType";
    if (FT_New_Face(font_library, LUMPSMITH_FONT, 0, &font_face) != 0)
        return "Cannot read the font " + escaped(LUMPSMITH_FONT) + " (Debian's fonts-dejavu-core)";
    legend_font = cairo_ft_font_face_create_for_ft_face(font_face, 0);
    return "";
}

std::string share_line(const floor_plan &plan, const material_share &share)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s %.2f%%", surface_name_of(share.surface << SURFACE_SHIFT),
                  100.0 * double(share.pixels) / double(plan.shown));
    return text;
}

std::string plan_png(const plan_page &page, std::string *png)
{
    const floor_plan &plan = *page.plan;
    const page_layout layout = lay_out(page);
    const std::vector<std::string> &lines = layout.lines;
    const int width = layout.width, height = layout.height;
    std::vector<std::uint32_t> pixels(std::size_t(width) * height, argb(BACKGROUND, 1));
    for (int y = 0; y < plan.view.height; ++y)
        for (int x = 0; x < plan.view.width; ++x) {
            const std::size_t at = std::size_t(y) * plan.view.width + x;
            if (plan.face[at] == NO_FACE)
                continue;
            const std::uint32_t record = page.geometry->face_record[plan.face[at]];
            const std::uint32_t surface = page.surface_of_record[record];
            const double f = shade(plan, plan.height[at]) * pattern(surface, page.changed_record[record], x, y) *
                             (outlined(plan, x, y) ? OUTLINE : 1);
            pixels[std::size_t(y) * width + x] = argb(colour_of(surface), f);
        }
    for (std::size_t s = 0; s < plan.shares.size(); ++s)
        paint_swatch(&pixels, width, layout.left, swatch_top(layout, s), plan.shares[s].surface,
                     any_changed(page, plan.shares[s].surface));
    cairo_surface_t *surface = cairo_image_surface_create_for_data(reinterpret_cast<unsigned char *>(pixels.data()),
                                                                   CAIRO_FORMAT_ARGB32, width, height, width * 4);
    cairo_t *cr = cairo_create(surface);
    cairo_set_font_face(cr, legend_font);
    cairo_set_font_size(cr, FONT_SIZE);
    cairo_set_source_rgb(cr, TEXT_COLOUR.r / 255.0, TEXT_COLOUR.g / 255.0, TEXT_COLOUR.b / 255.0);
    const auto say = [&](int x, int y, const std::string &text) {
        cairo_move_to(cr, x, y);
        cairo_show_text(cr, escaped(text).c_str());
    };
    for (std::size_t l = 0; l < lines.size(); ++l)
        say(layout.left, line_baseline(l), lines[l]);
    for (std::size_t s = 0; s < plan.shares.size(); ++s)
        say(layout.left + SWATCH + 8, share_baseline(layout, s), share_line(plan, plan.shares[s]));
    if (plan.shares.empty())
        say(layout.left, share_baseline(layout, 0), NOTHING_SHOWN);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        return std::string("cairo could not draw the legend: ") + cairo_status_to_string(status);
    return encode_png(pixels, width, height, png) ? "" : "libpng could not write the PNG";
}

void plan_svg(const plan_page &page, std::string *svg)
{
    const floor_plan &plan = *page.plan;
    const plan_view &v = plan.view;
    const page_layout layout = lay_out(page);
    const std::vector<std::string> &lines = layout.lines;
    const int width = layout.width, height = layout.height;
    const std::string w = std::to_string(width), h = std::to_string(height);
    *svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " + h +
           "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"" + std::to_string(FONT_SIZE) + "\">\n"
           "<defs><pattern id=\"none\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
           "<rect width=\"8\" height=\"8\" fill=\"" + hex(PALETTE[0], 1) + "\"/><rect width=\"2\" height=\"8\" fill=\"" +
           hex(PALETTE[0], HATCH) + "\"/></pattern>\n"
           "<pattern id=\"changed\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(-45)\">"
           "<rect width=\"2\" height=\"8\" fill=\"#000\" fill-opacity=\"0.3\"/></pattern>\n"
           "<clipPath id=\"plan\"><rect width=\"" + std::to_string(v.width) + "\" height=\"" + std::to_string(v.height) +
           "\"/></clipPath></defs>\n<rect width=\"" + w + "\" height=\"" + h + "\" fill=\"" + hex(BACKGROUND, 1) +
           "\"/>\n<g clip-path=\"url(#plan)\" stroke-linejoin=\"round\">\n";
    // Drawn lowest first, so that the highest face covers the others, as in the PNG.
    const map_geometry &g = *page.geometry;
    struct face_run {
        std::size_t first, last;
        double top;
    };
    std::vector<face_run> runs;
    for (std::size_t t = 0; t < g.triangles.size(); ++t) {
        const float top = std::max({g.triangles[t].z[0], g.triangles[t].z[1], g.triangles[t].z[2]});
        if (runs.empty() || g.triangles[runs.back().first].face != g.triangles[t].face)
            runs.push_back({t, t, top});
        runs.back().last = t;
        runs.back().top = std::max(runs.back().top, double(top));
    }
    std::stable_sort(runs.begin(), runs.end(), [](const face_run &a, const face_run &b) { return a.top < b.top; });
    const double low = double(plan.lowest) / HEIGHT_STEPS, high = double(plan.highest) / HEIGHT_STEPS;
    for (const face_run &run : runs) {
        std::string path;
        for (std::size_t t = run.first; t <= run.last; ++t) {
            const plan_triangle &tri = g.triangles[t];
            // With heights sliced, only the part of the triangle between them.
            std::vector<std::array<double, 3>> polygon = {{tri.x[0], tri.y[0], tri.z[0]}, {tri.x[1], tri.y[1], tri.z[1]},
                                                          {tri.x[2], tri.y[2], tri.z[2]}};
            for (int side = 0; page.sliced && side < 2; ++side) {
                std::vector<std::array<double, 3>> kept;
                for (std::size_t k = 0; k < polygon.size(); ++k) {
                    const auto &a = polygon[k], &b = polygon[(k + 1) % polygon.size()];
                    const double da = side == 0 ? a[2] - low : high - a[2], db = side == 0 ? b[2] - low : high - b[2];
                    if (da >= 0)
                        kept.push_back(a);
                    if ((da < 0) != (db < 0)) {
                        const double s = da / (da - db);
                        kept.push_back({a[0] + s * (b[0] - a[0]), a[1] + s * (b[1] - a[1]), a[2] + s * (b[2] - a[2])});
                    }
                }
                polygon.swap(kept);
            }
            for (std::size_t k = 0; k < polygon.size(); ++k) {
                char point[64];
                std::snprintf(point, sizeof point, "%c%.2f %.2f", k == 0 ? 'M' : 'L', (polygon[k][0] - v.left) / v.scale,
                              (v.top - polygon[k][1]) / v.scale);
                path += point;
            }
            if (!polygon.empty())
                path += 'Z';
        }
        if (path.empty())
            continue;
        const std::uint32_t record = g.face_record[g.triangles[run.first].face];
        const std::uint32_t surface = page.surface_of_record[record];
        const std::string colour = hex(colour_of(surface), shade(plan, std::llround(run.top * HEIGHT_STEPS)));
        // Stroked in its own colour, which closes the seams between its triangles.
        *svg += "<path d=\"" + path + "\" fill=\"" + (surface == 0 ? "url(#none)" : colour) + "\" stroke=\"" +
                colour + "\" stroke-width=\"0.5\"><title>" + xml(name_of_record(g.map.lump, record)) + ": " +
                surface_name_of(surface << SURFACE_SHIFT) + (page.changed_record[record] ? " (changed)" : "") +
                "</title></path>\n";
        if (page.changed_record[record])
            *svg += "<path d=\"" + path + "\" fill=\"url(#changed)\" pointer-events=\"none\"/>\n";
    }
    *svg += "</g>\n";
    const auto say = [&](int x, int y, const std::string &text) {
        *svg += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" fill=\"" + hex(TEXT_COLOUR, 1) +
                "\">" + xml(text) + "</text>\n";
    };
    for (std::size_t l = 0; l < lines.size(); ++l)
        say(layout.left, line_baseline(l), lines[l]);
    for (std::size_t s = 0; s < plan.shares.size(); ++s) {
        const std::uint32_t surface = plan.shares[s].surface;
        const std::string swatch = "<rect x=\"" + std::to_string(layout.left) + "\" y=\"" + std::to_string(swatch_top(layout, s)) +
                                   "\" width=\"" + std::to_string(SWATCH) + "\" height=\"" + std::to_string(SWATCH) + "\" fill=\"";
        *svg += swatch + (surface == 0 ? "url(#none)" : hex(colour_of(surface), 1)) + "\"/>\n";
        if (any_changed(page, surface))
            *svg += swatch + "url(#changed)\"/>\n";
        say(layout.left + SWATCH + 8, share_baseline(layout, s), share_line(plan, plan.shares[s]));
    }
    if (plan.shares.empty())
        say(layout.left, share_baseline(layout, 0), NOTHING_SHOWN);
    *svg += "</svg>\n";
}
