// lumpsmith-preview end to end, run from the build folder on files made here.
#include <gtest/gtest.h>

#include "companion_support.h"

namespace {

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

}  // namespace
