#include "companion_support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bsp/bsp_lump.h"
#include "game/bot_file.h"

run_options program(const std::string &name)
{
    run_options options;
    options.program = name;
    return options;
}

std::string bot_file(std::uint32_t version, std::uint32_t checksum)
{
    unsigned char header[BOT_FILE_HEADER_SIZE] = {'E', 'A', 'A', 'S'};
    store_u32le(header + 4, version);
    record_checksum(header, checksum);
    return std::string(reinterpret_cast<char *>(header), sizeof header) + "body of the bot file";
}

std::uint32_t checksum_of(const bytes &map)
{
    return map_checksum(map.data(), map.size());
}

game_dirs::game_dirs()
{
    std::filesystem::create_directories(dir / "base");
    std::filesystem::create_directories(dir / "mod");
    EXPECT_TRUE(write_archive(dir / "base/pak0.pk3", {{"maps/a.bsp", text_of(a)}, {"maps/a.aas", bot_file(5, checksum_of(a))},
                                                     {"maps/b.bsp", text_of(b_old)}, {"maps/c.bsp", text_of(c)},
                                                     {"textures/t.tga", "t"}}));
    EXPECT_TRUE(write_archive(dir / "base/pak1.pk3", {{"maps/b.bsp", text_of(b_new)}, {"maps/*.bsp", text_of(x_late)}}));
    // The game loads zzz before zz_a: it compares a..z as A..Z, and '_' after 'Z'.
    EXPECT_TRUE(write_archive(dir / "base/zz_a.pk3", {{"maps/x.bsp", text_of(x_late)}}));
    EXPECT_TRUE(write_archive(dir / "base/zzz.pk3", {{"maps/x.bsp", text_of(x_early)}}));
    EXPECT_TRUE(write_archive(dir / "mod/-mod.pk3", {{"maps/a.aas", bot_file(4, 1234)}}));
    EXPECT_TRUE(write_text(dir / "mod.txt", "textures/a/wall = rock\ntextures/a/floor = grass\n"));
}
