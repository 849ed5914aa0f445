#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <sys/syscall.h>

#include <cerrno>
#include <cstring>

#include "bsp/map_file.h"
#include "io_faults.h"
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

// An edit that puts the lump given as context in place of the fresh one.
failure put_lump(const map_reading &, texture_lump *edited, void *context)
{
    *edited = lump_of(bytes_of(*static_cast<const texture_lump *>(context)));
    return ok();
}

failure rewrite_with(named_file file, const texture_lump &lump)
{
    texture_lump edited;
    return rewrite_lump(file, stderr, put_lump, const_cast<texture_lump *>(&lump), &edited);
}

TEST(TextureLump, PartialTrailingRecordIsCarriedAndWrittenBackUnchanged)
{
    temp_dir dir;
    const std::string path = dir / "map.bsp";
    const bytes map = build_map(build_lump(TWO_RECORDS, 6), 160, 40);  // a lump of 150 bytes
    map_reading read;
    const named_file file = write_and_read(path, map, "r+b", &read);
    EXPECT_EQ(read.lump.record_count, 2u);
    bytes edited = bytes_of(read.lump);
    store_u32le(edited.data() + SURFACE_FLAGS_AT, 0xdeadbeef);
    ASSERT_EQ(rewrite_with(file, lump_of(edited)).status, NO_FAILURE);
    std::fclose(file.stream);

    EXPECT_EQ(read_bytes(dir / "map.bsp"), with_flags(map, 160, 0, 0xdeadbeef));
}

TEST(TextureLump, RewriteOfAReadOnlyStreamFailsWithItsReason)
{
    temp_dir dir;
    const std::string path = dir / "map.bsp";
    const bytes map = build_map(build_lump(TWO_RECORDS), 144);
    map_reading read;
    const named_file file = write_and_read(path, map, "rb", &read);
    const failure written = rewrite_with(file, read.lump);
    EXPECT_EQ(written.status, MAP_LOCK_FAILED);
    EXPECT_EQ(describe_failure(written), "Cannot read " + path + ": cannot lock the file: Bad file descriptor");
    std::fclose(file.stream);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

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
        edited = lump_of(edited_map(300, 300 + 2 * RECORD_SIZE));
    }
    ~open_map() { std::fclose(file.stream); }
    bytes edited_map(std::size_t from = 0, std::size_t to = std::string::npos) const
    {
        const bytes map = with_flags(original, 300, 0, 0x01d00000);
        return bytes(map.begin() + from, to == std::string::npos ? map.end() : map.begin() + to);
    }
};

TEST(TextureLump, AFailedRollbackIsReportedAsSuch)
{
    open_map m;
    fail_io(IO_WRITE, 1, true);
    const failure f = rewrite_with(m.file, m.edited);
    disarm_io();
    EXPECT_EQ(f.status, MAP_ROLLBACK_FAILED);
    EXPECT_EQ(describe_failure(f), "Cannot write " + m.dir / "map.bsp" +
                                       ": Input/output error; the old texture lump could not be written back "
                                       "either, so the map may be damaged: Input/output error");
}

TEST(TextureLump, AnEditedLumpOfAnotherLengthIsRefused)
{
    open_map m;
    EXPECT_EQ(rewrite_with(m.file, lump_of(bytes(m.read.lump.size - 1, 'x'))).status, MAP_CHANGED);
    EXPECT_EQ(read_bytes(m.dir / "map.bsp"), m.original);
}

void raise_signal(void *signal)
{
    raise(*static_cast<int *>(signal));
}

// Every signal that ends a process by default, raised from inside the
// write-back just before the lump is written, waits until the lump is
// written and synced, then ends the process.
TEST(TextureLump, AStopSignalDuringTheWriteActsOnlyOnceTheLumpIsWhole)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU}) {
        SCOPED_TRACE(strsignal(signal));
        open_map m;
        const pid_t child = fork();
        if (child == 0) {
            const struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            before_io(IO_WRITE, 1, raise_signal, &signal);
            rewrite_with(m.file, m.edited);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(read_bytes(m.dir / "map.bsp"), m.edited_map());
    }
}

// What another program writes into the map, without locking it, after the
// rewrite has read it under its lock and before it writes.
struct unlocked_writer {
    std::string path;
    bytes change;
};

failure change_then_edit(const map_reading &fresh, texture_lump *edited, void *context)
{
    const unlocked_writer &writer = *static_cast<const unlocked_writer *>(context);
    write_bytes(writer.path, writer.change);
    // Two writes within one clock tick can leave the times as they were;
    // a writer that was any later would move them.
    const struct timespec times[2] = {{1, 0}, {1, 0}};
    utimensat(AT_FDCWD, writer.path.c_str(), times, 0);
    *edited = lump_of(bytes_of(fresh.lump));
    store_u32le(edited->bytes.get() + SURFACE_FLAGS_AT, 0x01d00000);
    return ok();
}

// Bytes inside the lump, then bytes outside it: the rewrite refuses, and
// the change stays.
TEST(TextureLump, AMapChangedJustBeforeTheWriteBackIsRefusedAndKept)
{
    for (const std::size_t at : {300 + 70, 10}) {
        open_map m;
        unlocked_writer writer{m.path, m.original};
        writer.change[at] ^= 0xFF;
        texture_lump edited;
        EXPECT_EQ(rewrite_lump(m.file, stderr, change_then_edit, &writer, &edited).status, MAP_CHANGED) << "byte " << at;
        EXPECT_EQ(read_bytes(m.path), writer.change) << "byte " << at;
    }
}

// Every fdatasync of this test program comes here first, so that a test can
// see what each one made durable of the file it watches.
int watched_fd = -1;
std::vector<bytes> synced;

}  // namespace

extern "C" int fdatasync(int fd)
{
    if (fd == watched_fd) {
        struct stat st;
        bytes now(fstat(fd, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0);
        synced.push_back(pread(fd, now.data(), now.size(), 0) == static_cast<ssize_t>(now.size()) ? now : bytes());
    }
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {

// "Exit 0 means the edit reached storage": the rewrite syncs once, after
// its write, and an unchanged lump is neither written nor synced.
TEST(TextureLump, AnEditIsSyncedOnceItIsWritten)
{
    open_map m;
    watched_fd = fileno(m.file.stream);
    synced.clear();
    EXPECT_EQ(rewrite_with(m.file, m.read.lump).status, NO_FAILURE);
    EXPECT_TRUE(synced.empty());
    EXPECT_EQ(rewrite_with(m.file, m.edited).status, NO_FAILURE);
    watched_fd = -1;
    ASSERT_EQ(synced.size(), 1u);
    EXPECT_EQ(synced[0], m.edited_map());
}

}  // namespace
