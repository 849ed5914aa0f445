#include "pk3/splice.h"

// Input that zlib reads is const.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t WINDOW = 32768;         // the farthest a back-reference reaches
constexpr std::size_t FIRST_OUTPUT = 1 << 16;  // what inflating grows from, whatever size is claimed
constexpr std::size_t MOST_TRIES = 8;         // boundaries tried before deflating whole
constexpr std::size_t MOST_MOVED = 32;        // head bytes moved into a literal block to set the parity
constexpr unsigned CHUNK = 1u << 30;          // what one zlib call is handed, within its 32-bit counts

// Fixed-Huffman blocks (RFC 1951, 3.2.6), written bit by bit: a header of
// BFINAL 0 and BTYPE 01, literals, and the end-of-block code.
constexpr std::uint32_t FIXED_HEADER = 1u << 1;  // BFINAL in bit 0, then BTYPE 01
constexpr int HEADER_BITS = 3, END_OF_BLOCK_BITS = 7;
constexpr unsigned FIRST_9_BIT_LITERAL = 144;
static_assert(HEADER_BITS + END_OF_BLOCK_BITS == 10, "an empty fixed block moves the bit position by 2 mod 8");

// Bits packed from the least significant on, as deflate packs them.
struct bit_writer {
    std::string *out;
    std::uint32_t pending = 0;
    int count = 0;  // bits in pending, below 8 between calls
};

void put_bits(bit_writer *w, std::uint32_t value, int bits)
{
    w->pending |= value << w->count;
    for (w->count += bits; w->count >= 8; w->count -= 8, w->pending >>= 8)
        w->out->push_back(static_cast<char>(w->pending & 0xFF));
}

// Huffman codes go most significant bit first.
void put_code(bit_writer *w, std::uint32_t code, int bits)
{
    std::uint32_t reversed = 0;
    for (int k = 0; k < bits; ++k)
        reversed |= ((code >> k) & 1u) << (bits - 1 - k);
    put_bits(w, reversed, bits);
}

void put_fixed_block(bit_writer *w, const unsigned char *literals, std::size_t count)
{
    put_bits(w, FIXED_HEADER, HEADER_BITS);
    for (std::size_t k = 0; k < count; ++k)
        if (literals[k] < FIRST_9_BIT_LITERAL)
            put_code(w, 0x30u + literals[k], 8);
        else
            put_code(w, 0x190u + literals[k] - FIRST_9_BIT_LITERAL, 9);
    put_code(w, 0, END_OF_BLOCK_BITS);
}

struct inflater {
    z_stream z = {};
    bool started = inflateInit2(&z, -MAX_WBITS) == Z_OK;
    ~inflater() { inflateEnd(&z); }
};

// True when stream, read from its bit `bit` on with window as what came
// before, decodes to at least the expected bytes.
bool decodes_alike(const std::string &stream, std::uint64_t bit, const std::string &window, const char *expected,
                   std::size_t size)
{
    inflater in;
    if (!in.started || (!window.empty() && inflateSetDictionary(&in.z, reinterpret_cast<const Bytef *>(window.data()),
                                                                static_cast<uInt>(window.size())) != Z_OK))
        return false;
    std::uint64_t byte = bit / 8;
    if (bit % 8 != 0 && inflatePrime(&in.z, static_cast<int>(8 - bit % 8),
                                     static_cast<unsigned char>(stream[byte++]) >> (bit % 8)) != Z_OK)
        return false;
    std::unique_ptr<char[]> out(new char[size == 0 ? 1 : size]);
    in.z.next_out = reinterpret_cast<Bytef *>(out.get());
    in.z.avail_out = static_cast<uInt>(size);
    int ret = Z_OK;
    while (ret == Z_OK && in.z.avail_out > 0 && byte < stream.size()) {
        const unsigned given = static_cast<unsigned>(std::min<std::uint64_t>(stream.size() - byte, CHUNK));
        in.z.next_in = reinterpret_cast<const Bytef *>(stream.data() + byte);
        in.z.avail_in = given;
        ret = inflate(&in.z, Z_NO_FLUSH);
        byte += given - in.z.avail_in;
    }
    return in.z.avail_out == 0 && std::memcmp(out.get(), expected, size) == 0;
}

