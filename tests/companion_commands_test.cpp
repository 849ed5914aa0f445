// The companion commands end to end: lumpsmith-preview, lumpsmith-check and
// lumpsmith-pk3, run from the build folder on files made here.
#include <gtest/gtest.h>

#include <filesystem>

#include "bsp/bsp_lump.h"
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
    const run_result usage = run_tool(dir, {"map.bsp"}, program("lumpsmith-preview"));
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.out, "");
}

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
                                                std::string(130, 'n') + " = tin\n"));
    const run_result r = run_tool(dir, {"mod.txt", "map.bsp", "missing.bsp"}, program("lumpsmith-check"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Error: Cannot open missing.bsp\n");
    EXPECT_EQ(r.out,
              "mod.txt:1: the file starts with a UTF-8 byte-order mark, so its first texture name matches nothing; "
              "remove it: sed -i '1s/^\\xEF\\xBB\\xBF//' mod.txt\n"
              "mod.txt:2: 1 line(s) end in CR LF (Windows line ends), so their surface names are unknown; convert "
              "them: sed -i 's/\\r$//' mod.txt\n"
              "mod.txt:2: unknown surface \"grass\\r\" (did you mean \"grass\"?)\n"
              "mod.txt:3: unknown surface \"Rock\" (did you mean \"rock\"?)\n"
              "mod.txt:5: \"textures/a/water\" was given \"mud\" on line 4; the last line for it wins: \"dirt\" on line 5\n"
              "mod.txt:6: no given map has a texture named \"textures/a/walll\"\n"
              "mod.txt:7: the line is 136 bytes long; the import reads it in pieces of 127 bytes, each as a line\n"
              "mod.txt:7: no given map has a texture named \"" + std::string(130, 'n') + "\"\n"
              "map.bsp: 1 records would change\n");
    // Without the map that cannot be read, findings alone give status 1.
    EXPECT_EQ(run_tool(dir, {"mod.txt", "map.bsp"}, program("lumpsmith-check")).status, 1);
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

// An archive of three maps, one the surface file changes, one it leaves as
// it is and one it names nowhere, and a texture file: only the changed map
// goes into the override archive, as an import would leave it.
TEST(Pk3, PacksExactlyTheChangedMapsAndNeverTouchesTheArchive)
{
    if (run_shell("command -v zip && command -v unzip") != 0)
        GTEST_SKIP() << "lumpsmith-pk3 needs zip and unzip";
    temp_dir dir;
    const std::string pack = dir / "pack";
    std::filesystem::create_directories(pack + "/maps");
    std::filesystem::create_directories(pack + "/textures");
    const bytes changed = build_map(build_lump(RECORDS), AT);
    ASSERT_TRUE(write_bytes(pack + "/maps/a.bsp", changed));
    ASSERT_TRUE(write_bytes(pack + "/maps/b.bsp", build_map(build_lump({RECORDS[3]}), AT)));
    ASSERT_TRUE(write_bytes(pack + "/maps/c.bsp", build_map(build_lump({{"textures/other", 0, 1}}), AT)));
    ASSERT_TRUE(write_bytes(pack + "/textures/t.tga", bytes{'t'}));
    ASSERT_EQ(run_shell("cd '" + pack + "' && zip -q -X -r ../base.pk3 maps textures"), 0);
    ASSERT_TRUE(write_text(dir / "mod.txt", "textures/a/wall = rock\ntextures/a/floor = grass\ntextures/a/sky = Rock\n"));
    const bytes archive = read_bytes(dir / "base.pk3");
    const run_result r = run_tool(dir, {"base.pk3", "mod.txt", "zz-mod.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "maps/a.bsp: 2 records changed\nmaps/b.bsp: 0 records changed\nmaps/c.bsp: 0 records changed\n");
    EXPECT_EQ(r.err, "Error: Unknown surface \"Rock\"\n");  // once, though three maps were imported
    EXPECT_EQ(read_bytes(dir / "base.pk3"), archive);
    ASSERT_EQ(run_shell("cd '" + dir.path + "' && mkdir out && cd out && unzip -q ../zz-mod.pk3"), 0);
    EXPECT_EQ(std::filesystem::exists(dir / "out/maps/b.bsp") || std::filesystem::exists(dir / "out/textures"), false);
    EXPECT_EQ(read_bytes(dir / "out/maps/a.bsp"),
              with_flags(with_flags(changed, AT, 0, set_surface_index(0x123, 9)), AT, 2, set_surface_index(0x84, 9)));
    // The same inputs give the same bytes.
    EXPECT_EQ(run_tool(dir, {"base.pk3", "mod.txt", "zz-mod2.pk3"}, program("lumpsmith-pk3")).status, 0);
    EXPECT_EQ(read_bytes(dir / "zz-mod2.pk3"), read_bytes(dir / "zz-mod.pk3"));

    // Refused: an output that exists, one that would not override the
    // archive, the archive itself. Nothing to change makes no archive.
    const bytes made = read_bytes(dir / "zz-mod.pk3");
    for (const auto &[output, why] : std::vector<std::pair<std::string, std::string>>{
             {"zz-mod.pk3", "it exists"},
             {"a-mod.pk3", "its name does not sort after base.pk3, so it would not override it"},
             {"base.pk3", "it exists"}}) {
        const run_result refused = run_tool(dir, {"base.pk3", "mod.txt", output}, program("lumpsmith-pk3"));
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, "Error: Refusing to write " + output + ": " + why + "\n");
    }
    EXPECT_EQ(read_bytes(dir / "zz-mod.pk3"), made);
    EXPECT_EQ(read_bytes(dir / "base.pk3"), archive);
    EXPECT_FALSE(std::filesystem::exists(dir / "a-mod.pk3"));
    ASSERT_TRUE(write_text(dir / "none.txt", "textures/a/floor = grass\n"));
    const run_result nothing = run_tool(dir, {"base.pk3", "none.txt", "zz-none.pk3"}, program("lumpsmith-pk3"));
    EXPECT_EQ(nothing.status, 0);
    EXPECT_NE(nothing.out.find("no map changed; zz-none.pk3 not made\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "zz-none.pk3"));
}

}  // namespace
