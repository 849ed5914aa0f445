// The import's lookup of texture names: grouping the records by name once
// makes an import linear in lines + records, not lines x records.
#ifndef LUMPSMITH_RECORD_INDEX_H
#define LUMPSMITH_RECORD_INDEX_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bsp/bsp_lump.h"

constexpr std::int16_t NO_SURFACE = -1;  // none noted for a group yet

// The lump's records grouped by name, so the last line for a name wins
// however many records bear it. Linear probing from name_hash(name) & mask;
// a slot holds 1 + a group's first record, whose name is read from the lump.
// A quarter full at most, so that most lines naming no record probe to an
// empty slot. (std::unordered_map in its place cost a real-size import 40 %
// more instructions: see bench/NOTES.md.)
struct record_index {
    const texture_lump *lump;
    std::vector<std::uint32_t> slots;  // 0: empty
    std::size_t mask;                  // slots.size() - 1, a power of two less one
    std::vector<std::uint32_t> group;  // per record: the first record bearing its name
    std::vector<std::int16_t> noted;   // per group (at its first record): the surface to set
};

// SipHash-1-3 of name under a key drawn at random once per run, so that no
// map's names can be chosen to share a slot and make an import quadratic.
std::uint64_t name_hash(std::string_view name);

// Groups the lump's records by name, no surface noted. The lump must outlive
// the index with its names as they were, for note_surface reads them there;
// apply_noted reads no names, so it may set flags in that same lump.
void index_records(const texture_lump &lump, record_index *index);
// Notes surface for every record named exactly name; false when no record is.
bool note_surface(record_index *index, std::string_view name, unsigned surface);
// Sets the noted surfaces into lump, whose records are the indexed ones; returns how many.
std::size_t apply_noted(const record_index &index, texture_lump *lump);

#endif
