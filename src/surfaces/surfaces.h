// Surface (material) types: the fixed table of 32 names and how a surface
// index is kept in the top 12 bits of a record's surface_flags word.
#ifndef LUMPSMITH_SURFACES_H
#define LUMPSMITH_SURFACES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

//   31                    20 19                                       0
//   +-----------------------+------------------------------------------+
//   |     surface index     |  other flags (preserved, never changed)  |
//   +-----------------------+------------------------------------------+
constexpr unsigned SURFACE_SHIFT = 20;
constexpr std::uint32_t LOW_FLAGS_MASK = 0xFFFFF;
constexpr std::size_t SURFACE_COUNT = 32;
// "unknown (fff)" plus its NUL: twelve bits never need more than three digits.
constexpr std::size_t UNKNOWN_BUFFER_SIZE = 14;

static_assert(LOW_FLAGS_MASK == (1u << SURFACE_SHIFT) - 1, "the low flags end where the index begins");
static_assert(SURFACE_COUNT <= (0xFFFFFFFFu >> SURFACE_SHIFT) + 1, "every known index fits in the field");

extern const char *const surface_names[SURFACE_COUNT];

// Index 0..31 of the table entry equal to name (whole, case-sensitive), or -1.
int surface_index_of(std::string_view name);
// Table name of the word's surface index, or "unknown (%03x)" for an index
// above 31, in a buffer of the calling thread that its next unknown index
// overwrites.
const char *surface_name_of(std::uint32_t surface_flags);
// surface_flags with bits 20..31 replaced by index and bits 0..19 kept.
std::uint32_t set_surface_index(std::uint32_t surface_flags, unsigned index);
// Writes the -sl listing of all 32 names to out; returns 0.
int list_surfaces(std::FILE *out);

#endif
