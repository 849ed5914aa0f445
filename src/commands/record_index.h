// The import's lookup of texture names. Scanning every record for every
// line costs lines x records; grouping the records by name once makes an
// import linear in lines + records.
#ifndef LUMPSMITH_RECORD_INDEX_H
#define LUMPSMITH_RECORD_INDEX_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bsp/bsp_lump.h"

// No surface noted for a group yet.
constexpr std::int16_t NO_SURFACE = -1;

// SipHash-1-3 of a name under a key drawn at random once per run, so that
// no map's names can be chosen to fall into one bucket and make an import
// quadratic: the key is not known until the tool runs.
struct keyed_name_hash {
    std::size_t operator()(std::string_view name) const;
};

// The lump's records grouped by name. Each group is known by its first
// record; a line sets the surface of its name's group, so the last line for
// a name wins however many records bear it.
struct record_index {
    std::unordered_map<std::string_view, std::uint32_t, keyed_name_hash> groups;  // name: its first record
    std::vector<std::uint32_t> group;  // per record: the first record bearing its name
    std::vector<std::int16_t> noted;   // per group (at its first record): the surface to set
};

// Groups the lump's records by name, with no surface noted. The index
// refers to the lump's names, so the lump must outlive it unchanged.
void index_records(const texture_lump &lump, record_index *index);
// Notes surface for every record named exactly name; false when no record is.
bool note_surface(record_index *index, std::string_view name, unsigned surface);
// Sets the noted surfaces into lump, a lump with the same records in the
// same order as the indexed one; returns how many records were set.
std::size_t apply_noted(const record_index &index, texture_lump *lump);

#endif
