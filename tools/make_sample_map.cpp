// Writes a small sample map to the path given, for trying the tool out, and
// with a second path a game-style archive holding it as maps/sample.bsp
// beside a bot file made for it, maps/sample.aas.
#include <cstdio>
#include <string>

#include "game/bot_file.h"
#include "map_builder.h"
#include "surfaces/surfaces.h"

namespace {

// The header of a bot file made for map, and a body that stands for the rest.
std::string bot_file_for(const bytes &map)
{
    unsigned char header[BOT_FILE_HEADER_SIZE] = {'E', 'A', 'A', 'S', 5};
    record_checksum(header, map_checksum(map.data(), map.size()));
    return std::string(reinterpret_cast<const char *>(header), sizeof header) + std::string(500, '\0');
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s output.bsp [output.pk3]\n", argc > 0 ? argv[0] : "make_sample_map");
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
    for (int a = 1; a < argc; ++a)
        if (!(a == 1 ? write_bytes(argv[1], map)
                     : write_archive(argv[2], {{"maps/sample.bsp", std::string(map.begin(), map.end())},
                                              {"maps/sample.aas", bot_file_for(map)}}))) {
            std::fprintf(stderr, "Error: Cannot write %s\n", argv[a]);
            return 1;
        }
    return 0;
}
