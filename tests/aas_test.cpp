// lumpsmith-aas end to end, run from the build folder on files made here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "companion_support.h"

namespace {

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

}  // namespace
