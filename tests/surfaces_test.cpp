#include <gtest/gtest.h>

#include <algorithm>

#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

TEST(SurfaceIndexOf, OnlyWholeCaseSensitiveNamesAreKnown)
{
    for (const char *name : {"", "Grass", "grass ", " grass", "grass\r", "gras", "grassy", "GRASS", "none\n"})
        EXPECT_EQ(surface_index_of(name), -1) << '"' << name << '"';
}

TEST(SurfaceNameOf, NamesTheTopTwelveBitsWhateverTheLowBitsHold)
{
    EXPECT_STREQ(surface_name_of(0x00000000), "none");
    EXPECT_STREQ(surface_name_of(0x000FFFFF), "none");
    EXPECT_STREQ(surface_name_of(0x01FFFFFF), "stucco");
    EXPECT_STREQ(surface_name_of(0x02000000), "unknown (020)");
    EXPECT_STREQ(surface_name_of(0x02800084), "unknown (028)");
    EXPECT_STREQ(surface_name_of(0x10000000), "unknown (100)");
    EXPECT_STREQ(surface_name_of(0xFFFFFFFF), "unknown (fff)");
}

TEST(SurfaceNameOf, UnknownTextsNeverReadBackAsKnown)
{
    for (std::uint32_t index = SURFACE_COUNT; index <= 0xFFF; ++index) {
        const std::string text = surface_name_of(index << SURFACE_SHIFT);
        ASSERT_EQ(text.size(), UNKNOWN_BUFFER_SIZE - 1) << text;
        ASSERT_EQ(surface_index_of(text.c_str()), -1) << text;
    }
}

TEST(SetSurfaceIndex, ReplacesBits20To31AndKeepsTheRest)
{
    EXPECT_EQ(set_surface_index(0xFFFFFFFF, 5), 0x005FFFFFu);
    EXPECT_EQ(set_surface_index(0xFFFFFFFF, 0), 0x000FFFFFu);
    EXPECT_EQ(set_surface_index(0xFFF12345, 31), 0x01F12345u);
    EXPECT_EQ(set_surface_index(0x00000000, 31), 0x01F00000u);
    EXPECT_EQ(set_surface_index(0x02800084, 14), 0x00E00084u);
}

// The names in their fixed order, written out here rather than taken from
// the table, so that a table reordered or renamed fails.
TEST(ListSurfaces, PrintsHeadingBlankLineAndThirtyTwoNamesInTheirFixedOrder)
{
    const char *const names[] = {
        "none", "tin", "aluminum", "iron", "titanium", "steel", "copper", "brass", "cement", "rock", "gravel",
        "pavement", "brick", "clay", "grass", "dirt", "mud", "snow", "ice", "sand", "ceramictile", "linoleum",
        "rug", "plaster", "plastic", "cardboard", "hardwood", "softwood", "plank", "glass", "water", "stucco"};
    std::string expected = "Surfaces:\n\n";
    for (std::size_t i = 0; i < SURFACE_COUNT; ++i) {
        expected += std::string("  * ") + names[i] + "\n";
        EXPECT_EQ(surface_index_of(names[i]), static_cast<int>(i));
    }
    std::FILE *out = std::tmpfile();
    EXPECT_EQ(list_surfaces(out), 0);
    EXPECT_EQ(text_of(out), expected);
    std::fclose(out);
}

TEST(ListSurfaces, RunsFromTheCommandLine)
{
    temp_dir dir;
    const run_result r = run_tool(dir, {"-sl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 34);
    EXPECT_EQ(r.out.substr(0, 22), "Surfaces:\n\n  * none\n  ");
    EXPECT_EQ(r.out.substr(r.out.size() - 11), "  * stucco\n");
}

}  // namespace
