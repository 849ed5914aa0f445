#include <gtest/gtest.h>

#include "bsp/bsp_lump.h"
#include "test_support.h"

namespace {

TEST(LittleEndian, LoadsAndStoresLowByteFirst)
{
    const unsigned char table[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(load_u32le(table), 0x12345678u);
    unsigned char out[4];
    store_u32le(out, 0xfedcba98u);
    EXPECT_EQ(bytes(out, out + 4), (bytes{0x98, 0xba, 0xdc, 0xfe}));
}

TEST(RecordName, EndsAtFirstNulOrFillsTheField)
{
    const std::string full(64, 'x');
    const std::vector<map_record> records = {
        {full, 0, 0}, {std::string("ab\0cd", 5), 0, 0}, {"", 0, 0}};
    const texture_lump view = lump_of(build_lump(records));
    EXPECT_EQ(name_of_record(view, 0), full);
    EXPECT_EQ(name_of_record(view, 1), "ab");
    EXPECT_EQ(name_of_record(view, 2), "");
}

TEST(RecordName, OnlyExactNoshaderIsNoshader)
{
    const std::vector<map_record> records = {{std::string("noshader\0junk", 13), 0, 0},
                                             {"noshaders", 0, 0},
                                             {"NoShader", 0, 0},
                                             {"noshade", 0, 0},
                                             {"noshader" + std::string(56, 'x'), 0, 0}};
    const texture_lump view = lump_of(build_lump(records));
    EXPECT_TRUE(is_noshader(name_of_record(view, 0)));
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_FALSE(is_noshader(name_of_record(view, i))) << records[i].name;
}

}  // namespace
