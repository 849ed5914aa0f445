#include "bsp/bsp_lump.h"

#include <cstring>
#include <new>

texture_lump lump_of_size(std::size_t size)
{
    return texture_lump{std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]), size, size / RECORD_SIZE};
}

std::uint32_t load_u32le(const unsigned char *p)
{
    unsigned char b[4];
    std::memcpy(b, p, 4);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

void store_u32le(unsigned char *p, std::uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<unsigned char>(value >> (8 * k));
}

std::string_view name_of_record(const texture_lump &lump, std::size_t i)
{
    const char *text = reinterpret_cast<const char *>(lump.bytes.get() + i * RECORD_SIZE);
    const void *nul = std::memchr(text, '\0', NAME_SIZE);
    return std::string_view(text, nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - text) : NAME_SIZE);
}

std::uint32_t surface_flags_of_record(const texture_lump &lump, std::size_t i)
{
    return load_u32le(lump.bytes.get() + i * RECORD_SIZE + SURFACE_FLAGS_AT);
}

std::uint32_t content_flags_of_record(const texture_lump &lump, std::size_t i)
{
    return load_u32le(lump.bytes.get() + i * RECORD_SIZE + CONTENT_FLAGS_AT);
}

void set_record_surface_flags(texture_lump *lump, std::size_t i, std::uint32_t flags)
{
    store_u32le(lump->bytes.get() + i * RECORD_SIZE + SURFACE_FLAGS_AT, flags);
}

bool is_noshader(std::string_view name)
{
    return name == "noshader";
}
