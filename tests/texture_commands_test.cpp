#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <set>

#include "commands/record_index.h"
#include "commands/texture_commands.h"
#include "io_faults.h"
#include "game/matching.h"
#include "plain_reading.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

struct command_output {
    failure_status status;
    std::string out;
    std::string err;
};

enum record_command { LISTING, EXPORT };

command_output run_on(record_command command, const bytes &map_bytes)
{
    std::FILE *bsp = stream_of(map_bytes);
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    map_reading map;
    EXPECT_EQ(read_map(named_file{bsp, "map.bsp"}, &map).status, NO_FAILURE);
    const named_file to{out, "out.txt"};
    const failure f = command == LISTING ? list_textures(map, to, false) : export_surface_file(map, to, false, err);
    command_output result{f.status, text_of(out), text_of(err)};
    std::fclose(err);
    std::fclose(out);
    std::fclose(bsp);
    return result;
}

command_output run_on(record_command command, const std::vector<map_record> &records)
{
    return run_on(command, build_map(build_lump(records), 144));
}

TEST(ListTextures, EmptyLumpPrintsOnlyTheHeading)
{
    EXPECT_EQ(run_on(LISTING, std::vector<map_record>{}).out, "Textures:\n");
    // 71 bytes are not a record.
    EXPECT_EQ(run_on(LISTING, build_map(bytes(71, 'x'), 144)).out, "Textures:\n");
}

TEST(ListingAndExport, ShowTheirRecordsInLumpOrder)
{
    const std::vector<map_record> records = {
        {"a", 0x00000084, 0x0},
        {std::string("noshader\0ab", 11), 0x0, 0x1},  // neither lists nor exports it
        {"noshader_x", 0x0, 0x1},
        {"NOSHADER", 0x0, 0x1},
        {"b", 0xABCDEF01, 0x1},
        {"sky", 0x00000004, 0x1},
        {"nodraw", 0x00000080, 0x1},
        {"both", 0x00500084, 0x1},
        {"other_low_bits", 0x0050007B, 0x1},
        {"not_solid", 0x00500000, 0x2},
        {"content_bits", 0x00500000, 0xFFFFFFFF},
        {"index32", 0x02000000, 0x1},
        {NAME64, 0x01F00000, 0x1},
        {"a", 0x00E00000, 0x1},
    };
    EXPECT_EQ(run_on(LISTING, records).out,
              "Textures:\n"
              "0x00000084 - a\n"
              "0x00000000 - noshader_x\n"
              "0x00000000 - NOSHADER\n"
              "0xabcdef01 - b\n"
              "0x00000004 - sky\n"
              "0x00000080 - nodraw\n"
              "0x00500084 - both\n"
              "0x0050007b - other_low_bits\n"
              "0x00500000 - not_solid\n"
              "0x00500000 - content_bits\n"
              "0x02000000 - index32\n"
              "0x01f00000 - " + NAME64 + "\n"
              "0x00e00000 - a\n");
    EXPECT_EQ(run_on(EXPORT, records).out,
              "noshader_x = none\n"
              "NOSHADER = none\n"
              "b = unknown (abc)\n"
              "other_low_bits = steel\n"
              "content_bits = steel\n"
              "index32 = unknown (020)\n" +
                  NAME64 + " = stucco\n"
                           "a = grass\n");
}

TEST(ExportSurfaceFile, NoEligibleRecordWritesNothing)
{
    const std::vector<map_record> records = {{"sky", 0x4, 0x1}, {"noshader", 0x0, 0x1}};
    const command_output result = run_on(EXPORT, records);
    EXPECT_EQ(result.status, NO_FAILURE);
    EXPECT_EQ(result.out, "");
}

// Imports text into a map of the records; returns the map's bytes afterwards
// and what was said on the error stream.
struct import_output {
    failure_status status;
    int error;
    bytes map;
    std::string err;
};

