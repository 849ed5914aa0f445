// An edited file packed without compressing it all again. An edit changes
// only bytes near the start of a map (its texture lump) or a bot file (its
// checksum), and a deflate stream is a chain of blocks: from a block
// boundary on, the original stream decodes to the same bytes after any head
// whose last 32 KiB (the window a back-reference can reach) decode its next
// 32 KiB alike. So the head is deflated again and the rest of the original
// stream is copied as it is, at its own bit position, so that no stored
// block in it moves off its byte alignment:
//
//   original  [ block | block | block ... final ]      boundary at bit B
//                          ^ last changed byte     ^ B
//   spliced   [ head, deflated again | sync | empty blocks ][ original from B ]
//                                             ends at bit B mod 8
//
// Raw deflate streams only (zip's method 8), built and checked with zlib.
#ifndef LUMPSMITH_SPLICE_H
#define LUMPSMITH_SPLICE_H

#include <cstdint>
#include <string>
#include <vector>

// The level every entry of an override is deflated at, spliced heads too: zip -6's.
constexpr int DEFLATE_LEVEL = 6;

// Where one block ends and the next begins: its bit in the compressed
// stream, and how many bytes the blocks before it decode to.
struct block_boundary {
    std::uint64_t bit;
    std::uint64_t out;
};

// Inflates stream, a raw deflate stream that must decode to size bytes with
// CRC-32 crc, into *data, growing it as the bytes come; notes each boundary
// before a block that is not the first. "" or the words of why not.
std::string inflate_noting_blocks(const std::string &stream, std::uint64_t size, std::uint32_t crc, std::string *data,
                                  std::vector<block_boundary> *boundaries);
// The raw deflate stream of edited, which differs from what stream decodes
// to only before changed_end, spliced into stream at a boundary of it past
// changed_end where that decodes alike (level 6 for the head, as zip -6);
// false, with *out untouched, where no boundary serves, and the caller
// deflates it whole.
bool splice_stream(const std::string &stream, const std::vector<block_boundary> &boundaries, const std::string &edited,
                   std::uint64_t changed_end, std::string *out);

#endif
