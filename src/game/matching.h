// The import's matching, for the companions: on a surface file read as it
// comes, for the preview, and on one held in memory, for those that match
// one file against many maps.
#ifndef LUMPSMITH_MATCHING_H
#define LUMPSMITH_MATCHING_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "bsp/map_file.h"
#include "commands/texture_commands.h"

// Matches text, the bytes of the surface file at text_path, against the map
// at map_path as the import does: *edited becomes the lump the import would
// write, *changed the number of records whose surface flags it changes, and
// *said, when given, the Error lines the import would print. Fails only
// when memory runs out: OUT_OF_MEMORY naming the map while matching, the
// surface file when there is no room for the edited lump.
failure match_surface_text(const map_reading &map, const char *map_path, const std::string &text, const char *text_path,
                           texture_lump *edited, std::size_t *changed, std::string *said);

// Matches the surface file's lines against the map as the import does, with
// an "Error: Unknown surface" line on err for each unknown one, and makes
// *edited the lump the import would write; INPUT_UNREADABLE when a line
// could not be read, OUT_OF_MEMORY when there is no room for *edited.
failure build_edited_lump(const map_reading &map, named_file surfaces, std::FILE *err, texture_lump *edited);
// Cuts text, a surface file held in memory, into pieces as the import cuts
// the lines it reads from a file, and hands each to take in order.
void for_each_surface_piece(const std::string &text, const std::function<void(const surface_piece &)> &take);
// Reads the surface file whole into *text; INPUT_UNREADABLE when a read failed.
failure read_surface_text(named_file file, std::string *text);
// The Error lines an import of text, the surface file at text_path, would
// print whatever the map: an unknown surface, CR LF line ends.
std::string surface_text_errors(const std::string &text, const char *text_path);

#endif