// A file-size limit, when given, holds while the import runs.
import_output import_into(const bytes &map, const std::string &text, rlim_t size_limit = RLIM_INFINITY)
{
    temp_dir dir;
    const std::string path = dir / "map.bsp";
    write_bytes(path, map);
    std::FILE *bsp = std::fopen(path.c_str(), "r+b");
    std::FILE *surfaces = stream_of(text);
    std::FILE *err = std::tmpfile();
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const struct rlimit limited{size_limit, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    const failure f = read_and_import(named_file{bsp, path.c_str()}, named_file{surfaces, "in.txt"}, err);
    setrlimit(RLIMIT_FSIZE, &saved);
    import_output result{f.status, f.error, read_bytes(dir / "map.bsp"), text_of(err)};
    std::fclose(err);
    std::fclose(surfaces);
    std::fclose(bsp);
    return result;
}

class Import : public ::testing::Test {
protected:
    const std::vector<map_record> records = {
        {"wall", 0x00500123, 0x1},                            // 0: steel
        {std::string("floor\0left over", 15), 0x02800004, 0x0},  // 1: unknown (028), sky, not solid
        {"wall", 0x00000084, 0x1},                            // 2: shares a name with 0
        {"noshader", 0x00100000, 0x1},                        // 3
        {"", 0x00200000, 0x1},                                // 4: empty name
        {NAME64, 0x00300000, 0x1},                            // 5
    };
    const std::uint32_t offset = 200;
    const bytes map = build_map(build_lump(records, 6), offset, 50);

    void expect_import(const std::string &text, const bytes &expected, const std::string &err = "")
    {
        const import_output result = import_into(map, text);
        EXPECT_EQ(result.status, NO_FAILURE);
        EXPECT_EQ(result.map, expected);
        EXPECT_EQ(result.err, err);
    }
};

TEST_F(Import, EmptyOrIrrelevantFilesChangeNoByte)
{
    expect_import("", map);
    expect_import("\n\nfree text\nwall=grass\nwall  =grass\nnobody = grass\nWALL = grass\n", map);
}

TEST_F(Import, SetsTheSurfaceOfEveryRecordWithTheName)
{
    expect_import("wall = grass\n", with_flags(with_flags(map, offset, 0, 0x00E00123), offset, 2, 0x00E00084));
}

TEST_F(Import, ChangesRecordsTheExportLeavesOut)
{
    expect_import("floor = tin\nnoshader = none\n",
                  with_flags(with_flags(map, offset, 1, 0x00100004), offset, 3, 0x00000000));
}

TEST_F(Import, LastKnownLineForANameWins)
{
    expect_import("wall = grass\nwall = rug\nwall = Grass\n",
                  with_flags(with_flags(map, offset, 0, 0x01600123), offset, 2, 0x01600084),
                  "Error: Unknown surface \"Grass\"\n");
}

TEST_F(Import, UnknownSurfaceNamesAreReportedExactlyAndSkipped)
{
    // Control bytes, C1 controls raw or in UTF-8, and bytes that are not
    // UTF-8 (here a surrogate, a code past U+10FFFF and two overlong forms)
    // are shown escaped, so that none can drive a terminal; other UTF-8 stays.
    expect_import("wall = grass\r\n"
                  "wall = \x1b[2J\x01\x7f\t\\x\xc3\xa9\n"
                  "wall = \x9b\xc2\x9b\xc2\x9d\x80" "b\xc3\xa9ton \xe2\x82\xac\xed\xa0\x80\xf4\x90\x80\x80"
                  "\xe0\x80\xaf\xf0\x8f\xbf\xbf\n"
                  "wall = grass \n"
                  "wall = grass = rock\n"
                  "wall = \n"
                  "wall = unknown (028)\n"
                  "floor = glass\n",
                  with_flags(map, offset, 1, 0x01D00004),
                  "Error: Unknown surface \"grass\\r\"\n"
                  "Error: Unknown surface \"\\x1B[2J\\x01\\x7F\\t\\x\xc3\xa9\"\n"
                  "Error: Unknown surface \"\\x9B\\xC2\\x9B\\xC2\\x9D\\x80" "b\xc3\xa9ton \xe2\x82\xac"
                  "\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE0\\x80\\xAF\\xF0\\x8F\\xBF\\xBF\"\n"
                  "Error: Unknown surface \"grass \"\n"
                  "Error: Unknown surface \"grass = rock\"\n"
                  "Error: Unknown surface \"\"\n"
                  "Error: Unknown surface \"unknown (028)\"\n");
}

TEST_F(Import, LineStartingWithTheSeparatorNamesTheEmptyName)
{
    expect_import(" = stucco\n", with_flags(map, offset, 4, 0x01F00000));
}

TEST_F(Import, NulEndsTheLine)
{
    expect_import(std::string("wa\0ll = grass\nfloor = rock\0junk\n", 32), with_flags(map, offset, 1, 0x00900004));
}

TEST_F(Import, LastLineNeedsNoLineFeed)
{
    expect_import("floor = rock", with_flags(map, offset, 1, 0x00900004));
}

TEST_F(Import, NamesAreComparedWhole)
{
    expect_import(NAME64 + " = glass\n", with_flags(map, offset, 5, 0x01D00000));
    expect_import(NAME64 + "n = glass\nwal = glass\nwall2 = glass\nfloor\tx = glass\n", map);
}

TEST_F(Import, LongLinesAreReadInPiecesOf127)
{
    // 127 characters: read whole; its line feed alone follows and is ignored.
    expect_import("wall = " + std::string(120, 'z') + "\n", map,
                  "Error: Unknown surface \"" + std::string(120, 'z') + "\"\n");
    // 128 characters: the last one becomes a line of its own.
    expect_import("wall = " + std::string(121, 'z') + "\n", map,
                  "Error: Unknown surface \"" + std::string(120, 'z') + "\"\n");
    // A piece that holds a whole line of its own is applied.
    expect_import(std::string(127, 'x') + "floor = rock\n", with_flags(map, offset, 1, 0x00900004));
}

// Each read, reservation, write and sync of an import made to fail in turn:
// the failure is reported with its reason and the map is as it was, even
// when the lump had already been written and only its sync failed. A
// file-size limit that ends before the lump does is refused up front, and
// one lowered after that check does not kill the import (SIGXFSZ).
TEST_F(Import, EveryFailedFileOperationIsReportedAndLeavesTheMapAsItWas)
{
    const bytes edited = with_flags(map, offset, 5, set_surface_index(0x00300000, 14));
    const std::string text = NAME64 + " = grass\n";
    std::vector<failure_status> failures;
    for (unsigned long call = 1; failures.size() < 20; ++call) {
        fail_io(IO_ANY, call);
        const import_output result = import_into(map, text);
        disarm_io();
        if (result.status == NO_FAILURE) {
            EXPECT_EQ(result.map, edited);
            break;
        }
        failures.push_back(result.status);
        EXPECT_EQ(result.map, map) << "call " << call;
        EXPECT_TRUE(result.status == MAP_NO_SPACE || result.error != 0) << "call " << call;
    }
    // Every kind of call failed once at least, whatever their number and order.
    EXPECT_EQ(std::set<failure_status>(failures.begin(), failures.end()),
              (std::set<failure_status>{MAP_READ_FAILED, INPUT_UNREADABLE, MAP_NO_SPACE, MAP_WRITE_FAILED, MAP_SYNC_FAILED}));
    // Refused before writing, even where the limit ends inside the lump.
    const rlim_t lump_end = offset + 6 * RECORD_SIZE + 6;
    for (const rlim_t limit : {rlim_t{offset} - 1, rlim_t{offset + 5 * RECORD_SIZE + SURFACE_FLAGS_AT + 2}, lump_end - 1}) {
        const import_output result = import_into(map, text, limit);
        EXPECT_EQ(result.status, MAP_OVER_SIZE_LIMIT);
        EXPECT_EQ(result.map, map) << "limit " << limit;
    }
    EXPECT_EQ(import_into(map, text, lump_end).map, edited);
    // A limit lowered after that check (prlimit from another program) fails
    // the write with EFBIG, and the process lives on to roll it back and say so.
    rlim_t lowered = offset;
    before_io(IO_WRITE, 1, [](void *limit) {
        const struct rlimit now{*static_cast<rlim_t *>(limit), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &now);
    }, &lowered);
    const import_output late = import_into(map, text);
    disarm_io();
    EXPECT_EQ(late.status, MAP_WRITE_FAILED);
    EXPECT_EQ(late.error, EFBIG);
    EXPECT_EQ(late.map, map);
}

// Between the two readings another program moves the lump, records and
// all, to the end of the map: a changed map, refused, left as it was moved.
TEST_F(Import, ALumpMovedBetweenTheReadingsIsRefused)
{
    temp_dir dir;
    struct move {
        std::string path;
        bytes moved;
    } to{dir / "map.bsp", map};
    const std::size_t length = load_u32le(map.data() + LUMP_LENGTH_AT);
    to.moved.insert(to.moved.end(), map.begin() + offset, map.begin() + offset + length);
    store_u32le(to.moved.data() + LUMP_OFFSET_AT, static_cast<std::uint32_t>(map.size()));
    ASSERT_TRUE(write_bytes(to.path, map));
    std::FILE *bsp = std::fopen(to.path.c_str(), "r+b");
    std::FILE *surfaces = stream_of(NAME64 + " = grass\n");
    // Once the surface file's one line is read, before the end of it is.
    before_io(IO_LINE, 2, [](void *context) {
        const move &m = *static_cast<move *>(context);
        std::FILE *other = std::fopen(m.path.c_str(), "r+b");
        std::fwrite(m.moved.data(), 1, m.moved.size(), other);
        std::fclose(other);
    }, &to);
    const failure f = read_and_import(named_file{bsp, to.path.c_str()}, named_file{surfaces, "in.txt"}, stderr);
    disarm_io();
    EXPECT_EQ(f.status, MAP_CHANGED);
    EXPECT_EQ(read_bytes(to.path), to.moved);
    for (std::FILE *stream : {bsp, surfaces})
        std::fclose(stream);
}

TEST_F(Import, BrokenMapIsRefusedBeforeReadingAnyLine)
{
    const bytes cut(map.begin(), map.end() - 60);
    std::FILE *bsp = stream_of(cut);
    std::FILE *surfaces = stream_of(std::string("wall = grass\n"));
    std::FILE *err = std::tmpfile();
    EXPECT_EQ(read_and_import(named_file{bsp, "cut.bsp"}, named_file{surfaces, "in.txt"}, err).status,
              MAP_OUTSIDE_FILE);
    EXPECT_EQ(std::ftell(surfaces), 0);
    EXPECT_EQ(contents_of(bsp), cut);
    EXPECT_EQ(text_of(err), "");
    for (std::FILE *f : {bsp, surfaces, err})
        std::fclose(f);
}

TEST(ImportLarge, MatchesThePlainestImport)
{
    std::mt19937 random(99);
    const std::vector<std::string> names = {"a", "b", "textures/c", "", std::string(64, 'z'), "d e", "f\r"};
    std::vector<map_record> records;
    for (int i = 0; i < 300; ++i)
        records.push_back({names[random() % names.size()] + (i % 3 ? std::to_string(i % 17) : ""),
                           static_cast<std::uint32_t>(random()), 1});
    const bytes map = build_map(build_lump(records, 13), 300, 7);
    // Lines long and short, good and bad, with NULs and carriage returns.
    std::string text;
    while (text.size() < 300000) {
        const std::string name = names[random() % names.size()] + std::to_string(random() % 17);
        const std::string surface = random() % 8 ? surface_names[random() % SURFACE_COUNT] : "Rock";
        switch (random() % 8) {
        case 0: text += std::string(random() % 300, 'x') + name + " = " + surface + "\n"; break;
        case 1: text += name + " = " + surface + "\r\n"; break;
        case 2: text += name + std::string(1, '\0') + " = " + surface + "\n"; break;
        case 3: text += name + " = " + surface + std::string(1, '\0') + "tail\n"; break;
        case 4: text += "free text without the separator\n"; break;
        default: text += name + " = " + surface + "\n"; break;
        }
    }
    const plain_import expected = import_plainly(map, read_plainly(map), bytes(text.begin(), text.end()));
    const import_output actual = import_into(map, text);
    EXPECT_EQ(actual.status, NO_FAILURE);
    EXPECT_EQ(actual.err, expected.err);
    EXPECT_TRUE(actual.map == expected.map);
    EXPECT_NE(actual.map, map);
    // The companions' matching of the same text held in memory, without the last line feed.
    std::FILE *bsp = stream_of(map);
    map_reading reading;
    ASSERT_EQ(read_map({bsp, "m.bsp"}, &reading).status, NO_FAILURE);
    std::fclose(bsp);
    texture_lump edited;
    std::size_t changed;
    std::string said;
    const std::string cut = text.substr(0, text.size() - 1);
    ASSERT_EQ(match_surface_text(reading, "m.bsp", cut, "s.txt", &edited, &changed, &said).status, NO_FAILURE);
    const plain_import from_memory = import_plainly(map, read_plainly(map), bytes(cut.begin(), cut.end()));
    EXPECT_EQ(said, from_memory.err);
    EXPECT_TRUE(bytes(from_memory.map.begin() + 300, from_memory.map.begin() + 300 + edited.size) == bytes_of(edited));
}

}  // namespace
