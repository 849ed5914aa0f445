// The import under load and faults, end to end: real processes started
// together, readers racing writers, maps changed underneath, signals and
// kills in the middle of a write-back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "bsp/bsp_lump.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

constexpr std::uint32_t LUMP_AT = 1024;

std::string texture(std::size_t i)
{
    return "textures/set" + std::to_string(i % 7) + "/t" + std::to_string(i);
}

// count records named texture(i), each with surface i % 32 and low bits of its own.
bytes map_of(std::size_t count)
{
    std::vector<map_record> records;
    for (std::size_t i = 0; i < count; ++i)
        records.push_back({texture(i), set_surface_index(static_cast<std::uint32_t>(i * 37) & 0xFFF7B, i % 32), 0x1});
    return build_map(build_lump(records, 5), LUMP_AT, 300);
}

std::uint32_t flags_at(const bytes &map, std::size_t i)
{
    return load_u32le(map.data() + LUMP_AT + i * RECORD_SIZE + SURFACE_FLAGS_AT);
}

bytes with_surface(bytes map, std::size_t i, unsigned surface)
{
    store_u32le(map.data() + LUMP_AT + i * RECORD_SIZE + SURFACE_FLAGS_AT, set_surface_index(flags_at(map, i), surface));
    return map;
}

// A surface file giving every one of count records the same surface.
std::string all_to(std::size_t count, unsigned surface)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += texture(i) + " = " + surface_names[surface] + "\n";
    return text;
}

bytes all_set(bytes map, std::size_t count, unsigned surface)
{
    for (std::size_t i = 0; i < count; ++i)
        map = with_surface(std::move(map), i, surface);
    return map;
}

// Starts one import per surface file, all held at a gate and let go at once.
void import_together(const temp_dir &dir, const std::vector<std::string> &surface_files)
{
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    run_options options;
    options.gate = gate[0];
    std::vector<started_tool> tools;
    for (const std::string &file : surface_files)
        tools.push_back(start_tool(dir, {"-si", "map.bsp", file}, options));
    const std::string go(surface_files.size(), 'g');
    ASSERT_EQ(write(gate[1], go.data(), go.size()), static_cast<ssize_t>(go.size()));
    close(gate[0]);
    close(gate[1]);
    // An import that finds the map locked says so and waits; it says nothing else.
    const std::string waiting = "lumpsmith: waiting for map.bsp, which another program has locked\n";
    for (const started_tool &tool : tools) {
        run_result r = finish_tool(tool);
        EXPECT_EQ(r.status, 0) << r.err;
        for (std::size_t at; (at = r.err.find(waiting)) != std::string::npos;)
            r.err.erase(at, waiting.size());
        EXPECT_EQ(r.err, "");
    }
}

TEST(ImportSafety, ImportsStartedTogetherKeepEveryEdit)
{
    temp_dir dir;
    for (const auto &[records, imports] : {std::pair<std::size_t, std::size_t>{20000, 8}, {64, 32}}) {
        SCOPED_TRACE(std::to_string(imports) + " imports into " + std::to_string(records) + " records");
        bytes expected = map_of(records);
        ASSERT_TRUE(write_bytes(dir / "map.bsp", expected));
        std::vector<std::string> files;
        for (std::size_t k = 0; k < imports; ++k) {
            const std::size_t record = k * (records / imports);
            const unsigned surface = (record + 1 + k) % 32;
            files.push_back("edit" + std::to_string(k) + ".txt");
            ASSERT_TRUE(write_text(dir / files.back(), texture(record) + " = " + surface_names[surface] + "\n"));
            expected = with_surface(std::move(expected), record, surface);
        }
        import_together(dir, files);
        EXPECT_TRUE(read_bytes(dir / "map.bsp") == expected);
    }
}

