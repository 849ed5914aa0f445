// Writes a small sample map, with a few faces to draw, to the path given, for trying the tool out, and
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
    // A floor of metal and grass, a wooden platform with a concrete ramp down
    // from it, a wall and a sky over it all: enough for lumpsmith-plan.
    const auto square = [](std::int32_t record, float x0, float y0, float x1, float y1, float z0, float z1) {
        return map_face{record, 1, {{x0, y0, z0}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z0}}, {0, 2, 1, 0, 3, 2}};
    };
    const std::vector<map_face> faces = {
        square(0, 0, 0, 512, 512, 0, 0),
        square(4, 512, 0, 1024, 512, 0, 0),
        square(2, 128, 128, 320, 320, 64, 64),
        square(1, 320, 160, 480, 288, 64, 0),
        {1, 1, {{0, 512, 0}, {1024, 512, 0}, {1024, 512, 128}, {0, 512, 128}}, {0, 1, 2, 0, 2, 3}},
        square(5, 0, 0, 1024, 512, 512, 512),
    };
    const bytes map = build_map_with_faces(records, faces,
                                           "{\n\"classname\" \"worldspawn\"\n}\n"
                                           "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"224 224 88\"\n}\n");
    for (int a = 1; a < argc; ++a)
        if (!(a == 1 ? write_bytes(argv[1], map)
                     : write_archive(argv[2], {{"maps/sample.bsp", std::string(map.begin(), map.end())},
                                              {"maps/sample.aas", bot_file_for(map)}}))) {
            std::fprintf(stderr, "Error: Cannot write %s\n", argv[a]);
            return 1;
        }
    return 0;
}
