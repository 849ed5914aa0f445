#include "game/bot_file.h"

#include <md4.h>

#include <cstring>

#include "bsp/bsp_lump.h"

namespace {

constexpr unsigned char IDENT[4] = {'E', 'A', 'A', 'S'};

// The byte a version-5 header's byte at is XORed with.
unsigned char obfuscation(const unsigned char *header, std::size_t at)
{
    return load_u32le(header + 4) == 5 ? static_cast<unsigned char>((at - BOT_CHECKSUM_AT) * 119) : 0;
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
    unsigned char digest[MD4_DIGEST_LENGTH];
    MD4Init(&context);
    MD4Update(&context, map, size);
    MD4Final(digest, &context);
    return load_u32le(digest) ^ load_u32le(digest + 4) ^ load_u32le(digest + 8) ^ load_u32le(digest + 12);
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
