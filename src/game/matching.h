// The import's matching on a surface file held in memory, for the
// companions that match one file against many maps.
#ifndef LUMPSMITH_MATCHING_H
#define LUMPSMITH_MATCHING_H

#include <cstddef>
#include <string>

#include "bsp/map_file.h"

// Matches text, the bytes of the surface file at text_path, against the map
// at map_path as the import does: *edited becomes the lump the import would
// write, *changed the number of records whose surface flags it changes, and
// *said, when given, the Error lines the import would print.
// OUT_OF_MEMORY names the map when memory runs out while matching, and the
// surface file when there is none for the edited lump, as
// build_edited_lump says; otherwise fails as build_edited_lump.
failure match_surface_text(const map_reading &map, const char *map_path, const std::string &text, const char *text_path,
                           texture_lump *edited, std::size_t *changed, std::string *said);

// Reads the surface file whole into *text; INPUT_UNREADABLE when a read failed.
failure read_surface_text(named_file file, std::string *text);
// The Error lines an import of text, the surface file at text_path, would
// print whatever the map: an unknown surface, CR LF line ends.
std::string surface_text_errors(const std::string &text, const char *text_path);

#endif
