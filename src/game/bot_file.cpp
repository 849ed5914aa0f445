#include "game/bot_file.h"

#include <md4.h>

#include <algorithm>
#include <cstring>

#include "bsp/bsp_lump.h"
#include "bsp/file_io.h"

namespace {

constexpr unsigned char IDENT[4] = {'E', 'A', 'A', 'S'};

// The byte a version-5 header's byte at is XORed with.
unsigned char obfuscation(const unsigned char *header, std::size_t at)
{
    return load_u32le(header + 4) == 5 ? static_cast<unsigned char>((at - BOT_CHECKSUM_AT) * 119) : 0;
}

std::uint32_t folded_digest(MD4_CTX *context)
{
    unsigned char digest[MD4_DIGEST_LENGTH];
    MD4Final(digest, context);
    return load_u32le(digest) ^ load_u32le(digest + 4) ^ load_u32le(digest + 8) ^ load_u32le(digest + 12);
}

}  // namespace

std::string bot_file_of(std::string_view map_path)
{
    const bool bsp = map_path.size() > 4 && map_path.substr(map_path.size() - 4) == ".bsp";
    return std::string(map_path.substr(0, map_path.size() - (bsp ? 4 : 0))) + ".aas";
}

std::uint32_t map_checksum(const unsigned char *map, std::size_t size)
{
    MD4_CTX context;
    MD4Init(&context);
    MD4Update(&context, map, size);
    return folded_digest(&context);
}

int file_checksum(std::FILE *stream, std::uint64_t size, std::uint32_t *checksum)
{
    MD4_CTX context;
    MD4Init(&context);
    unsigned char piece[1 << 16];
    for (std::uint64_t at = 0; at < size; at += sizeof piece) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, sizeof piece));
        if (const int error = io_read_at(stream, piece, n, at))
            return error;
        MD4Update(&context, piece, n);
    }
    *checksum = folded_digest(&context);
    return 0;
}

bool recorded_checksum(const unsigned char *header, std::size_t size, std::uint32_t *checksum)
{
    if (size < BOT_FILE_HEADER_SIZE || std::memcmp(header, IDENT, sizeof IDENT) != 0 ||
        (load_u32le(header + 4) != 4 && load_u32le(header + 4) != 5))
        return false;
    unsigned char plain[4];
    for (std::size_t k = 0; k < 4; ++k)
        plain[k] = header[BOT_CHECKSUM_AT + k] ^ obfuscation(header, BOT_CHECKSUM_AT + k);
    *checksum = load_u32le(plain);
    return true;
}

void record_checksum(unsigned char *header, std::uint32_t checksum)
{
    store_u32le(header + BOT_CHECKSUM_AT, checksum);
    for (std::size_t k = 0; k < 4; ++k)
        header[BOT_CHECKSUM_AT + k] ^= obfuscation(header, BOT_CHECKSUM_AT + k);
}
