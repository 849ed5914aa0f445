#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "bsp/file_io.h"
#include "bsp/map_file.h"
#include "test_support.h"

namespace {

const std::vector<map_record> TWO_RECORDS = {
    {"textures/base/floor_metal", 0x00500000, 0x1},
    {"textures/outdoor/sky_dusk", 0x00000004, 0x1},
};

failure_status load(const bytes &map, map_reading *reading)
{
    std::FILE *f = stream_of(map);
    const failure result = read_map(named_file{f, "map.bsp"}, reading);
    std::fclose(f);
    return result.status;
}

// Writes map to path, opens it with mode and reads it into *read.
named_file write_and_read(const std::string &path, const bytes &map, const char *mode, map_reading *read)
{
    EXPECT_TRUE(write_bytes(path, map));
    const named_file file{std::fopen(path.c_str(), mode), path.c_str()};
    EXPECT_EQ(read_map(file, read).status, NO_FAILURE);
    return file;
}

TEST(ReadMap, ReadsLumpAtItsOffsetWithRecordFields)
{
    const bytes lump = build_lump(TWO_RECORDS);
    map_reading read;
    ASSERT_EQ(load(build_map(lump, 300, 10), &read), NO_FAILURE);
    EXPECT_EQ(read.header.lump_offset, 300u);
    EXPECT_EQ(read.header.lump_length, 144u);
    ASSERT_EQ(read.lump.record_count, 2u);
    EXPECT_EQ(bytes_of(read.lump), lump);
    EXPECT_EQ(name_of_record(read.lump, 1), "textures/outdoor/sky_dusk");
    EXPECT_EQ(surface_flags_of_record(read.lump, 0), 0x00500000u);
    EXPECT_EQ(content_flags_of_record(read.lump, 1), 0x1u);
}

TEST(ReadMap, EveryTruncationIsRefusedWithTheRightReason)
{
    // The lump runs to the very end, so every shorter file loses part of it.
    const bytes map = build_map(build_lump(TWO_RECORDS, 5), 200);
    for (std::size_t length = 0; length < map.size(); ++length) {
        map_reading read;
        const failure_status status = load(bytes(map.begin(), map.begin() + length), &read);
        EXPECT_EQ(status, length < HEADER_SIZE ? MAP_SHORT_HEADER : MAP_OUTSIDE_FILE) << "length " << length;
        EXPECT_EQ(read.lump.size, 0u);
    }
}

TEST(ReadMap, LumpsReachingPastTheEndAreRefusedBeforeAllocating)
{
    const bytes lump = build_lump(TWO_RECORDS);
    struct {
        std::uint32_t offset, length;
    } const bad[] = {
        {300, 145},                  // one byte too long
        {301, 144},                  // one byte too late
        {100000, 0},                 // empty, but starting past the end
        {0xFFFFFFFF, 0xFFFFFFFF},    // would wrap around in 32 bits
        {0xFFFFFF00, 0x200},         // so would this
        {300, 0xFFFFFFFF},           // a 4 GiB lump in a small file
    };
    for (const auto &b : bad) {
        map_reading read;
        bytes map = build_map(lump, 300);
        store_u32le(map.data() + LUMP_OFFSET_AT, b.offset);
        store_u32le(map.data() + LUMP_LENGTH_AT, b.length);
        EXPECT_EQ(load(map, &read), MAP_OUTSIDE_FILE) << b.offset << "+" << b.length;
        EXPECT_EQ(read.lump.size, 0u);
    }
}

TEST(ReadMap, LumpOverlappingTheHeaderIsRefusedUnlessEmpty)
{
    // An import would rewrite other lumps' directory entries in the header.
    map_reading read;
    for (std::uint32_t offset : {0u, 1u, 100u, 143u}) {
        bytes map = build_map(bytes(), 400);
        store_u32le(map.data() + LUMP_OFFSET_AT, offset);
        store_u32le(map.data() + LUMP_LENGTH_AT, 1);
        EXPECT_EQ(load(map, &read), MAP_OVERLAPS_HEADER) << offset;
        EXPECT_EQ(read.lump.size, 0u);
        store_u32le(map.data() + LUMP_LENGTH_AT, 0);
        ASSERT_EQ(load(map, &read), NO_FAILURE) << offset;
        EXPECT_EQ(read.lump.record_count, 0u);
    }
    ASSERT_EQ(load(build_map(bytes(1, 'x'), HEADER_SIZE), &read), NO_FAILURE);
    EXPECT_EQ(read.lump.size, 1u);
}

TEST(ReadMap, DirectoriesAndPipesAreRefused)
{
    temp_dir dir;
    map_reading read;
    std::FILE *directory = std::fopen(dir.path.c_str(), "rb");
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(read_map(named_file{directory, "dir"}, &read).status, MAP_IS_DIRECTORY);
    std::fclose(directory);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE *pipe_end = fdopen(fds[0], "rb");
    EXPECT_EQ(read_map(named_file{pipe_end, "pipe"}, &read).status, MAP_NOT_REGULAR);
    std::fclose(pipe_end);
    close(fds[1]);
}

TEST(TextureLump, PartialTrailingRecordIsCarriedAndWrittenBackUnchanged)
{
    temp_dir dir;
    const std::string path = dir / "map.bsp";
    const bytes map = build_map(build_lump(TWO_RECORDS, 6), 160, 40);  // a lump of 150 bytes
    map_reading read;
    const named_file file = write_and_read(path, map, "r+b", &read);
    EXPECT_EQ(read.lump.record_count, 2u);
    texture_lump edited = lump_of(bytes_of(read.lump));
    set_record_surface_flags(&edited, 0, 0xdeadbeef);
    ASSERT_EQ(write_lump_back(file, read, edited).status, NO_FAILURE);
    std::fclose(file.stream);

    EXPECT_EQ(read_bytes(dir / "map.bsp"), with_flags(map, 160, 0, 0xdeadbeef));
}

TEST(TextureLump, WriteBackToAReadOnlyStreamFailsWithItsReason)
{
    temp_dir dir;
    const std::string path = dir / "map.bsp";
    const bytes map = build_map(build_lump(TWO_RECORDS), 144);
    map_reading read;
    const named_file file = write_and_read(path, map, "rb", &read);
    const failure written = write_lump_back(file, read, read.lump);
    // Reserving the lump's blocks is the first call that writes.
    EXPECT_EQ(written.status, MAP_RESERVE_FAILED);
    EXPECT_EQ(describe_failure(written), "Cannot write " + path +
                                             ": cannot reserve disk space for the texture lump, so nothing was "
                                             "written: Bad file descriptor");
    std::fclose(file.stream);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

// The write-back's calls through the seam: reserve, write, sync.
constexpr unsigned long WRITE_CALL = 2;

// A map holding TWO_RECORDS, open for update and read, with edited the
// lump with record 0's flags changed.
struct open_map {
    temp_dir dir;
    const std::string path = dir / "map.bsp";
    bytes original = build_map(build_lump(TWO_RECORDS), 300, 20);
    map_reading read;
    named_file file;
    texture_lump edited;
    open_map()
    {
        file = write_and_read(path, original, "r+b", &read);
        edited = lump_of(bytes_of(read.lump));
        set_record_surface_flags(&edited, 0, 0x01d00000);
    }
    ~open_map() { std::fclose(file.stream); }
    bytes edited_map() const { return with_flags(original, 300, 0, 0x01d00000); }
};

TEST(TextureLump, AFailedRollbackIsReportedAsSuch)
{
    open_map m;
    fail_io_call(WRITE_CALL, true);
    const failure f = write_lump_back(m.file, m.read, m.edited);
    fail_io_call(0);
    EXPECT_EQ(f.status, MAP_ROLLBACK_FAILED);
    EXPECT_EQ(describe_failure(f), "Cannot write " + m.dir / "map.bsp" +
                                       ": Input/output error; the old texture lump could not be written back "
                                       "either, so the map may be damaged: Input/output error");
}

TEST(TextureLump, AnEditedLumpOfAnotherLengthIsRefused)
{
    open_map m;
    const texture_lump shorter = lump_of(bytes(m.read.lump.size - 1, 'x'));
    EXPECT_EQ(write_lump_back(m.file, m.read, shorter).status, MAP_CHANGED);
    EXPECT_EQ(read_bytes(m.dir / "map.bsp"), m.original);
}

int signal_to_raise = 0;

void raise_signal()
{
    raise(signal_to_raise);
}

// Every signal that ends a process by default, raised from inside the
// write-back just before the lump is written, waits until the lump is
// written and synced, then ends the process.
TEST(TextureLump, AStopSignalDuringTheWriteActsOnlyOnceTheLumpIsWhole)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM,
                             SIGPROF, SIGXCPU}) {
        SCOPED_TRACE(strsignal(signal));
        open_map m;
        const pid_t child = fork();
        if (child == 0) {
            const struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            signal_to_raise = signal;
            before_io_call(WRITE_CALL, raise_signal);
            write_lump_back(m.file, m.read, m.edited);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(read_bytes(m.dir / "map.bsp"), m.edited_map());
    }
}

