// Writes a seed corpus for the fuzzer into the directory given: small maps
// like the tests' own, each followed by a surface file.
#include <cstdio>
#include <string>

#include "map_builder.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus_dir\n", argv[0]);
        return 1;
    }
    const std::vector<map_record> records = {
        {"textures/base/floor_metal", 0x00500000, 0x1},
        {"textures/outdoor/sky_dusk", 0x00000004, 0x1},
        {"noshader", 0x0, 0x1},
        {"textures/base/crate_wood", 0x02800200, 0x1},
        {std::string(64, 'n'), 0x01F00000, 0x0},
    };
    const std::vector<bytes> maps = {
        build_map(build_lump(records), 144),
        build_map(build_lump(records, 6), 200, 16),
        build_map(bytes(), 144),
        build_map(build_lump({{"a", 0, 1}}), 150),
    };
    const std::string texts[] = {
        "textures/base/floor_metal = grass\ntextures/base/crate_wood = rock\n",
        "textures/base/floor_metal = Grass\r\n = none\nno separator\n",
        "textures/base/crate_wood = plank",
        std::string(200, 'x') + "a = tin\n",
    };
    int n = 0;
    for (const bytes &map : maps) {
        for (const std::string &text : texts) {
            bytes seed = {static_cast<unsigned char>(map.size()), static_cast<unsigned char>(map.size() >> 8)};
            seed.insert(seed.end(), map.begin(), map.end());
            seed.insert(seed.end(), text.begin(), text.end());
            if (!write_bytes(std::string(argv[1]) + "/seed" + std::to_string(n++), seed))
                return 1;
        }
    }
    return 0;
}
