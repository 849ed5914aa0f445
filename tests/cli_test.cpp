// End to end: the built binary on real files in a temporary directory,
// comparing status, standard output, standard error and file bytes exactly;
// and the front end run in this process, where the file seam can act
// between its steps.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "bsp/bsp_lump.h"
#include "frontend/frontend.h"
#include "io_faults.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

const std::vector<map_record> RECORDS = {
    {"textures/base/floor_metal", 0x00500000, 0x1},
    {"textures/outdoor/sky_dusk", 0x00000004, 0x1},
    {"noshader", 0x0, 0x1},
    {"textures/base/crate_wood", 0x01b00200, 0x1},
};

const char *const LISTING =
    "Textures:\n"
    "0x00500000 - textures/base/floor_metal\n"
    "0x00000004 - textures/outdoor/sky_dusk\n"
    "0x01b00200 - textures/base/crate_wood\n";

class Cli : public ::testing::Test {
protected:
    temp_dir dir;
    bytes map = build_map(build_lump(RECORDS), 256, 32);

    void SetUp() override { ASSERT_TRUE(write_bytes(dir / "map.bsp", map)); }

    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void expect_run(const std::vector<std::string> &args, int status, const std::string &out,
                    const std::string &err, const run_options &options = {})
    {
        const run_result r = run_tool(dir, args, options);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
    }
};

TEST_F(Cli, MalformedCommandLinesPrintUsageAndTouchNothing)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"map.bsp"},
        {"-TL", "map.bsp"},
        {"-tlx", "map.bsp"},
        {"-t", "map.bsp"},
        {"-", "map.bsp"},
        {"", "map.bsp"},
        {"--", "map.bsp"},
        {"-tl"},
        {"-tl", "map.bsp", "map.bsp"},
        {"-tc", "map.bsp", "src"},
        {"-tc", "map.bsp", "src", "dest", "more"},
        {"-se"},
        {"-se", "map.bsp", "out.txt", "more"},
        {"-si", "map.bsp"},
        {"-si", "map.bsp", "in.txt", "more"},
        {"-sl", "map.bsp"},
        {"-sl", "x", "y"},
        {"-xx"},
    };
    for (const auto &args : bad) {
        SCOPED_TRACE(testing::PrintToString(args));
        expect_run(args, 1, "", usage_for("lumpsmith"));
        EXPECT_EQ(files(), std::vector<std::string>{"map.bsp"});
        EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
    }
}

TEST_F(Cli, UsageNamesTheProgramAsInvoked)
{
    run_options options;
    options.argv0 = "./some dir/lumpsmith";
    expect_run({"-TL"}, 1, "", usage_for("./some dir/lumpsmith"), options);
}

