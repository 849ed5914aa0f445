// lumpsmith-pk3 end to end, run from the build folder on game folders and
// archives made here.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "game/bot_file.h"

#include "companion_support.h"

namespace {

TEST(Pk3, EditsTheCopyOfEachMapTheGameLoadsAndKeepsItsBotFileInStep)
{
    game_dirs g;
    const bytes base_before = read_bytes(g.dir / "base/pak1.pk3");
    const run_result r = run_tool(g.dir, {"base", "mod", "mod.txt", "mod/zz-lumpsmith.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const bytes a = with_flags(with_flags(g.a, AT, 0, set_surface_index(0x123, 9)), AT, 2, set_surface_index(0x84, 9));
    const bytes b = with_flags(g.b_new, AT, 0, set_surface_index(0x123, 9));
    const bytes star = with_flags(g.x_late, AT, 0, set_surface_index(0, 9));
    const bytes x = star;
    const auto size = std::filesystem::file_size(g.dir / "mod/zz-lumpsmith.pk3");
    EXPECT_EQ(r.out, "reading the game's maps, and packing those that change\n"
                     "maps/*.bsp: 1 records changed (base/pak1.pk3)\n"
                     "maps/a.bsp: 2 records changed (base/pak0.pk3)\n"
                     "maps/b.bsp: 1 records changed (base/pak1.pk3)\n"
                     "maps/x.bsp: 1 records changed (base/zz_a.pk3)\n"
                     "maps/a.aas: map checksum updated\n"
                     "writing 4 maps and 1 bot files into mod/zz-lumpsmith.pk3\n"
                     "mod/zz-lumpsmith.pk3: 4 maps and 1 bot files, " + std::to_string(size) + " bytes; 1 maps unchanged\n");
    // The mod's own bot file, in its version's form, with only the checksum changed.
    EXPECT_EQ(read_archive(g.dir / "mod/zz-lumpsmith.pk3"),
              (std::vector<std::pair<std::string, std::string>>{{"maps/*.bsp", text_of(star)},
                                                                {"maps/a.aas", bot_file(4, checksum_of(a))},
                                                                {"maps/a.bsp", text_of(a)},
                                                                {"maps/b.bsp", text_of(b)},
                                                                {"maps/x.bsp", text_of(x)}}));
    EXPECT_EQ(read_bytes(g.dir / "base/pak1.pk3"), base_before);
    // The same inputs give the same bytes, under another umask too, once
    // the first output is out of the way.
    std::filesystem::rename(g.dir / "mod/zz-lumpsmith.pk3", g.dir / "first.pk3");
    run_options other_umask = program("lumpsmith-pk3");
    other_umask.umask = 077;
    EXPECT_EQ(run_tool(g.dir, {"base", "mod", "mod.txt", "mod/zz-again.pk3"}, other_umask).status, 0);
    EXPECT_EQ(read_bytes(g.dir / "mod/zz-again.pk3"), read_bytes(g.dir / "first.pk3"));
}


// The archive at path with each copy of from (a name, in its local and
// central headers) replaced by to, which is as long; false when it could not.
bool patch_archive(const std::string &path, const std::string &from, const std::string &to)
{
    std::string archive = text_of(read_bytes(path));
    for (std::size_t at; (at = archive.find(from)) != std::string::npos;)
        archive.replace(at, from.size(), to);
    return write_bytes(path, bytes(archive.begin(), archive.end()));
}


// A game folder as Windows tools and other mods leave it: names in other
// cases, a .PK3, backslashes, a NUL in a name, a .pk3dir, a loose map, and
// archives whose order only the game's comparison (':' as '/') tells.
// Each copy the game loads is the one edited, under a name it finds.
TEST(Pk3, FindsEachCopyAsTheGameDoes)
{
    temp_dir dir;
    std::vector<bytes> maps;  // each its own bytes, all holding textures/a/wall
    for (std::size_t n = 0; n < 9; ++n)
        maps.push_back(build_map(build_lump({RECORDS[0]}), AT, n));
    const auto edited = [&](std::size_t n) { return text_of(with_flags(maps[n], AT, 0, set_surface_index(0x123, 9))); };
    std::filesystem::create_directories(dir / "g/c.pk3dir/maps");
    std::filesystem::create_directories(dir / "g/maps");
    std::filesystem::create_directories(dir / "mod");
    ASSERT_TRUE(write_archive(dir / "g/a.pk3", {{"maps/rt5case.bsp", text_of(maps[0])}, {"maps/x.bsp", text_of(maps[1])},
                                               {"maps/nul.bspX.bsp", text_of(maps[2])}}));
    ASSERT_TRUE(patch_archive(dir / "g/a.pk3", "maps/nul.bspX.bsp", std::string("maps/nul.bsp\0.bsp", 17)));
    ASSERT_TRUE(write_archive(dir / "g/b.PK3", {{"MAPS/RT5Case.BSP", text_of(maps[3])}, {"maps\\Slash.bsp", text_of(maps[4])},
                                               {"maps\\SLASH.AAS", bot_file(5, checksum_of(maps[4]))}}));
    ASSERT_TRUE(write_bytes(dir / "g/c.pk3dir/maps/dir.bsp", maps[5]));
    ASSERT_TRUE(write_text(dir / "g/c.pk3dir/maps/dir.aas", bot_file(4, 1)));
    ASSERT_TRUE(write_archive(dir / "g/m:.pk3", {{"maps/order.bsp", text_of(maps[6])}}));
    ASSERT_TRUE(write_archive(dir / "g/m0.pk3", {{"maps/order.bsp", text_of(maps[7])}}));
    ASSERT_TRUE(write_bytes(dir / "g/maps/x.bsp", maps[8]));
    ASSERT_TRUE(write_text(dir / "mod.txt", "textures/a/wall = rock\n"));
    const run_result r = run_tool(dir, {"g", "mod", "mod.txt", "mod/zz.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(r.status, 0) << r.err;
    const auto size = std::filesystem::exists(dir / "mod/zz.pk3") ? std::filesystem::file_size(dir / "mod/zz.pk3") : 0;
    EXPECT_EQ(r.out, "reading the game's maps, and packing those that change\n"
                     "maps/dir.bsp: 1 records changed (g/c.pk3dir)\n"
                     "maps/nul.bsp: 1 records changed (g/a.pk3)\n"
                     "maps/order.bsp: 1 records changed (g/m0.pk3)\n"
                     "MAPS/RT5Case.BSP: 1 records changed (g/b.PK3)\n"
                     "maps/Slash.bsp: 1 records changed (g/b.PK3)\n"
                     "maps/x.bsp: 1 records changed (g)\n"
                     "maps/dir.aas: map checksum updated\n"
                     "maps/SLASH.AAS: map checksum updated\n"
                     "writing 6 maps and 2 bot files into mod/zz.pk3\n"
                     "mod/zz.pk3: 6 maps and 2 bot files, " + std::to_string(size) + " bytes; 0 maps unchanged\n");
    const auto bot_of = [&](std::uint32_t version, std::size_t n) {
        return bot_file(version, map_checksum(reinterpret_cast<const unsigned char *>(edited(n).data()), edited(n).size()));
    };
    EXPECT_EQ(read_archive(dir / "mod/zz.pk3"),
              (std::vector<std::pair<std::string, std::string>>{{"MAPS/RT5Case.BSP", edited(3)},
                                                                {"maps/SLASH.AAS", bot_of(5, 4)},
                                                                {"maps/Slash.bsp", edited(4)},
                                                                {"maps/dir.aas", bot_of(4, 5)},
                                                                {"maps/dir.bsp", edited(5)},
                                                                {"maps/nul.bsp", edited(2)},
                                                                {"maps/order.bsp", edited(7)},
                                                                {"maps/x.bsp", edited(8)}}));
    // Among the folder's archives the override cannot beat its loose map.
    const run_result beside = run_tool(dir, {"g", "mod.txt", "g/zz.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(beside.status, 1);
    EXPECT_EQ(beside.err, "Error: Refusing to write g/zz.pk3: the game would load it before g, whose maps/x.bsp it must "
                          "override; a game folder's own files beat every archive in it, so write it into a folder the "
                          "game loads later\n");
    // A FIFO is refused at once, and every archive is read however few
    // descriptors the process may open.
    ASSERT_EQ(mkfifo((dir / "fifo.pk3").c_str(), 0600), 0);
    run_options deadline = program("lumpsmith-pk3");
    deadline.deadline = 30;
    const run_result fifo = run_tool(dir, {"fifo.pk3", "mod.txt", "out.pk3"}, deadline);
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.err, "Error: Cannot read fifo.pk3: not a regular file\n");
    std::filesystem::create_directories(dir / "many");
    for (int n = 0; n < 40; ++n)
        ASSERT_TRUE(write_archive(dir / ("many/p" + std::to_string(n) + ".pk3"),
                                  {{"maps/m" + std::to_string(n) + ".bsp", text_of(maps[0])}}));
    EXPECT_EQ(run_shell("cd '" + dir.path + "' && ulimit -n 24 && " LUMPSMITH_BUILD_DIR "/lumpsmith-pk3 many mod.txt "
                        "many.pk3 >/dev/null 2>many.err"), 0);
    EXPECT_EQ(text_of(read_bytes(dir / "many.err")), "");
}

// A large map goes into the override spliced into its own deflate stream,
// a stored one deflated whole: each inflates to the edited map.
TEST(Pk3, PacksLargeAndStoredMapsAsTheirEditedBytes)
{
    temp_dir dir;
    bytes large = build_map(build_lump(RECORDS), AT);
    // Bytes deflate cannot shorten make many blocks, and so boundaries to splice at.
    for (std::uint32_t state = 1; large.size() < 300000;)
        large.push_back(static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24));
    const bytes small = build_map(build_lump(RECORDS), AT, 5);
    archive_file stored{"maps/stored.bsp", text_of(small)};
    stored.stored = true;
    ASSERT_TRUE(write_archive(dir / "a.pk3", {{"maps/large.bsp", text_of(large)}, stored}));
    ASSERT_TRUE(write_text(dir / "mod.txt", "textures/a/wall = rock\n"));
    const run_result r = run_tool(dir, {"a.pk3", "mod.txt", "out.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(r.status, 0) << r.err;
    const auto edited = [](const bytes &map) {
        return text_of(with_flags(with_flags(map, AT, 0, set_surface_index(0x123, 9)), AT, 2, set_surface_index(0x84, 9)));
    };
    const auto packed = read_archive(dir / "out.pk3");
    ASSERT_EQ(packed.size(), 2u);
    EXPECT_EQ(packed[0].first, "maps/large.bsp");
    EXPECT_TRUE(packed[0].second == edited(large));
    EXPECT_EQ(packed[1], std::make_pair(std::string("maps/stored.bsp"), edited(small)));
}

// What would not make the mod as meant is refused with nothing written.
TEST(Pk3, RefusesAModThatWouldNotBeWhatItSays)
{
    const std::string prefix = "Error: Refusing to write ";
    struct refusal {
        std::vector<std::string> args;
        std::vector<archive_file> bad;  // written as base/pak2.pk3 when not empty
        std::string surfaces, err;
        bool damaged = false;  // the last entry of pak2.pk3's list of files made unreadable
    };
    const std::vector<refusal> refusals = {
        {{"base", "mod.txt", "base/pak0.pk3"}, {}, "", prefix + "base/pak0.pk3: it exists\n"},
        {{"base", "mod.txt", "out.pk3"}, {}, "textures/a/wall = rock\r\ntextures/a/floor = Grass\n",
         "Error: Unknown surface \"rock\\r\"\nError: Unknown surface \"Grass\"\n" + prefix +
             "out.pk3: the surface file has errors (above), so the mod would not be what it says\n"},
        {{"base", "mod.txt", "base/pak-mod.pk3"}, {}, "",
         prefix + "base/pak-mod.pk3: the game would load it before base/pak1.pk3, whose maps/*.bsp it must override; "
                  "give it a name that sorts after (a..z count as A..Z, so _ comes after every letter)\n"},
        {{"base", "mod", "mod.txt", "base/zz_z.pk3"}, {}, "",
         prefix + "base/zz_z.pk3: the game would load it before mod/-mod.pk3, whose maps/a.aas it must override\n"},
        {{"base/pak0.pk3", "mod.txt", "base/zz.pk3"}, {}, "",
         prefix + "base/zz.pk3: the game loads maps/b.bsp from base/pak1.pk3, not from base/pak0.pk3, whose copy the "
                  "archive would hold; give the folder base as the source\n"},
        {{"base", "mod.txt", "base/zz-surfaces.zip"}, {}, "",
         prefix + "base/zz-surfaces.zip: the game loads only .pk3 archives from base, so it would never read it; give it a "
                  "name that ends in .pk3\n"},
        {{"base", "mod.txt", "out.pk3"}, {{"maps/a.bsp", "1"}, {"MAPS\\A.bsp", "2"}}, "",
         "Error: Cannot read MAPS/A.bsp in base/pak2.pk3: the archive holds two files of that name, as the game compares "
         "names (case folded, \\ as /)\n"},
        {{"base", "mod.txt", "out.pk3"}, {{"maps/a.bsp", "secret", true}}, "",
         "Error: Cannot read maps/a.bsp in base/pak2.pk3: it is encrypted\n"},
        {{"base", "mod.txt", "out.pk3"}, {{"maps/a.bsp", "", false, true}}, "",
         "Error: Cannot read maps/a.bsp in base/pak2.pk3: its CRC is not the one the archive says\n"},
        {{"base", "mod.txt", "out.pk3"}, {{"maps/a.bsp", "1"}, {"maps/a.aas", "2"}}, "",
         "Error: Cannot read base/pak2.pk3: its list of files is damaged\n", true},
    };
    for (const refusal &c : refusals) {
        SCOPED_TRACE(c.err);
        game_dirs g;
        std::vector<archive_file> bad = c.bad;
        if (!bad.empty() && bad[0].wrong_crc)
            bad[0].data = text_of(g.a);  // a map that changes, so that it is read whole
        if (!bad.empty()) {
            ASSERT_TRUE(write_archive(g.dir / "base/pak2.pk3", bad));
        }
        if (c.damaged) {
            std::string archive = text_of(read_bytes(g.dir / "base/pak2.pk3"));
            archive[archive.rfind("PK\1\2") + 2] = 9;
            ASSERT_TRUE(write_text(g.dir / "base/pak2.pk3", archive));
        }
        if (!c.surfaces.empty()) {
            ASSERT_TRUE(write_text(g.dir / "mod.txt", c.surfaces));
        }
        const auto before = std::filesystem::exists(g.dir / c.args.back()) ? read_bytes(g.dir / c.args.back()) : bytes();
        const run_result r = run_tool(g.dir, c.args, program("lumpsmith-pk3"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(std::filesystem::exists(g.dir / c.args.back()) ? read_bytes(g.dir / c.args.back()) : bytes(), before);
    }
}

// Regression: a full disk shipped a cut-off map with exit status 0.
TEST(Pk3, AnArchiveThatCannotBeWrittenWholeIsNotMade)
{
    game_dirs g;
    run_options limited = program("lumpsmith-pk3");
    limited.file_size = 600;
    const run_result r = run_tool(g.dir, {"base", "mod.txt", "out.pk3"}, limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Cannot write out.pk3: the archive could not be written: File too large\n");
    EXPECT_FALSE(std::filesystem::exists(g.dir / "out.pk3"));
}

TEST(Pk3, NoChangedMapMakesNoArchive)
{
    game_dirs g;
    ASSERT_TRUE(write_text(g.dir / "none.txt", "textures/a/floor = grass\ntextures/nowhere = rock\n"));
    const run_result r = run_tool(g.dir, {"base/pak0.pk3", "none.txt", "out.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "reading the game's maps, and packing those that change\n"
                     "lumpsmith-pk3: no map changed; out.pk3 not made\n");
    EXPECT_FALSE(std::filesystem::exists(g.dir / "out.pk3"));
}

}  // namespace