std::string changed_path;
bytes changed_to;

void change_the_map()
{
    write_bytes(changed_path, changed_to);
    // Two writes within one clock tick can leave the times as they were;
    // a writer that was any later would move them.
    const struct timespec times[2] = {{1, 0}, {1, 0}};
    utimensat(AT_FDCWD, changed_path.c_str(), times, 0);
}

failure edit_record_0(const map_reading &fresh, texture_lump *edited, void *)
{
    *edited = lump_of(bytes_of(fresh.lump));
    set_record_surface_flags(edited, 0, 0x01d00000);
    return ok();
}

// A program that writes the map without locking it, after the rewrite has
// read it under its lock and before it writes: bytes inside the lump, then
// bytes outside it. The rewrite refuses, and the change stays.
TEST(TextureLump, AMapChangedJustBeforeTheWriteBackIsRefusedAndKept)
{
    for (const std::size_t at : {300 + 70, 10}) {
        open_map m;
        changed_path = m.dir / "map.bsp";
        changed_to = m.original;
        changed_to[at] ^= 0xFF;
        before_io_call(2, change_the_map);  // the fresh reading's lump, read after its stamp
        texture_lump edited;
        const failure f = rewrite_lump(m.file, stderr, edit_record_0, nullptr, &edited);
        before_io_call(0, nullptr);
        EXPECT_EQ(f.status, MAP_CHANGED) << "byte " << at;
        EXPECT_EQ(read_bytes(changed_path), changed_to) << "byte " << at;
    }
}

}  // namespace
