// The one piece of a BSP file this tool understands: the header fields that
// locate the texture lump, and the 72-byte texture records packed in it.
// Bytes only; reading and writing the file is map_file's.
#ifndef LUMPSMITH_BSP_LUMP_H
#define LUMPSMITH_BSP_LUMP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// Header, the first 144 bytes of the file (all integers little-endian):
//   0         16            20            24                        144
//   +---------+-------------+-------------+-------------------------+
//   | ignored | lump_offset | lump_length |         ignored         |
//   +---------+-------------+-------------+-------------------------+
constexpr std::size_t HEADER_SIZE = 144;
constexpr std::size_t LUMP_OFFSET_AT = 16;
constexpr std::size_t LUMP_LENGTH_AT = 20;

// Texture record, packed back to back from the lump's first byte; trailing
// bytes that do not make a whole record are carried but never interpreted:
//   0                                  64              68              72
//   +----------------------------------+---------------+---------------+
//   | name (NUL-terminated, or all 64) | surface_flags | content_flags |
//   +----------------------------------+---------------+---------------+
constexpr std::size_t RECORD_SIZE = 72;
constexpr std::size_t NAME_SIZE = 64;
constexpr std::size_t SURFACE_FLAGS_AT = 64;
constexpr std::size_t CONTENT_FLAGS_AT = 68;

static_assert(LUMP_LENGTH_AT + 4 <= HEADER_SIZE, "lump fields lie inside the header");
static_assert(NAME_SIZE == SURFACE_FLAGS_AT, "flags follow the name field directly");
static_assert(CONTENT_FLAGS_AT + 4 == RECORD_SIZE, "a record ends with its content flags");

// Where the header says the lump lies; the rest of it is never looked at.
struct bsp_header {
    std::uint32_t lump_offset;
    std::uint32_t lump_length;
};

// The lump exactly as it lies in the file, lump_length bytes.
struct texture_lump {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size;
    std::size_t record_count;  // size / RECORD_SIZE
};

// A lump of size bytes for a read to fill, so they are not zeroed; its
// bytes are null when there is no memory for them.
texture_lump lump_of_size(std::size_t size);
// Load and store a little-endian 32-bit value at p.
std::uint32_t load_u32le(const unsigned char *p);
void store_u32le(unsigned char *p, std::uint32_t value);

// Record i's fields; i must be below lump.record_count. A name runs to the
// first NUL of its field, or fills all NAME_SIZE bytes.
std::string_view name_of_record(const texture_lump &lump, std::size_t i);
std::uint32_t surface_flags_of_record(const texture_lump &lump, std::size_t i);
std::uint32_t content_flags_of_record(const texture_lump &lump, std::size_t i);
void set_record_surface_flags(texture_lump *lump, std::size_t i, std::uint32_t flags);
// True when the name is exactly "noshader" (in the field: followed by a NUL).
bool is_noshader(std::string_view name);

#endif
