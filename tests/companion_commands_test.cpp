// The companion commands end to end: lumpsmith-preview, lumpsmith-check and
// lumpsmith-pk3, run from the build folder on files made here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "bsp/bsp_lump.h"
#include "game/bot_file.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

run_options program(const std::string &name)
{
    run_options options;
    options.program = name;
    return options;
}

const std::vector<map_record> RECORDS = {
    {"textures/a/wall", set_surface_index(0x123, 5), 0x1},
    {"textures/a/sky", set_surface_index(0x4, 9), 0x1},     // the export leaves it out
    {"textures/a/wall", set_surface_index(0x84, 40), 0x1},  // shares a name, unknown (028)
    {"textures/a/floor", set_surface_index(0, 14), 0x1},     // already grass
    {"textures/a/water", set_surface_index(0, 30), 0x20},    // not solid
};
constexpr std::uint32_t AT = 400;

TEST(Preview, ShowsWhatTheImportWouldChangeAndTheImportDoesExactlyThat)
{
    temp_dir dir;
    const bytes map = build_map(build_lump(RECORDS, 3), AT, 10);
    ASSERT_TRUE(write_bytes(dir / "map.bsp", map));
    ASSERT_TRUE(write_text(dir / "edit.txt", "textures/a/wall = rock\ntextures/a/sky = none\ntextures/a/floor = grass\n"
                                             "textures/a/water = mud\ntextures/a/floor = Grass\ntextures/none = tin\n"));
    const run_result shown = run_tool(dir, {"map.bsp", "edit.txt"}, program("lumpsmith-preview"));
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, "textures/a/wall: steel -> rock\n"
                         "textures/a/sky: rock -> none\n"
                         "textures/a/wall: unknown (028) -> rock\n"
                         "textures/a/water: water -> mud\n");
    EXPECT_EQ(shown.err, "Error: Unknown surface \"Grass\"\n");
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
    const run_result imported = run_tool(dir, {"-si", "map.bsp", "edit.txt"});
    EXPECT_EQ(imported.err, shown.err);
    bytes expected = with_flags(map, AT, 0, set_surface_index(0x123, 9));
    expected = with_flags(expected, AT, 1, set_surface_index(0x4, 0));
    expected = with_flags(expected, AT, 2, set_surface_index(0x84, 9));
    EXPECT_EQ(read_bytes(dir / "map.bsp"), with_flags(expected, AT, 4, set_surface_index(0, 16)));
    EXPECT_EQ(run_tool(dir, {"map.bsp", "edit.txt"}, program("lumpsmith-preview")).out, "");
}

TEST(Preview, FilesThatCannotBeReadAreErrorLines)
{
    temp_dir dir;
    ASSERT_TRUE(write_bytes(dir / "map.bsp", build_map(build_lump(RECORDS), AT)));
    const run_result missing = run_tool(dir, {"map.bsp", "missing.txt"}, program("lumpsmith-preview"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: Cannot open missing.txt\n");
    ASSERT_TRUE(write_text(dir / "cut.bsp", "IBSP"));
    const run_result cut = run_tool(dir, {"cut.bsp", "map.bsp"}, program("lumpsmith-preview"));
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "Error: Cannot read cut.bsp: file is shorter than the 144-byte header\n");
    // The arguments swapped, as lumpsmith -si takes them: the Error line says which comes first.
    ASSERT_TRUE(write_text(dir / "edit.txt", "textures/a/wall = rock\n"));
    const std::string swapped = "Error: Cannot read edit.txt: file is shorter than the 144-byte header; it looks like "
                                "a surface file, not a map: the map comes first\n";
    EXPECT_EQ(run_tool(dir, {"edit.txt", "map.bsp"}, program("lumpsmith-preview")).err, swapped);
    EXPECT_EQ(run_tool(dir, {"-si", "edit.txt", "map.bsp"}).err, swapped);
    EXPECT_EQ(run_tool(dir, {"-tl", "edit.txt"}).err, "Error: Cannot read edit.txt: file is shorter than the 144-byte header\n");
    const run_result usage = run_tool(dir, {"map.bsp"}, program("lumpsmith-preview"));
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.out, "");
}

