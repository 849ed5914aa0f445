// lumpsmith-rules end to end, run from the build folder on files made here.
#include <gtest/gtest.h>

#include "companion_support.h"

namespace {

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

}  // namespace
