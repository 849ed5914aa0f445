// The commands that work on a map's texture records: the listing (-tl), the
// surface file export (-se) and its import (-si).
//
// Surface file: plain text, one "texture name = surface name\n" line per
// exported record. A reader splits a line at its first " = " and ignores
// lines without one; nothing is trimmed or unquoted.
#ifndef LUMPSMITH_TEXTURE_COMMANDS_H
#define LUMPSMITH_TEXTURE_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "bsp/bsp_lump.h"

// Sky (0x04) and nodraw (0x80) surfaces never get a surface file line, nor
// do records whose contents lack bit 0x1.
constexpr std::uint32_t EXPORT_SKIP_FLAGS = 0x84;
constexpr std::uint32_t CONTENTS_REQUIRED_BIT = 0x1;
// The import reads at most 127 characters at a time; a longer line is
// handled as several lines.
constexpr std::size_t LINE_BUFFER_SIZE = 128;

// Writes "Textures:" and one "0x%08x - name" line per record not named
// "noshader" to out; on a map that cannot be read, returns its failure
// having written nothing; LUMP_OUTPUT_FAILED when out could not be written.
lump_status list_textures(std::FILE *bsp, std::FILE *out);

// True when record i gets a surface file line: flags & 0x84 clear, contents
// bit 0x1 set, name not exactly "noshader".
bool is_exported(const texture_lump &lump, std::size_t i);
// Why a record named name cannot have a surface file line that the import
// would read back as that name (a line feed, a " = " in it or ending it), or
// nullptr when it can.
const char *name_read_back_fault(record_name name);
// Writes one "name = surface" line per exported record to out, in lump
// order. A record whose name would not read back gets no line but an
// "Error: Not exporting record" line on err. On a map that cannot be read,
// returns its failure having written nothing; LUMP_OUTPUT_FAILED when out
// could not be written.
lump_status export_surface_file(std::FILE *bsp, std::FILE *out, std::FILE *err);
// Writes text between double quotes, with bytes below 0x20 and 0x7F as \r,
// \n, \t or \xHH, so that no byte from a file can drive the terminal.
void write_quoted(std::FILE *err, const char *text, std::size_t length);

// Reads the map, applies every line of surface_file in order, then writes the
// lump back in place and syncs it. A map that cannot be read is returned as
// a failure before any line is read. The map is left as it was when
// surface_file cannot be read to its end (LUMP_INPUT_FAILED), when bsp_path
// (if not null) no longer names the open map or the map changed since it
// was read (LUMP_MAP_CHANGED), when the disk has no room for the lump
// (LUMP_NO_SPACE), and as far as it can be when the write or sync fails.
lump_status import_surface_file(std::FILE *bsp, const char *bsp_path, std::FILE *surface_file, std::FILE *err);

#endif
