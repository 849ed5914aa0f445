// What the companion commands' tests share: the runner's options for a
// companion, a map's records and where its lump lies, bot files, and a base
// and a mod folder as a modder has them.
#ifndef LUMPSMITH_COMPANION_SUPPORT_H
#define LUMPSMITH_COMPANION_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "surfaces/surfaces.h"
#include "test_support.h"

// The options that run the companion command name.
run_options program(const std::string &name);

inline const std::vector<map_record> RECORDS = {
    {"textures/a/wall", set_surface_index(0x123, 5), 0x1},
    {"textures/a/sky", set_surface_index(0x4, 9), 0x1},     // the export leaves it out
    {"textures/a/wall", set_surface_index(0x84, 40), 0x1},  // shares a name, unknown (028)
    {"textures/a/floor", set_surface_index(0, 14), 0x1},     // already grass
    {"textures/a/water", set_surface_index(0, 30), 0x20},    // not solid
};
constexpr std::uint32_t AT = 400;

// A bot file of the version given, recording checksum, with a body after its header.
std::string bot_file(std::uint32_t version, std::uint32_t checksum);
// The game's checksum of a map.
std::uint32_t checksum_of(const bytes &map);

// A base folder and a mod folder as a modder has them: a map patched by a
// later archive, one whose bot file the mod replaces, two archives whose
// names only the game's order tells apart, an entry named like a pattern,
// and a map the surface file leaves alone.
struct game_dirs {
    temp_dir dir;
    const bytes a = build_map(build_lump(RECORDS), AT);
    const bytes b_old = build_map(build_lump({RECORDS[0]}), AT);
    const bytes b_new = build_map(build_lump({RECORDS[0], RECORDS[3]}), AT, 7);
    const bytes x_early = build_map(build_lump({{"textures/a/floor", 0, 1}}), AT);
    const bytes x_late = build_map(build_lump({{"textures/a/wall", 0, 1}}), AT);
    const bytes c = build_map(build_lump({{"textures/other", 0, 1}}), AT);
    game_dirs();
};

#endif