// Every finding on the lines the import acts on, what would stop the
// import doing what was meant first, then notes; one cause, one finding.
TEST(Check, SaysWhereEachFaultIsAndExits1)
{
    temp_dir dir;
    ASSERT_TRUE(write_bytes(dir / "map.bsp", build_map(build_lump(RECORDS), AT)));
    ASSERT_TRUE(write_text(dir / "mod.txt", "\xEF\xBB\xBFtextures/a/wall = steel\n"
                                            "textures/a/floor = grass\r\n"
                                            "textures/a/sky = Rock\n"
                                            "textures/a/water = mud\n"
                                            "textures/a/water = dirt\n"
                                            "textures/a/walll = rock\n" +
                                                std::string(130, 'n') + " = tin\n"
                                            "textures/a/floor=grass\n"
                                            "textures/a/floor\t= grass\n"
                                            "textures/a/floor == mud\n"
                                            "notes = are fine, and so is = in free text\n"
                                            "\xEF\xBB\xBFtextures/a/sky = none\n"
                                            "Textures/A/Wall = rock\n"));
    const run_result r = run_tool(dir, {"mod.txt", "map.bsp", "missing.bsp"}, program("lumpsmith-check"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Error: Cannot open missing.bsp\n");
    const std::string mark = "the line starts with a UTF-8 byte-order mark, so its texture name matches nothing; "
                             "remove every one: sed -i 's/^\\xEF\\xBB\\xBF//' mod.txt\n";
    const std::string skipped = "the import skips this line: no ' = ' between the texture and the surface";
    EXPECT_EQ(r.out,
              "mod.txt:1: " + mark +
              "mod.txt:2: 1 line(s) end in CR LF (Windows line ends), so their surface names are unknown; convert "
              "them: sed -i 's/\\r$//' mod.txt\n"
              "mod.txt:3: unknown surface \"Rock\" (did you mean \"rock\"?)\n"
              "mod.txt:5: \"textures/a/water\" was given \"mud\" on line 4; the last line for it wins: \"dirt\" on line 5\n"
              "mod.txt:7: the line is 136 bytes long; the import reads it in pieces of 127 bytes, each as a line\n"
              "mod.txt:8: " + skipped + "; mended, it reads: \"textures/a/floor = grass\"\n"
              "mod.txt:9: " + skipped + "; mended, it reads: \"textures/a/floor = grass\"\n"
              "mod.txt:10: " + skipped + "; mended, it reads: \"textures/a/floor = mud\"\n"
              "mod.txt:11: unknown surface \"are fine, and so is = in free text\"\n"
              "mod.txt:12: " + mark +
              "mod.txt:13: no given map has a texture named \"Textures/A/Wall\" (did you mean \"textures/a/wall\"?)\n"
              "mod.txt:6: no given map has a texture named \"textures/a/walll\"\n"
              "mod.txt:7: no given map has a texture named \"nnn\"\n"
              "mod.txt:11: no given map has a texture named \"notes\"\n"
              "map.bsp: 1 records would change\n");
    // Without the map that cannot be read, findings alone give status 1.
    EXPECT_EQ(run_tool(dir, {"mod.txt", "map.bsp"}, program("lumpsmith-check")).status, 1);
    // More than ten notes of one kind are one line, but a name in another
    // case stays a finding of its own; fix commands quote the path.
    std::string many;
    for (int n = 0; n < 12; ++n)
        many += "textures/none" + std::to_string(n) + " = rock\n";
    ASSERT_TRUE(write_text(dir / "many b;x.txt", many + "Textures/A/Wall = rock\r\n"));
    EXPECT_EQ(run_tool(dir, {"many b;x.txt", "map.bsp"}, program("lumpsmith-check")).out,
              "many b;x.txt:13: 1 line(s) end in CR LF (Windows line ends), so their surface names are unknown; convert "
              "them: sed -i 's/\\r$//' 'many b;x.txt'\n"
              "many b;x.txt:13: no given map has a texture named \"Textures/A/Wall\" (did you mean \"textures/a/wall\"?)\n"
              "many b;x.txt:1: 12 texture names that no given map has, on lines 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 and 2 more\n"
              "map.bsp: 0 records would change\n");
    // Regression: the arguments swapped gave 1,723 lines, among them advice to edit the map.
    const run_result swapped = run_tool(dir, {"map.bsp", "mod.txt"}, program("lumpsmith-check"));
    EXPECT_EQ(swapped.status, 2);
    EXPECT_EQ(swapped.out, "");
    EXPECT_EQ(swapped.err, "Error: Cannot read map.bsp: it holds NUL bytes, so it looks like a map, not a surface "
                           "file; the surface file comes first\n");
}

TEST(Check, AFileWithNothingWrongGivesOnlyTheSummary)
{
    temp_dir dir;
    ASSERT_TRUE(write_bytes(dir / "map.bsp", build_map(build_lump(RECORDS), AT)));
    ASSERT_TRUE(write_text(dir / "mod.txt", "textures/a/wall = rock\nnotes are fine\ntextures/a/floor = grass\n"));
    const run_result r = run_tool(dir, {"mod.txt", "map.bsp"}, program("lumpsmith-check"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "map.bsp: 2 records would change\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run_tool(dir, {"mod.txt"}, program("lumpsmith-check")).status, 0);
}

// A bot file of the version given, recording checksum, with a body after its header.
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
    game_dirs()
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
};

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

// Rules over a loose map and the game's folders, * crossing /: the first
// matching rule wins, names the export leaves out are named too, and what comes out is a
// surface file the check accepts over the same sources.
TEST(Rules, WriteTheSurfaceFileTheirFirstMatchesGive)
{
    game_dirs g;
    ASSERT_TRUE(write_bytes(g.dir / "loose.bsp", build_map(build_lump({{"textures/b/wall_x", 0, 1}}), AT)));
    ASSERT_TRUE(write_text(g.dir / "mod.rules", "# walls first\n"
                                               "textures/*wall* = rock\n"
                                               "\n"
                                               "textures/a/*a* = Water\n"
                                               "textures/a/* = glass\n"
                                               "textures/a/w* = mud\n"
                                               "textures/z/* = tin\n"
                                               "no rule here\n"));
    const run_result r = run_tool(g.dir, {"mod.rules", "loose.bsp", "base", "mod"}, program("lumpsmith-rules"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "textures/a/floor = glass\n"
                     "textures/a/sky = glass\n"
                     "textures/a/wall = rock\n"
                     "textures/a/water = glass\n"
                     "textures/b/wall_x = rock\n");
    EXPECT_EQ(r.err, "mod.rules:4: unknown surface \"Water\" (did you mean \"water\"?)\n"
                     "mod.rules:6: the rule never wins: earlier rules match every name it matches\n"
                     "mod.rules:7: the rule matches no texture name in the maps\n"
                     "mod.rules:8: not a rule: no ' = ' between the pattern and the surface\n");
    ASSERT_TRUE(write_text(g.dir / "made.txt", r.out));
    const run_result checked = run_tool(g.dir, {"made.txt", "loose.bsp", "base", "mod"}, program("lumpsmith-check"));
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_EQ(checked.out, "loose.bsp: 1 records would change\n"
                           "maps/*.bsp in base/pak1.pk3: 1 records would change\n"
                           "maps/a.bsp in base/pak0.pk3: 5 records would change\n"
                           "maps/b.bsp in base/pak1.pk3: 2 records would change\n"
                           "maps/c.bsp in base/pak0.pk3: 0 records would change\n"
                           "maps/x.bsp in base/zz_a.pk3: 1 records would change\n");
}

TEST(Aas, SetsTheBotFileBesideEachMapToItsChecksum)
{
    temp_dir dir;
    const bytes map = build_map(build_lump(RECORDS), AT);
    for (const char *name : {"a", "b", "foreign"})
        ASSERT_TRUE(write_bytes(dir / (std::string(name) + ".bsp"), map));
    ASSERT_TRUE(write_text(dir / "a.aas", bot_file(5, 7)));
    ASSERT_TRUE(write_text(dir / "foreign.aas", "IBSP and more"));
    const run_result r = run_tool(dir, {"a.bsp", "b.bsp", "foreign.bsp"}, program("lumpsmith-aas"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.bsp: bot file updated\n");
    EXPECT_EQ(r.err, "Error: Cannot open b.aas: No such file or directory\n"
                     "Error: Cannot read foreign.aas: it is not a bot file (no EAAS header of version 4 or 5)\n");
    EXPECT_EQ(text_of(read_bytes(dir / "a.aas")), bot_file(5, checksum_of(map)));
    EXPECT_EQ(text_of(read_bytes(dir / "foreign.aas")), "IBSP and more");
    const run_result again = run_tool(dir, {"a.bsp"}, program("lumpsmith-aas"));
    EXPECT_EQ(again.out, "a.bsp: bot file already up to date\n");
    // Held up by an import, it says so, and takes the map as the import left it.
    const int import = open((dir / "a.bsp").c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(import, F_OFD_SETLK, &lock), 0);
    const started_tool waiting = start_tool(dir, {"a.bsp"}, program("lumpsmith-aas"));
    EXPECT_TRUE(says_on_stderr(waiting, "lumpsmith-aas: waiting for a.bsp, which another program has locked\n"));
    const bytes imported = with_flags(map, AT, 1, 0);
    ASSERT_EQ(pwrite(import, imported.data(), imported.size(), 0), static_cast<ssize_t>(imported.size()));
    close(import);
    EXPECT_EQ(finish_tool(waiting).out, "a.bsp: bot file updated\n");
    EXPECT_EQ(text_of(read_bytes(dir / "a.aas")), bot_file(5, checksum_of(imported)));
    // The check says so when a map changes under its bot file, with a fix
    // command that pastes back as one path; a FIFO beside a map is not read.
    ASSERT_TRUE(write_text(dir / "none.txt", ""));
    ASSERT_TRUE(write_bytes(dir / "a b.bsp", map));
    ASSERT_TRUE(write_text(dir / "a b.aas", bot_file(5, 7)));
    ASSERT_EQ(mkfifo((dir / "b.aas").c_str(), 0600), 0);
    run_options check = program("lumpsmith-check");
    check.deadline = 30;
    const run_result checked = run_tool(dir, {"none.txt", "a b.bsp", "b.bsp"}, check);
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.out, "a b.bsp: the bot file a b.aas was made for another version of this map, so bots will not "
                           "play on it; update it: lumpsmith-aas 'a b.bsp'\na b.bsp: 0 records would change\n"
                           "b.bsp: 0 records would change\n");
}

// A size an archive claims is never allocated before its bytes are there,
// and a map larger than the memory a process may have is read a piece at a
// time: an entry claiming 4 GiB and a sparse map of 320 MiB, under a 256 MiB
// address-space limit.
TEST(Companions, StayWithinMemoryWhateverAFileClaims)
{
    temp_dir dir;
    run_options limited;
    limited.address_space = 256ul << 20;
    if (run_tool(dir, {"-sl"}, limited).status != 0)
        GTEST_SKIP() << "this build cannot start under a 256 MiB address-space limit (sanitizers)";
    ASSERT_TRUE(write_archive(dir / "lie.pk3", {{"maps/a.bsp", text_of(build_map_claiming(build_lump(RECORDS), AT, 0xF0000000u))}}));
    std::string archive = text_of(read_bytes(dir / "lie.pk3"));
    store_u32le(reinterpret_cast<unsigned char *>(&archive[archive.find("PK\3\4") + 22]), 0xFFFFFFFEu);
    store_u32le(reinterpret_cast<unsigned char *>(&archive[archive.find("PK\1\2") + 24]), 0xFFFFFFFEu);
    ASSERT_TRUE(write_text(dir / "lie.pk3", archive));
    ASSERT_TRUE(write_text(dir / "mod.txt", "textures/a/wall = rock\n"));
    const std::string lie = "Error: Cannot read maps/a.bsp in lie.pk3: it inflates to fewer than the 4294967294 bytes the "
                            "archive says\n";
    limited.program = "lumpsmith-pk3";
    EXPECT_EQ(run_tool(dir, {"lie.pk3", "mod.txt", "out.pk3"}, limited).err, lie);
    ASSERT_TRUE(write_bytes(dir / "big.bsp", build_map(build_lump(RECORDS), AT)));
    ASSERT_EQ(truncate((dir / "big.bsp").c_str(), 320l << 20), 0);
    ASSERT_TRUE(write_text(dir / "big.aas", bot_file(5, 7)));
    limited.program = "lumpsmith-check";
    const run_result checked = run_tool(dir, {"mod.txt", "lie.pk3", "big.bsp"}, limited);
    EXPECT_EQ(checked.status, 2);
    EXPECT_EQ(checked.err, lie);
    EXPECT_EQ(checked.out, "big.bsp: the bot file big.aas was made for another version of this map, so bots will not "
                           "play on it; update it: lumpsmith-aas big.bsp\nbig.bsp: 2 records would change\n");
    limited.program = "lumpsmith-aas";
    EXPECT_EQ(run_tool(dir, {"big.bsp"}, limited).out, "big.bsp: bot file updated\n");
    limited.program = "lumpsmith-check";
    EXPECT_EQ(run_tool(dir, {"mod.txt", "big.bsp"}, limited).out, "big.bsp: 2 records would change\n");
}

}  // namespace
