// A plain reading of maps and surface files, written without the tool's
// code, for tests to hold the tool's output against: the fuzz target and
// the real-map check.
#ifndef LUMPSMITH_PLAIN_READING_H
#define LUMPSMITH_PLAIN_READING_H

#include <cstdint>
#include <string>
#include <vector>

#include "map_builder.h"

struct plain_record {
    std::string name;
    std::size_t flags_at;  // offset of the surface flags in the map
    std::uint32_t flags;
    std::uint32_t contents;
};

struct plain_map {
    bool readable;  // no zip archive; header and lump lie in the file, the lump after the header
    std::vector<plain_record> records;
};

plain_map read_plainly(const bytes &map);
// A surface-flags word's surface as the export writes it.
std::string surface_text(std::uint32_t flags);
// What -tl must print for the map.
std::string expected_listing(const plain_map &m);
// What -se must print, and how many records it must refuse for names that
// would not read back.
std::string expected_export(const plain_map &m, std::size_t *refused);
// text in double quotes with control bytes escaped, as error lines show it.
std::string in_quotes(const std::string &text);

struct plain_import {
    bytes map;
    std::string err;
    std::vector<bool> named;  // per record: some line named it
};

// What -si must do to the map with the surface file text, and say.
plain_import import_plainly(const bytes &map, const plain_map &m, const bytes &text);
// True when every byte that differs lies in the top twelve bits of the
// surface flags of a record marked in named.
bool only_named_surfaces_changed(const bytes &before, const bytes &after, const plain_map &m,
                                 const std::vector<bool> &named);

#endif
