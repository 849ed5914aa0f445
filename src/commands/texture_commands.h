// The commands that work on a map's texture records: the listing (-tl), the
// surface file export (-se) and its import (-si).
// Surface file: plain text, one "texture name = surface name\n" line per
// exported record. A reader splits a line at its first " = " and ignores
// lines without one; nothing is trimmed or unquoted.
#ifndef LUMPSMITH_TEXTURE_COMMANDS_H
#define LUMPSMITH_TEXTURE_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "bsp/map_file.h"

// Sky (0x04) and nodraw (0x80) surfaces get no surface file line, nor do
// records whose contents lack bit 0x1.
constexpr std::uint32_t EXPORT_SKIP_FLAGS = 0x84;
constexpr std::uint32_t CONTENTS_REQUIRED_BIT = 0x1;
// The import reads 127 characters at most at a time: a longer line is several.
constexpr std::size_t LINE_BUFFER_SIZE = 128;

// Writes "Textures:" and a "0x%08x - name" line per record not named
// "noshader" to out, names escaped for_terminal; OUTPUT_UNWRITABLE when out
// could not be written. err is not used.
failure list_textures(const map_reading &map, named_file out, bool for_terminal, std::FILE *err);
// The same for one "name = surface" line per exported record. A record whose
// name would not read back gets an "Error: Not exporting record" line on err.
failure export_surface_file(const map_reading &map, named_file out, bool for_terminal, std::FILE *err);

// Reads the map and the surface file as the import does, an "Error: Unknown
// surface" line on err unless null, and makes *edited the lump it would
// write. The map's failures come first, then INPUT_UNREADABLE.
failure preview_surface_file(named_file map, named_file surfaces, std::FILE *err, map_reading *reading,
                             texture_lump *edited);
// Matches the lines as above, then rewrite_lump with their surfaces set;
// MAP_CHANGED when the fresh records are not those the lines matched.
failure import_surface_file(named_file map, named_file surfaces, std::FILE *err);

#endif
