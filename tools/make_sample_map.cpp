// Writes a small sample map to the path given, for trying the tool out.
#include <cstdio>

#include "map_builder.h"
#include "surfaces/surfaces.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output.bsp\n", argc > 0 ? argv[0] : "make_sample_map");
        return 1;
    }
    const std::uint32_t solid = 0x1;
    const std::vector<map_record> records = {
        {"textures/base/floor_metal", set_surface_index(0x0, 5), solid},
        {"textures/base/wall_concrete", set_surface_index(0x0, 8), solid},
        {"textures/base/crate_wood", set_surface_index(0x200, 27), solid},
        {"textures/base/window_glass", set_surface_index(0x20, 29), solid | 0x20000000},
        {"textures/outdoor/grass_field", set_surface_index(0x0, 14), solid},
        {"textures/outdoor/sky_dusk", 0x04, solid},
        {"textures/common/nodraw", 0x80, solid},
        {"textures/liquids/water_calm", set_surface_index(0x100, 30), 0x20},
        {"noshader", 0x0, solid},
        {"textures/base/floor_metal", set_surface_index(0x0, 5), solid},
        {"textures/base/pipe_copper", set_surface_index(0x8, 40), solid},
    };
    // The lump sits well after the header, as in real maps where other lumps come first.
    const bytes map = build_map(build_lump(records, 6), 512, 256);
    if (!write_bytes(argv[1], map)) {
        std::fprintf(stderr, "Error: Cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
