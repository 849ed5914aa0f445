// lumpsmith-check end to end, run from the build folder on files made here,
// and the companions within a memory limit.
#include <gtest/gtest.h>

#include <unistd.h>

#include "bsp/bsp_lump.h"

#include "companion_support.h"

namespace {

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
