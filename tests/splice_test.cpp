// Edited maps spliced into their original deflate streams: streams made
// here with zlib, with block boundaries where each case wants them, and
// every result inflated and held against the edited bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "pk3/splice.h"

namespace {

constexpr std::size_t LUMP_END = 1120;  // the edit changes bytes before it

// A map-like file of size bytes: words from a small vocabulary between
// bytes of any value, so that deflate finds back-references everywhere;
// from `repeat` on, the changed bytes come again, so that references after
// the edit reach into them.
std::string map_bytes(std::size_t size, std::size_t repeat = 0, std::uint32_t seed = 12345)
{
    const std::vector<std::string> words = {"wall", "floor", "sky", "crate", "metal", "water", "glass"};
    std::string data;
    std::uint32_t state = seed;
    while (data.size() < size) {
        state = state * 1103515245u + 12345u;
        data += words[(state >> 16) % words.size()];
        data += static_cast<char>(state >> 24);
    }
    data.resize(size);
    if (repeat != 0)
        data.replace(repeat, LUMP_END - 400, data, 400, LUMP_END - 400);
    return data;
}

struct flush_point {
    std::size_t at;
    int flush;          // Z_BLOCK, Z_SYNC_FLUSH or Z_FULL_FLUSH
    int level = -1;     // the level from there on, when set (0 makes stored blocks)
};

// A raw deflate stream of data at level 6, flushed at the points given.
std::string deflated(const std::string &data, const std::vector<flush_point> &points)
{
    z_stream z = {};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, data.size()) + 64 * points.size() + 64, '\0');
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    std::size_t from = 0;
    for (std::size_t p = 0; p <= points.size(); ++p) {
        const std::size_t to = p < points.size() ? points[p].at : data.size();
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + from));
        z.avail_in = static_cast<uInt>(to - from);
        EXPECT_EQ(deflate(&z, p < points.size() ? points[p].flush : Z_FINISH), p < points.size() ? Z_OK : Z_STREAM_END);
        if (p < points.size() && points[p].level >= 0) {
            EXPECT_EQ(deflateParams(&z, points[p].level, Z_DEFAULT_STRATEGY), Z_OK);
        }
        from = to;
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::uint32_t crc_of(const std::string &data)
{
    return static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef *>(data.data()), data.size()));
}

TEST(Splice, EachStreamDecodesToTheEditedBytes)
{
    struct shape {
        const char *what;
        std::string data;
        std::vector<flush_point> points;
        bool spliced;
    };
    std::vector<shape> shapes = {
        {"references into the lump, a boundary only past 32 KiB", map_bytes(100000, 2000),
         {{LUMP_END, Z_SYNC_FLUSH}, {LUMP_END + 40000, Z_BLOCK}}, true},
        {"no boundary at all", map_bytes(9000), {}, false},
        {"stored blocks in the tail", map_bytes(100000), {{LUMP_END, Z_FULL_FLUSH, 0}, {60000, Z_BLOCK, 6}}, true},
        {"a final block just after the change", map_bytes(3000), {{LUMP_END + 7, Z_FULL_FLUSH}}, true},
        {"shorter than the lump's end and 32 KiB", map_bytes(LUMP_END + 500), {{LUMP_END, Z_FULL_FLUSH}}, true},
        {"a boundary before the change only", map_bytes(9000), {{LUMP_END - 300, Z_FULL_FLUSH}}, false},
    };
    // Other bytes before the boundary put it at other bit positions.
    for (std::uint32_t seed = 1; seed <= 12; ++seed)
        shapes.push_back({"a boundary right after the lump", map_bytes(100000, 0, seed), {{LUMP_END, Z_FULL_FLUSH}}, true});
    for (const shape &s : shapes) {
        SCOPED_TRACE(s.what);
        const std::string stream = deflated(s.data, s.points);
        std::string data;
        std::vector<block_boundary> blocks;
        ASSERT_EQ(inflate_noting_blocks(stream, s.data.size(), crc_of(s.data), &data, &blocks), "");
        ASSERT_EQ(data, s.data);
        for (unsigned char flip = 1; flip <= 8; ++flip) {
            std::string edited = data;
            for (std::size_t at = 500 + flip; at < LUMP_END; at += 97)
                edited[at] = static_cast<char>(edited[at] ^ (flip * 37));
            edited[LUMP_END - 1] = static_cast<char>(0x80 + flip * 15);
            std::string out;
            EXPECT_EQ(splice_stream(stream, blocks, edited, LUMP_END, &out), s.spliced);
            if (!s.spliced)
                continue;
            std::string back;
            std::vector<block_boundary> ignored;
            EXPECT_EQ(inflate_noting_blocks(out, edited.size(), crc_of(edited), &back, &ignored), "");
            EXPECT_TRUE(back == edited);
        }
    }
}

// What a stream claims is checked as it inflates.
TEST(Splice, AStreamThatIsNotWhatTheArchiveSaysIsRefused)
{
    const std::string data = map_bytes(5000), stream = deflated(data, {});
    std::string out;
    std::vector<block_boundary> blocks;
    EXPECT_EQ(inflate_noting_blocks(stream, 0xFFFFFFFEu, crc_of(data), &out, &blocks),
              "it inflates to fewer than the 4294967294 bytes the archive says");
    EXPECT_LT(out.capacity(), std::size_t{1} << 20);
    EXPECT_EQ(inflate_noting_blocks(stream, 4999, crc_of(data), &out, &blocks),
              "it inflates to more than the 4999 bytes the archive says");
    EXPECT_EQ(inflate_noting_blocks(stream, 5000, crc_of(data) ^ 1, &out, &blocks), "its CRC is not the one the archive says");
    EXPECT_EQ(inflate_noting_blocks(stream.substr(0, stream.size() / 2), 5000, crc_of(data), &out, &blocks),
              "it cannot be inflated");
}

}  // namespace