TEST_F(Cli, ListsTextures)
{
    expect_run({"-tl", "map.bsp"}, 0, LISTING, "");
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

TEST_F(Cli, LoneHyphenIsAFileName)
{
    ASSERT_TRUE(write_bytes(dir / "-", map));
    expect_run({"-tl", "-"}, 0, LISTING, "");
    expect_run({"-tl", "./-"}, 0, LISTING, "");
}

TEST_F(Cli, FilesThatCannotBeOpenedAreNamed)
{
    expect_run({"-tl", "missing.bsp"}, 1, "", "Error: Cannot open missing.bsp\n");
    expect_run({"-tc", "missing.bsp", "a", "b"}, 1, "", "Error: Cannot open missing.bsp\n");
    expect_run({"-se", "missing.bsp"}, 1, "", "Error: Cannot open missing.bsp\n");
    expect_run({"-si", "missing.bsp", "in.txt"}, 1, "", "Error: Cannot open missing.bsp\n");
    expect_run({"-si", "map.bsp", "missing.txt"}, 1, "", "Error: Cannot open missing.txt\n");
    expect_run({"-se", "map.bsp", "no/such/dir/out.txt"}, 1, "", "Error: Cannot open no/such/dir/out.txt\n");
    // Bytes that could drive a terminal are escaped, in paths as in names.
    expect_run({"-tl", "y\x1b[2J\n.bsp"}, 1, "", "Error: Cannot open y\\x1B[2J\\n.bsp\n");
    EXPECT_EQ(files(), std::vector<std::string>{"map.bsp"});
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

TEST_F(Cli, CopyTexturesIsAPlaceholder)
{
    expect_run({"-tc", "map.bsp", "src", "dest"}, 0, "", "Not yet implemented.\n");
    EXPECT_EQ(files(), std::vector<std::string>{"map.bsp"});
}

TEST_F(Cli, BrokenMapsAreRefusedWithOneLineAndNoOutput)
{
    ASSERT_TRUE(write_bytes(dir / "short.bsp", bytes(map.begin(), map.begin() + 100)));
    ASSERT_TRUE(write_bytes(dir / "cut.bsp", bytes(map.begin(), map.end() - 60)));
    bytes huge = map;
    store_u32le(huge.data() + 20, 0xFFFFFFFF);
    ASSERT_TRUE(write_bytes(dir / "huge.bsp", huge));
    std::filesystem::create_directory(dir / "folder");
    ASSERT_TRUE(write_bytes(dir / "my maps.pk3", {'P', 'K', 3, 4}));
    const std::string short_header = ": file is shorter than the 144-byte header\n";
    const std::string outside = ": texture lump reaches past the end of the file\n";
    for (const std::string sw : {"-tl", "-se"}) {
        expect_run({sw, "short.bsp"}, 1, "", "Error: Cannot read short.bsp" + short_header);
        expect_run({sw, "cut.bsp"}, 1, "", "Error: Cannot read cut.bsp" + outside);
        expect_run({sw, "huge.bsp"}, 1, "", "Error: Cannot read huge.bsp" + outside);
        expect_run({sw, "folder"}, 1, "", "Error: Cannot read folder: is a directory\n");
        // The hint's command pastes back whole.
        expect_run({sw, "my maps.pk3"}, 1, "",
                   "Error: Cannot read my maps.pk3: it is a zip archive (.pk3), not a map; extract the map first: "
                   "unzip 'my maps.pk3' 'maps/*.bsp'\n");
    }
    EXPECT_EQ(read_bytes(dir / "huge.bsp"), huge);
    // A FIFO given as a map is refused at once, never waited on.
    ASSERT_EQ(mkfifo((dir / "f.bsp").c_str(), 0600), 0);
    ASSERT_TRUE(write_bytes(dir / "edit.txt", bytes{'x'}));
    run_options deadline;
    deadline.deadline = 20;
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-tl", "f.bsp"}, {"-se", "f.bsp"}, {"-se", "f.bsp", "out.txt"}, {"-si", "f.bsp", "edit.txt"}})
        expect_run(args, 1, "", "Error: Cannot read f.bsp: not a regular file\n", deadline);
    expect_run({"-tc", "f.bsp", "a", "b"}, 0, "", "Not yet implemented.\n", deadline);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
}

// A map too large for the memory the process may have is an Error line,
// with the map and any output file as they were: a sparse file whose header
// claims a 4 GiB lump, under a 1 GiB address-space limit.
TEST_F(Cli, RunningOutOfMemoryIsAnErrorLine)
{
    bytes header = map;
    store_u32le(header.data() + LUMP_OFFSET_AT, HEADER_SIZE);
    store_u32le(header.data() + LUMP_LENGTH_AT, 0xFFFFFF00u);
    header.resize(HEADER_SIZE);
    ASSERT_TRUE(write_bytes(dir / "big.bsp", header));
    ASSERT_EQ(truncate((dir / "big.bsp").c_str(), HEADER_SIZE + 0xFFFFFF00ull), 0);
    ASSERT_TRUE(write_bytes(dir / "out.txt", bytes{'o', 'l', 'd'}));
    ASSERT_TRUE(write_bytes(dir / "edit.txt", bytes{'x'}));
    run_options limited;
    limited.address_space = 1ul << 30;
    if (run_tool(dir, {"-sl"}, limited).status != 0)
        GTEST_SKIP() << "this build cannot start under a 1 GiB address-space limit (sanitizers)";
    struct stat before;
    ASSERT_EQ(stat((dir / "big.bsp").c_str(), &before), 0);
    const std::string no_memory = "Error: Cannot read big.bsp: Cannot allocate memory\n";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-tl", "big.bsp"}, {"-se", "big.bsp", "out.txt"}, {"-se", "big.bsp", "new.txt"}, {"-si", "big.bsp", "edit.txt"}})
        expect_run(args, 1, "", no_memory, limited);
    struct stat after;
    ASSERT_EQ(stat((dir / "big.bsp").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(read_bytes(dir / "out.txt"), (bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(std::filesystem::exists(dir / "new.txt"));
}

TEST_F(Cli, UnwritableStandardOutputIsAFailure)
{
    run_options full;
    full.stdout_path = "/dev/full";
    expect_run({"-tl", "map.bsp"}, 1, "", "Error: Cannot write standard output: No space left on device\n", full);
    expect_run({"-sl"}, 1, "", "Error: Cannot write standard output: No space left on device\n", full);
    expect_run({"-se", "map.bsp"}, 1, "", "Error: Cannot write standard output: No space left on device\n", full);
}

const char *const EXPORTED =
    "textures/base/floor_metal = steel\n"
    "textures/base/crate_wood = softwood\n";

TEST_F(Cli, ExportsToStandardOutputOrAFile)
{
    expect_run({"-se", "map.bsp"}, 0, EXPORTED, "");
    ASSERT_TRUE(write_bytes(dir / "out.txt", bytes(5000, 'o')));
    expect_run({"-se", "map.bsp", "out.txt"}, 0, "", "");
    EXPECT_EQ(text_of(read_bytes(dir / "out.txt")), EXPORTED);
    expect_run({"-se", "map.bsp", "-"}, 0, "", "");
    EXPECT_EQ(text_of(read_bytes(dir / "-")), EXPORTED);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

TEST_F(Cli, ExportOfNothingLeavesAnEmptyFile)
{
    ASSERT_TRUE(write_bytes(dir / "sky.bsp", build_map(build_lump({{"sky", 0x4, 0x1}}), 144)));
    ASSERT_TRUE(write_bytes(dir / "out.txt", bytes(10, 'o')));
    expect_run({"-se", "sky.bsp", "out.txt"}, 0, "", "");
    EXPECT_EQ(read_bytes(dir / "out.txt"), bytes());
    expect_run({"-se", "sky.bsp"}, 0, "", "");
}

TEST_F(Cli, ExportLeavesTheSurfaceFileAloneWhenTheMapFails)
{
    const bytes old(10, 'o');
    ASSERT_TRUE(write_bytes(dir / "out.txt", old));
    ASSERT_TRUE(write_bytes(dir / "cut.bsp", bytes(map.begin(), map.end() - 60)));
    expect_run({"-se", "missing.bsp", "out.txt"}, 1, "", "Error: Cannot open missing.bsp\n");
    expect_run({"-se", "missing.bsp", "new.txt"}, 1, "", "Error: Cannot open missing.bsp\n");
    expect_run({"-se", "cut.bsp", "out.txt"}, 1, "",
               "Error: Cannot read cut.bsp: texture lump reaches past the end of the file\n");
    EXPECT_EQ(read_bytes(dir / "out.txt"), old);
    EXPECT_FALSE(std::filesystem::exists(dir / "new.txt"));
}

TEST_F(Cli, ExportOntoTheMapItselfIsRefused)
{
    std::filesystem::create_symlink("map.bsp", dir / "link.bsp");
    std::filesystem::create_hard_link(dir / "map.bsp", dir / "hard.bsp");
    for (const std::string &alias : std::vector<std::string>{"map.bsp", "./map.bsp", "link.bsp", "hard.bsp", dir / "map.bsp"}) {
        expect_run({"-se", "map.bsp", alias}, 1, "",
                   "Error: Refusing to write " + alias + ": it is the same file as map.bsp\n");
        EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
    }
    expect_run({"-se", "link.bsp", "map.bsp"}, 1, "",
               "Error: Refusing to write map.bsp: it is the same file as link.bsp\n");
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

TEST_F(Cli, ExportThatCannotBeWrittenIsAFailure)
{
    expect_run({"-se", "map.bsp", "/dev/full"}, 1, "", "Error: Cannot write /dev/full: No space left on device\n");
}

TEST_F(Cli, UneditedRoundTripChangesNoByte)
{
    // Names with bytes after their NUL, an unknown index and unexported records.
    const std::vector<map_record> records = {
        {std::string("textures/a\0\x7f\x01junk", 15), 0x00312345, 0x1},
        {"textures/b", 0x00000004, 0x1},
        {"noshader", 0x00000000, 0x1},
        {"textures/c", 0x01F00000, 0x20000001},
        {"textures/d", 0x00600000, 0x0},
        {NAME64, 0x00700000, 0x1},
    };
    const bytes original = build_map(build_lump(records, 70), 1000, 999);
    ASSERT_TRUE(write_bytes(dir / "round.bsp", original));
    expect_run({"-se", "round.bsp", "round.txt"}, 0, "", "");
    ASSERT_TRUE(write_bytes(dir / "empty.txt", bytes()));
    // Nothing to change, nothing written: make, rsync and zip -u see the
    // map as it was, times included.
    struct stat before;
    ASSERT_EQ(stat((dir / "round.bsp").c_str(), &before), 0);
    expect_run({"-si", "round.bsp", "round.txt"}, 0, "", "");
    expect_run({"-si", "round.bsp", "empty.txt"}, 0, "", "");
    struct stat after;
    ASSERT_EQ(stat((dir / "round.bsp").c_str(), &after), 0);
    EXPECT_EQ(read_bytes(dir / "round.bsp"), original);
    EXPECT_TRUE(after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
    EXPECT_TRUE(after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
}

// Regression: "decoy\nb/target" exported as two lines, and importing the
// unedited export then turned b/target into steel.
TEST_F(Cli, NamesThatWouldNotReadBackAreLeftOutOfTheExport)
{
    const std::vector<map_record> records = {
        {"b/target", set_surface_index(0, 29), 0x1},
        {"decoy\nb/target", set_surface_index(0, 5), 0x1},
        {"a = b", set_surface_index(0, 9), 0x1},
        {"ends in =", set_surface_index(0, 9), 0x1},
        {"\x1b[31m =", set_surface_index(0, 9), 0x1},
        {"c\r", set_surface_index(0, 14), 0x1},
    };
    const bytes original = build_map(build_lump(records), 300);
    ASSERT_TRUE(write_bytes(dir / "decoy.bsp", original));
    expect_run({"-se", "decoy.bsp", "decoy.txt"}, 0, "",
               "Error: Not exporting record 1 \"decoy\\nb/target\": a line feed in a texture name would split its line\n"
               "Error: Not exporting record 2 \"a = b\": the texture name would end early at a \" = \" in or at the end of it\n"
               "Error: Not exporting record 3 \"ends in =\": the texture name would end early at a \" = \" in or at the end of it\n"
               "Error: Not exporting record 4 \"\\x1B[31m =\": the texture name would end early at a \" = \" in or at the end of it\n");
    EXPECT_EQ(text_of(read_bytes(dir / "decoy.txt")), "b/target = glass\nc\r = grass\n");
    expect_run({"-si", "decoy.bsp", "decoy.txt"}, 0, "", "");
    EXPECT_EQ(read_bytes(dir / "decoy.bsp"), original);
}

TEST_F(Cli, EditedLineChangesThatRecordOnly)
{
    expect_run({"-se", "map.bsp", "map.txt"}, 0, "", "");
    std::string text = text_of(read_bytes(dir / "map.txt"));
    text.replace(text.find("= softwood"), 10, "= plank");
    ASSERT_TRUE(write_bytes(dir / "map.txt", bytes(text.begin(), text.end())));
    expect_run({"-si", "map.bsp", "map.txt"}, 0, "", "");
    bytes expected = map;
    store_u32le(expected.data() + 256 + 3 * 72 + 64, 0x01c00200);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), expected);
    expect_run({"-tl", "map.bsp"}, 0,
               "Textures:\n"
               "0x00500000 - textures/base/floor_metal\n"
               "0x00000004 - textures/outdoor/sky_dusk\n"
               "0x01c00200 - textures/base/crate_wood\n",
               "");
}

TEST_F(Cli, ImportReportsUnknownSurfacesAndGoesOn)
{
    const std::string text = "textures/base/floor_metal = Steel\r\ntextures/outdoor/sky_dusk = rock\n";
    ASSERT_TRUE(write_bytes(dir / "in.txt", bytes(text.begin(), text.end())));
    expect_run({"-si", "map.bsp", "in.txt"}, 0, "", "Error: Unknown surface \"Steel\\r\"\n");
    bytes expected = map;
    store_u32le(expected.data() + 256 + 72 + 64, 0x00900004);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), expected);
}

TEST_F(Cli, ImportRefusesMapsItCannotReadOrWrite)
{
    ASSERT_TRUE(write_bytes(dir / "in.txt", bytes{'x'}));
    ASSERT_TRUE(write_bytes(dir / "cut.bsp", bytes(map.begin(), map.end() - 60)));
    expect_run({"-si", "cut.bsp", "in.txt"}, 1, "",
               "Error: Cannot read cut.bsp: texture lump reaches past the end of the file\n");
    // Both files are opened, in order, before the map is read.
    expect_run({"-si", "cut.bsp", "missing.txt"}, 1, "", "Error: Cannot open missing.txt\n");
    EXPECT_EQ(read_bytes(dir / "cut.bsp"), bytes(map.begin(), map.end() - 60));

    ASSERT_EQ(chmod((dir / "map.bsp").c_str(), 0444), 0);
    run_options nobody;
    nobody.as_nobody = true;
    // The surface file is never opened, so its absence goes unsaid.
    expect_run({"-si", "map.bsp", "missing.txt"}, 1, "", "Error: Cannot open map.bsp\n", nobody);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

TEST_F(Cli, ImportFromAnUnreadableSurfaceFileLeavesTheMapAlone)
{
    std::filesystem::create_directory(dir / "folder");
    expect_run({"-si", "map.bsp", "folder"}, 1, "", "Error: Cannot read folder: Is a directory\n");
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

// Nothing but the lump ever lands in a map: not a message written to a
// closed standard descriptor that the map took over, nor output sent to
// standard output that is the map. Archives given as maps are in
// ImportSafety.BrokenMapsAndArchivesAreRefusedByEveryCommand.
TEST_F(Cli, NothingButTheLumpLandsInAMap)
{
    const std::string edit = "textures/base/crate_wood = plank\r\ntextures/base/floor_metal = rock\n";
    ASSERT_TRUE(write_bytes(dir / "edit.txt", bytes(edit.begin(), edit.end())));
    bytes edited = map;
    store_u32le(edited.data() + 256 + SURFACE_FLAGS_AT, 0x00900000);
    for (const std::string closed : {"2>&-", "<&- >&- 2>&-"}) {
        SCOPED_TRACE(closed);
        ASSERT_TRUE(write_bytes(dir / "map.bsp", map));
        run_options options;
        options.redirections = closed;
        EXPECT_EQ(run_tool(dir, {"-si", "map.bsp", "edit.txt"}, options).status, 0);
        EXPECT_EQ(read_bytes(dir / "map.bsp"), edited);
    }
    for (const std::string closed : {">&-", ">&- 2>&-"}) {
        run_options options;
        options.redirections = closed;
        EXPECT_EQ(run_tool(dir, {"-tl", "map.bsp"}, options).status, 0);
        EXPECT_EQ(run_tool(dir, {"-se", "map.bsp"}, options).status, 0);
        EXPECT_EQ(read_bytes(dir / "map.bsp"), edited);
    }
    const std::vector<std::vector<std::string>> every_command = {
        {"-tl", "map.bsp"}, {"-se", "map.bsp"}, {"-se", "map.bsp", "out.txt"}, {"-si", "map.bsp", "edit.txt"},
        {"-tc", "map.bsp", "a", "b"}};
    for (const auto &args : every_command) {
        SCOPED_TRACE(testing::PrintToString(args));
        // Standard output that is the map is refused; standard error that
        // is the map leaves nowhere safe to say so, and the run ends at once.
        for (const std::string onto : {">>map.bsp", "1<>map.bsp", "2>>map.bsp", "2<>map.bsp"}) {
            run_options options;
            options.redirections = onto;
            const bool on_stdout = onto[0] != '2';
            expect_run(args, 1, "",
                       on_stdout ? "Error: Refusing to write standard output: it is the same file as map.bsp\n" : "",
                       options);
            EXPECT_EQ(read_bytes(dir / "map.bsp"), edited) << onto;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
}

// On a terminal, names are escaped so that no byte from a map can drive it
// or forge a line; into a file the listing and export are data, unchanged.
TEST_F(Cli, NamesAreEscapedOnATerminalAndRawElsewhere)
{
    const std::string title = "t\x1b]2;owned\x07";
    const std::string erase = "u\x1b[2K";
    const std::string forged = "v\n0x00e00000 - tex/fake";
    const std::string c1 = "w\xc2\x9b" "1m";
    ASSERT_TRUE(write_bytes(dir / "odd.bsp", build_map(build_lump({{title, 0x00500000, 0x1},
                                                                  {erase, 0x00500000, 0x1},
                                                                  {forged, 0x00500000, 0x0},
                                                                  {c1, 0x00500000, 0x1}}),
                                                      300)));
    const std::string raw_listing = "Textures:\n0x00500000 - " + title + "\n0x00500000 - " + erase +
                                    "\n0x00500000 - " + forged + "\n0x00500000 - " + c1 + "\n";
    expect_run({"-tl", "odd.bsp"}, 0, raw_listing, "");
    expect_run({"-se", "odd.bsp"}, 0, title + " = steel\n" + erase + " = steel\n" + c1 + " = steel\n", "");

    // The rules write the names the export writes, escaped as it escapes them.
    ASSERT_TRUE(write_text(dir / "odd.rules", "[tuw]* = steel\n"));
    const std::string exported = "t\\x1B]2;owned\\x07 = steel\nu\\x1B[2K = steel\nw\\xC2\\x9B1m = steel\n";
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> shown = {
        {"lumpsmith", {"-tl", "odd.bsp"},
         "Textures:\n0x00500000 - t\\x1B]2;owned\\x07\n0x00500000 - u\\x1B[2K\n"
         "0x00500000 - v\\n0x00e00000 - tex/fake\n0x00500000 - w\\xC2\\x9B1m\n"},
        {"lumpsmith", {"-se", "odd.bsp"}, exported},
        {"lumpsmith-rules", {"odd.rules", "odd.bsp"}, exported}};
    for (const auto &[program, args, expected] : shown) {
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        ASSERT_EQ(grantpt(terminal), 0);
        ASSERT_EQ(unlockpt(terminal), 0);
        run_options options;
        options.program = program;
        options.stdout_path = ptsname(terminal);
        // Raw, so that the terminal hands over the bytes as written.
        const int side = open(options.stdout_path.c_str(), O_RDWR | O_NOCTTY);
        struct termios mode;
        ASSERT_EQ(tcgetattr(side, &mode), 0);
        cfmakeraw(&mode);
        ASSERT_EQ(tcsetattr(side, TCSANOW, &mode), 0);
        const run_result r = run_tool(dir, args, options);
        EXPECT_EQ(r.status, 0);
        close(side);
        // With the other side closed, reading drains what was written, then fails.
        std::string seen;
        char buffer[4096];
        for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
            seen.append(buffer, static_cast<std::size_t>(n));
        close(terminal);
        EXPECT_EQ(seen, expected) << program << " " << args[0];
    }
}

// The front end run in this process, where the file seam can act between its steps.
struct link_swap {
    std::string link, map;
    bool done;
};

void point_the_link_at_the_map(void *context)
{
    link_swap &swap = *static_cast<link_swap *>(context);
    swap.done = unlink(swap.link.c_str()) == 0 && symlink(swap.map.c_str(), swap.link.c_str()) == 0;
}

// Regression: the output was checked by path, then opened by path with
// "w", and a link flipped in between from a harmless file to the map
// emptied the map. Now the output is opened first, without emptying it,
// and the file opened is the one checked.
TEST(FrontEnd, AnOutputLinkSwappedToTheMapAfterTheStartIsRefused)
{
    temp_dir dir;
    link_swap swap{dir / "out.txt", dir / "map.bsp", false};
    const std::string &map_path = swap.map, &link_path = swap.link;
    const bytes map = build_map(build_lump({{"textures/a", 0x00500000, 0x1}}), 200);
    ASSERT_TRUE(write_bytes(map_path, map));
    ASSERT_TRUE(write_bytes(dir / "harmless.txt", bytes{'h'}));
    ASSERT_EQ(symlink((dir / "harmless.txt").c_str(), link_path.c_str()), 0);
    std::vector<std::string> args = {"lumpsmith", "-se", map_path, link_path};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    before_io(IO_READ, 1, point_the_link_at_the_map, &swap);
    const int status = run_command_line(static_cast<int>(args.size()), argv.data());
    disarm_io();
    ASSERT_TRUE(swap.done);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(read_bytes(map_path), map);
    EXPECT_EQ(read_bytes(dir / "harmless.txt"), bytes{'h'});
}

}  // namespace
