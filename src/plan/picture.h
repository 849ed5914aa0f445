// A floor plan as a picture people read: each material its colour from a
// fixed palette, none hatched, lighter where higher, ledges and edges
// outlined, the surfaces an import would change striped, and a legend. The
// plan's pixels are coloured here, the legend's text is set by cairo in a
// font FreeType reads (one Debian ships), and libpng writes the PNG; the SVG
// is written as text, each face a shape whose title names it.
#ifndef LUMPSMITH_PICTURE_H
#define LUMPSMITH_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "plan/raster.h"

// The font the legend's text is set in; the package depends on its package.
#ifndef LUMPSMITH_FONT
#define LUMPSMITH_FONT "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#endif

struct plan_page {
    const map_geometry *geometry;
    const floor_plan *plan;
    std::vector<std::uint32_t> surface_of_record;  // each record's material, after the import shown
    std::vector<bool> changed_record;              // the import changes the record's material
    std::string title;                             // the map's name
    std::string surfaces;                          // the surface file shown, "" for none
    bool sliced;                                   // heights cut to the plan's lowest..highest
};

// Opens LUMPSMITH_FONT for every picture of the run; "" or why not.
std::string open_legend_font();
// The page as a PNG into *png; "" or why not.
std::string plan_png(const plan_page &page, std::string *png);
// The page as an SVG document into *svg.
void plan_svg(const plan_page &page, std::string *svg);
// The line of standard output for a material's share: "steel 23.40%".
std::string share_line(const floor_plan &plan, const material_share &share);

#endif