// An import of map.bsp from a FIFO, held after it has read the map: it
// reads no line before that, so once first_line has left the pipe, the map
// has been read. *fifo is the pipe's writing end, for the rest.
started_tool import_held_after_reading(const temp_dir &dir, const std::string &first_line, int *fifo)
{
    EXPECT_EQ(mkfifo((dir / "held.txt").c_str(), 0600), 0);
    const started_tool tool = start_tool(dir, {"-si", "map.bsp", "held.txt"});
    *fifo = open_fifo_for(tool, dir / "held.txt");
    EXPECT_GE(*fifo, 0) << "the import never opened its surface file";
    EXPECT_EQ(write(*fifo, first_line.data(), first_line.size()), static_cast<ssize_t>(first_line.size()));
    // A tool that ended without reading must fail the test, not hang it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int unread = 1;
    while (unread > 0 && std::chrono::steady_clock::now() < deadline && ioctl(*fifo, FIONREAD, &unread) == 0)
        usleep(1000);
    EXPECT_EQ(unread, 0) << "the import never read its surface file";
    return tool;
}

// With map.bsp holding map, another program holds a lock of type on it,
// opened with flags, while an import of edit.txt (record 3 made glass)
// starts, which says it waits; the descriptor that holds the lock, -1 when
// it could not be taken.
int import_held_up(const temp_dir &dir, const bytes &map, short type, int flags, started_tool *tool)
{
    if (!write_bytes(dir / "map.bsp", map) || !write_text(dir / "edit.txt", texture(3) + " = glass\n"))
        return -1;
    const int held = open((dir / "map.bsp").c_str(), flags | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = type;
    if (held < 0 || fcntl(held, F_OFD_SETLK, &lock) != 0)
        return -1;
    *tool = start_tool(dir, {"-si", "map.bsp", "edit.txt"});
    EXPECT_TRUE(says_on_stderr(*tool, "lumpsmith: waiting for map.bsp, which another program has locked\n"));
    return held;
}

// An import waits for another program's lock. The write-back's exclusive
// lock waits for even a shared one, and nothing is written until it is let
// go. The first reading waits for a writer, so that the import matches the
// records the writer left: here it renamed them, and an import that had
// read before would refuse the map as changed.
TEST(ImportSafety, AnImportWaitsForAnotherProgramsLock)
{
    temp_dir dir;
    const bytes original = map_of(40);
    started_tool tool;
    const int reader = import_held_up(dir, original, F_RDLCK, O_RDONLY, &tool);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(read_bytes(dir / "map.bsp") == original);
    close(reader);
    const run_result read = finish_tool(tool);
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_TRUE(read_bytes(dir / "map.bsp") == with_surface(original, 3, 29));

    const int writer = import_held_up(dir, original, F_WRLCK, O_RDWR, &tool);
    ASSERT_GE(writer, 0);
    bytes renamed = original;
    const auto name_at = [&](std::size_t i) { return renamed.begin() + LUMP_AT + i * RECORD_SIZE; };
    std::copy(name_at(3), name_at(3) + NAME_SIZE, name_at(5));
    std::fill(name_at(3), name_at(3) + NAME_SIZE, 0);
    ASSERT_EQ(pwrite(writer, renamed.data(), renamed.size(), 0), static_cast<ssize_t>(renamed.size()));
    close(writer);
    const run_result written = finish_tool(tool);
    EXPECT_EQ(written.status, 0) << written.err;
    EXPECT_TRUE(read_bytes(dir / "map.bsp") == with_surface(renamed, 5, 29));
}

// A fixed number of imports against readers that keep reading until the
// writer is done: at least one read by construction, however fast or busy
// the machine, and every read must be whole.
TEST(ImportSafety, ReadersNeverSeeHalfAnImport)
{
    temp_dir dir;
    constexpr std::size_t count = 20000;
    ASSERT_TRUE(write_bytes(dir / "map.bsp", all_set(map_of(count), count, 5)));
    ASSERT_TRUE(write_text(dir / "a.txt", all_to(count, 5)));
    ASSERT_TRUE(write_text(dir / "b.txt", all_to(count, 29)));
    const pid_t writer = fork();
    if (writer == 0) {
        for (int round = 0; round < 24; ++round)
            if (run_tool(dir, {"-si", "map.bsp", round % 2 ? "a.txt" : "b.txt"}).status != 0)
                _exit(1);
        _exit(0);
    }
    int writer_status = -1;
    bool writer_done = false;
    for (int reads = 0; !writer_done; ++reads) {
        writer_done = waitpid(writer, &writer_status, WNOHANG) != 0;
        const run_result r = run_tool(dir, {"-se", "map.bsp"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(r.out == all_to(count, 5) || r.out == all_to(count, 29)) << "torn export after " << reads << " reads";
    }
    EXPECT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
}

// Regression: an import held its exclusive lock while it waited for lines
// from an export of the same map, which waited for that lock: both hung.
TEST(ImportSafety, AnImportFedByAnExportOfTheSameMapFinishes)
{
    temp_dir dir;
    constexpr std::size_t count = 5000;
    const bytes original = all_set(map_of(count), count, 0);
    const std::string tool = LUMPSMITH_BINARY;
    const std::string edit = " -se map.bsp | sed 's/= none/= rock/'";
    for (const std::string &command : {"cd " + dir.path + " && " + tool + edit + " | " + tool + " -si map.bsp /dev/stdin",
                                       "cd " + dir.path + " && " + tool + " -si map.bsp <(" + tool + edit + ")"}) {
        SCOPED_TRACE(command);
        ASSERT_TRUE(write_bytes(dir / "map.bsp", original));
        EXPECT_EQ(run_shell(command), 0);
        EXPECT_TRUE(read_bytes(dir / "map.bsp") == all_set(original, count, 9));
    }
}

// An import whose surface file stalls after the map was read holds up no
// listing, export or other import of that map, and when its line comes,
// both imports' edits stand.
TEST(ImportSafety, AStalledImportHoldsUpNobody)
{
    temp_dir dir;
    bytes expected = map_of(40);
    ASSERT_TRUE(write_bytes(dir / "map.bsp", expected));
    int fifo = -1;
    const started_tool stalled = import_held_after_reading(dir, "free text\n", &fifo);

    EXPECT_EQ(run_tool(dir, {"-tl", "map.bsp"}).status, 0);
    EXPECT_EQ(run_tool(dir, {"-se", "map.bsp"}).status, 0);
    ASSERT_TRUE(write_text(dir / "other.txt", texture(7) + " = water\n"));
    const run_result other = run_tool(dir, {"-si", "map.bsp", "other.txt"});
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(other.err, "");
    expected = with_surface(std::move(expected), 7, 30);
    EXPECT_TRUE(read_bytes(dir / "map.bsp") == expected);

    const std::string last = texture(3) + " = glass\n";
    ASSERT_EQ(write(fifo, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    close(fifo);
    const run_result r = finish_tool(stalled);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_bytes(dir / "map.bsp") == with_surface(expected, 3, 29));
}

// Replaced by another file, rewritten longer, or rewritten in place with
// the same header and lump length but its names moved (a map recompiled
// into the same file): the lines were matched against records that are no
// longer there, so nothing is written.
TEST(ImportSafety, AMapChangedDuringTheImportIsRefusedAndKept)
{
    const std::string changed =
        "Error: Cannot write map.bsp: it changed during the import (replaced or rewritten by another program); "
        "nothing was written\n";
    bytes renamed = map_of(40);
    std::copy_n(map_of(41).begin() + LUMP_AT + RECORD_SIZE, 39 * RECORD_SIZE, renamed.begin() + LUMP_AT);
    for (const std::string how : {"replaced", "rewritten", "renamed in place"}) {
        SCOPED_TRACE(how);
        temp_dir dir;
        ASSERT_TRUE(write_bytes(dir / "map.bsp", map_of(40)));
        int fifo = -1;
        const started_tool tool = import_held_after_reading(dir, texture(3) + " = glass\n", &fifo);
        const bool replace = how == "replaced";
        const bytes other = how == "renamed in place" ? renamed : map_of(replace ? 40 : 55);
        if (replace) {
            ASSERT_TRUE(write_bytes(dir / "new.bsp", other));
            ASSERT_EQ(rename((dir / "new.bsp").c_str(), (dir / "map.bsp").c_str()), 0);
        } else {
            ASSERT_TRUE(write_bytes(dir / "map.bsp", other));
        }
        close(fifo);
        const run_result r = finish_tool(tool);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, changed);
        EXPECT_TRUE(read_bytes(dir / "map.bsp") == other);
    }
}

// A map whose lump overlaps the header, and a zip archive (a .pk3) given
// as a map, however short and wherever its bytes 16..23 point: every
// command refuses it, writes nothing to it and creates no output file.
TEST(ImportSafety, BrokenMapsAndArchivesAreRefusedByEveryCommand)
{
    temp_dir dir;
    bytes overlapping = map_of(3);
    store_u32le(overlapping.data() + LUMP_OFFSET_AT, 100);
    bytes zip = map_of(3);
    std::copy_n("PK\3\4", 4, zip.begin());
    ASSERT_TRUE(write_text(dir / "edit.txt", texture(0) + " = glass\n"));
    const std::string archive = ": it is a zip archive (.pk3), not a map; extract the map first: unzip map.bsp 'maps/*.bsp'\n";
    for (const auto &[map, why] : std::vector<std::pair<bytes, std::string>>{
             {overlapping, ": texture lump overlaps the 144-byte header\n"},
             {zip, archive},
             {bytes(zip.begin(), zip.begin() + 90), archive}}) {
        ASSERT_TRUE(write_bytes(dir / "map.bsp", map));
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"-tl", "map.bsp"}, {"-se", "map.bsp"}, {"-se", "map.bsp", "out.txt"}, {"-si", "map.bsp", "edit.txt"}}) {
            const run_result r = run_tool(dir, args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "Error: Cannot read map.bsp" + why);
        }
        EXPECT_TRUE(read_bytes(dir / "map.bsp") == map);
        EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
    }
}