// The head, edited[0, end), as a non-final raw deflate stream that ends on a
// byte boundary; false when zlib failed.
bool deflate_head(const std::string &edited, std::size_t end, std::string *out)
{
    z_stream z = {};
    if (deflateInit2(&z, DEFLATE_LEVEL, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    // A sync flush adds an empty stored block of 5 bytes to what a finish would need.
    out->assign(deflateBound(&z, end) + 16, '\0');
    z.next_in = reinterpret_cast<const Bytef *>(edited.data());
    z.avail_in = static_cast<uInt>(end);
    z.next_out = reinterpret_cast<Bytef *>(out->data());
    z.avail_out = static_cast<uInt>(out->size());
    const bool done = deflate(&z, Z_SYNC_FLUSH) == Z_OK && z.avail_in == 0 && z.avail_out > 0;
    out->resize(z.total_out);
    deflateEnd(&z);
    return done;
}

// How many of the head's last bytes, moved into a fixed block of literals,
// make that block's length odd (an odd number of 9-bit literals); 0 when
// none of the last MOST_MOVED does.
std::size_t bytes_to_move(const std::string &edited, std::size_t end)
{
    std::size_t long_codes = 0;
    for (std::size_t m = 1; m <= std::min(end, MOST_MOVED); ++m)
        if ((long_codes += static_cast<unsigned char>(edited[end - m]) >= FIRST_9_BIT_LITERAL) % 2 == 1)
            return m;
    return 0;
}

// The spliced stream at one boundary; false where it cannot be made there.
bool splice_at(const std::string &stream, const block_boundary &b, const std::string &edited, std::string *out)
{
    const std::size_t cut = static_cast<std::size_t>(b.out);
    const std::size_t window = std::min(cut, WINDOW), checked = std::min(edited.size() - cut, WINDOW);
    if (!decodes_alike(stream, b.bit, edited.substr(cut - window, window), edited.data() + cut, checked))
        return false;
    // Empty fixed blocks move the end of the head by 2 bits mod 8; an odd
    // bit position needs a block of odd length first.
    const unsigned shift = static_cast<unsigned>(b.bit % 8);
    const std::size_t moved = shift % 2 == 1 ? bytes_to_move(edited, cut) : 0;
    std::string spliced;
    if ((shift % 2 == 1 && moved == 0) || !deflate_head(edited, cut - moved, &spliced))
        return false;
    bit_writer w{&spliced};
    if (moved > 0)
        put_fixed_block(&w, reinterpret_cast<const unsigned char *>(edited.data()) + cut - moved, moved);
    for (int k = 0; k < 4 && static_cast<unsigned>(w.count) != shift; ++k)
        put_fixed_block(&w, nullptr, 0);
    if (static_cast<unsigned>(w.count) != shift)
        return false;
    // The original's first byte from the boundary on keeps its own bits
    // above the shift, below which the head's last bits go.
    std::size_t from = static_cast<std::size_t>(b.bit / 8);
    if (shift != 0) {
        const unsigned low = (1u << shift) - 1;
        spliced.push_back(static_cast<char>((w.pending & low) | (static_cast<unsigned char>(stream[from++]) & ~low)));
    }
    spliced.append(stream, from, std::string::npos);
    // Trust nothing made here: the head and the window past the cut must
    // decode to the edited bytes.
    if (!decodes_alike(spliced, 0, "", edited.data(), cut + checked))
        return false;
    *out = std::move(spliced);
    return true;
}

}  // namespace

std::string inflate_noting_blocks(const std::string &stream, std::uint64_t size, std::uint32_t crc, std::string *data,
                                  std::vector<block_boundary> *boundaries)
{
    inflater in;
    if (!in.started)
        return "zlib could not inflate it";
    boundaries->clear();
    data->assign(static_cast<std::size_t>(std::min<std::uint64_t>(size + 1, FIRST_OUTPUT)), '\0');
    std::uint64_t in_at = 0, out_at = 0;
    int ret = Z_OK;
    // One byte past the claimed size tells a stream that decodes to more.
    while (ret == Z_OK || (ret == Z_BUF_ERROR && out_at == data->size() && out_at <= size)) {
        if (out_at == data->size())
            data->resize(static_cast<std::size_t>(std::min<std::uint64_t>(size + 1, 2 * out_at)));
        const unsigned given_in = static_cast<unsigned>(std::min<std::uint64_t>(stream.size() - in_at, CHUNK));
        const unsigned given_out = static_cast<unsigned>(std::min<std::uint64_t>(data->size() - out_at, CHUNK));
        in.z.next_in = reinterpret_cast<const Bytef *>(stream.data() + in_at);
        in.z.avail_in = given_in;
        in.z.next_out = reinterpret_cast<Bytef *>(&(*data)[out_at]);
        in.z.avail_out = given_out;
        ret = inflate(&in.z, Z_BLOCK);
        in_at += given_in - in.z.avail_in;
        out_at += given_out - in.z.avail_out;
        // Between blocks no bits of a block are held, so fewer than 8 are unused.
        const bool between = (in.z.data_type & 128) != 0 && (in.z.data_type & 64) == 0;
        const std::uint64_t bit = in_at * 8 - static_cast<unsigned>(in.z.data_type & 7);
        if (ret == Z_OK && between && out_at > 0 && (boundaries->empty() || boundaries->back().bit != bit))
            boundaries->push_back({bit, out_at});
    }
    data->resize(static_cast<std::size_t>(out_at));
    if (ret != Z_STREAM_END && out_at <= size)
        return "it cannot be inflated";
    if (out_at != size)
        return "it inflates to " + std::string(out_at < size ? "fewer" : "more") + " than the " + std::to_string(size) +
               " bytes the archive says";
    if (crc32_z(0, reinterpret_cast<const Bytef *>(data->data()), data->size()) != crc)
        return "its CRC is not the one the archive says";
    return "";
}

bool splice_stream(const std::string &stream, const std::vector<block_boundary> &boundaries, const std::string &edited,
                   std::uint64_t changed_end, std::string *out)
{
    const auto first = std::lower_bound(boundaries.begin(), boundaries.end(), changed_end,
                                        [](const block_boundary &b, std::uint64_t at) { return b.out < at; });
    std::size_t tries = 0;
    for (auto b = first; b != boundaries.end() && tries < MOST_TRIES; ++b, ++tries)
        if (b->out <= edited.size() && splice_at(stream, *b, edited, out))
            return true;
    return false;
}
