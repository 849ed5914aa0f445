#include <gtest/gtest.h>
#include <unistd.h>

#include "bsp/bsp_lump.h"
#include "test_support.h"

namespace {

const std::vector<map_record> TWO_RECORDS = {
    {"textures/base/floor_metal", 0x00500000, 0x1},
    {"textures/outdoor/sky_dusk", 0x00000004, 0x1},
};

lump_status load(const bytes &map, bsp_header *header, texture_lump *lump)
{
    std::FILE *f = stream_of(map);
    const lump_status status = read_map(f, header, lump);
    std::fclose(f);
    return status;
}

TEST(LittleEndian, LoadsAndStoresLowByteFirst)
{
    const unsigned char table[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(load_u32le(table), 0x12345678u);
    unsigned char out[4];
    store_u32le(out, 0xfedcba98u);
    EXPECT_EQ(bytes(out, out + 4), (bytes{0x98, 0xba, 0xdc, 0xfe}));
}

TEST(ReadMap, ReadsLumpAtItsOffsetWithRecordFields)
{
    const bytes lump = build_lump(TWO_RECORDS);
    bsp_header header;
    texture_lump read;
    ASSERT_EQ(load(build_map(lump, 300, 10), &header, &read), LUMP_OK);
    EXPECT_EQ(header.lump_offset, 300u);
    EXPECT_EQ(header.lump_length, 144u);
    ASSERT_EQ(read.record_count, 2u);
    EXPECT_EQ(bytes(read.bytes, read.bytes + read.length), lump);
    const record_name name = name_of_record(read, 1);
    EXPECT_EQ(std::string(name.text, name.length), "textures/outdoor/sky_dusk");
    EXPECT_EQ(surface_flags_of_record(read, 0), 0x00500000u);
    EXPECT_EQ(content_flags_of_record(read, 1), 0x1u);
    release_texture_lump(&read);
    EXPECT_EQ(read.bytes, nullptr);
}

TEST(ReadMap, EveryTruncationIsRefusedWithTheRightReason)
{
    // The lump runs to the very end, so every shorter file loses part of it.
    const bytes map = build_map(build_lump(TWO_RECORDS, 5), 200);
    for (std::size_t length = 0; length < map.size(); ++length) {
        bsp_header header;
        texture_lump lump;
        const lump_status status = load(bytes(map.begin(), map.begin() + length), &header, &lump);
        EXPECT_EQ(status, length < HEADER_SIZE ? LUMP_SHORT_HEADER : LUMP_OUTSIDE_FILE) << "length " << length;
        EXPECT_EQ(lump.bytes, nullptr);
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
        bsp_header header;
        texture_lump read;
        bytes map = build_map(lump, 300);
        store_u32le(map.data() + LUMP_OFFSET_AT, b.offset);
        store_u32le(map.data() + LUMP_LENGTH_AT, b.length);
        EXPECT_EQ(load(map, &header, &read), LUMP_OUTSIDE_FILE) << b.offset << "+" << b.length;
        EXPECT_EQ(read.bytes, nullptr);
    }
}

TEST(ReadMap, LumpOverlappingTheHeaderIsRefusedUnlessEmpty)
{
    // An import would rewrite other lumps' directory entries in the header.
    bsp_header header;
    texture_lump lump;
    for (std::uint32_t offset : {0u, 1u, 100u, 143u}) {
        bytes map = build_map(bytes(), 400);
        store_u32le(map.data() + LUMP_OFFSET_AT, offset);
        store_u32le(map.data() + LUMP_LENGTH_AT, 1);
        EXPECT_EQ(load(map, &header, &lump), LUMP_OVERLAPS_HEADER) << offset;
        EXPECT_EQ(lump.bytes, nullptr);
        store_u32le(map.data() + LUMP_LENGTH_AT, 0);
        ASSERT_EQ(load(map, &header, &lump), LUMP_OK) << offset;
        EXPECT_EQ(lump.record_count, 0u);
        release_texture_lump(&lump);
    }
    ASSERT_EQ(load(build_map(bytes(1, 'x'), HEADER_SIZE), &header, &lump), LUMP_OK);
    EXPECT_EQ(lump.length, 1u);
    release_texture_lump(&lump);
}

TEST(ReadMap, DirectoriesAndPipesAreRefused)
{
    temp_dir dir;
    bsp_header header;
    texture_lump lump;
    std::FILE *directory = std::fopen(dir.path.c_str(), "rb");
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(read_map(directory, &header, &lump), LUMP_IS_DIRECTORY);
    std::fclose(directory);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE *pipe_end = fdopen(fds[0], "rb");
    EXPECT_EQ(read_map(pipe_end, &header, &lump), LUMP_NOT_SEEKABLE);
    std::fclose(pipe_end);
    close(fds[1]);
}

TEST(TextureLump, PartialTrailingRecordIsCarriedAndWrittenBackUnchanged)
{
    const bytes lump = build_lump(TWO_RECORDS, 6);  // 150 bytes
    const bytes map = build_map(lump, 160, 40);
    std::FILE *f = stream_of(map);
    bsp_header header;
    texture_lump read;
    ASSERT_EQ(read_map(f, &header, &read), LUMP_OK);
    EXPECT_EQ(read.record_count, 2u);
    set_record_surface_flags(&read, 0, 0xdeadbeef);
    ASSERT_EQ(write_texture_lump(f, header, read), LUMP_OK);
    release_texture_lump(&read);

    bytes expected = map;
    store_u32le(expected.data() + 160 + SURFACE_FLAGS_AT, 0xdeadbeef);
    EXPECT_EQ(contents_of(f), expected);
    std::fclose(f);
}

TEST(TextureLump, WriteBackToAReadOnlyStreamFails)
{
    temp_dir dir;
    const bytes map = build_map(build_lump(TWO_RECORDS), 144);
    ASSERT_TRUE(write_bytes(dir / "map.bsp", map));
    std::FILE *f = std::fopen((dir / "map.bsp").c_str(), "rb");
    bsp_header header;
    texture_lump lump;
    ASSERT_EQ(read_map(f, &header, &lump), LUMP_OK);
    EXPECT_EQ(write_texture_lump(f, header, lump), LUMP_WRITE_FAILED);
    release_texture_lump(&lump);
    std::fclose(f);
    EXPECT_EQ(read_bytes(dir / "map.bsp"), map);
}

TEST(RecordName, EndsAtFirstNulOrFillsTheField)
{
    const std::string full(64, 'x');
    const std::vector<map_record> records = {
        {full, 0, 0}, {std::string("ab\0cd", 5), 0, 0}, {"", 0, 0}};
    bytes lump = build_lump(records);
    texture_lump view{lump.data(), static_cast<std::uint32_t>(lump.size()), records.size()};
    EXPECT_EQ(name_of_record(view, 0).length, 64u);
    EXPECT_EQ(std::string(name_of_record(view, 0).text, 64), full);
    EXPECT_EQ(name_of_record(view, 1).length, 2u);
    EXPECT_EQ(name_of_record(view, 2).length, 0u);
}

TEST(RecordName, OnlyExactNoshaderIsNoshader)
{
    const std::vector<map_record> records = {{std::string("noshader\0junk", 13), 0, 0},
                                             {"noshaders", 0, 0},
                                             {"NoShader", 0, 0},
                                             {"noshade", 0, 0},
                                             {"noshader" + std::string(56, 'x'), 0, 0}};
    bytes lump = build_lump(records);
    texture_lump view{lump.data(), static_cast<std::uint32_t>(lump.size()), records.size()};
    EXPECT_TRUE(is_noshader(name_of_record(view, 0)));
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_FALSE(is_noshader(name_of_record(view, i))) << records[i].name;
}

}  // namespace