// Stop signals at random moments leave the map as it was or fully edited;
// a kill may leave any mix of old and new surfaces but nothing else, and
// the same import run again completes it. The first trials interrupt an
// import still waiting for its surface file, so that some signals surely
// land in the middle of one, however quick or slow this machine is.
TEST(ImportSafety, InterruptedImportsLeaveOldOrNewSurfacesAndARerunCompletes)
{
    temp_dir dir;
    constexpr std::size_t count = 40000;
    const bytes original = map_of(count);
    ASSERT_TRUE(write_text(dir / "all.txt", all_to(count, 30)));
    ASSERT_EQ(mkfifo((dir / "held.txt").c_str(), 0600), 0);
    const bytes edited = all_set(original, count, 30);
    // The other signals land at random moments of an import as long as
    // this machine and build take for one, start-up included.
    ASSERT_TRUE(write_bytes(dir / "map.bsp", original));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_tool(dir, {"-si", "map.bsp", "all.txt"}).status, 0);
    const auto import_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::mt19937 random(31);
    for (int trial = 0; trial < 16; ++trial) {
        const int signal = std::vector<int>{SIGTERM, SIGINT, SIGHUP, SIGKILL}[trial % 4];
        const bool held = trial < 4;
        SCOPED_TRACE("trial " + std::to_string(trial) + ", signal " + std::to_string(signal));
        ASSERT_TRUE(write_bytes(dir / "map.bsp", original));
        const started_tool tool = start_tool(dir, {"-si", "map.bsp", held ? "held.txt" : "all.txt"});
        const int fifo = held ? open_fifo_for(tool, dir / "held.txt") : -1;
        if (!held)
            usleep(static_cast<useconds_t>(random() % import_us.count()));
        kill(tool.pid, signal);
        const run_result r = finish_tool(tool);
        if (held) {
            close(fifo);
            EXPECT_EQ(r.status, 128 + signal);
        }
        bytes after = read_bytes(dir / "map.bsp");
        ASSERT_EQ(after.size(), original.size());
        if (signal != SIGKILL) {
            EXPECT_TRUE(after == original || after == edited);
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t flags = flags_at(after, i);
            ASSERT_TRUE(flags == flags_at(original, i) || flags == flags_at(edited, i)) << "record " << i;
            store_u32le(after.data() + LUMP_AT + i * RECORD_SIZE + SURFACE_FLAGS_AT, flags_at(original, i));
        }
        ASSERT_TRUE(after == original) << "bytes other than surface words changed";
        EXPECT_EQ(run_tool(dir, {"-si", "map.bsp", "all.txt"}).status, 0);
        EXPECT_TRUE(read_bytes(dir / "map.bsp") == edited);
    }
}

}  // namespace
