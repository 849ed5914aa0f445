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
#include <string>
#include <string_view>

#include "bsp/map_file.h"

// Sky (0x04) and nodraw (0x80) surfaces never get a surface file line, nor
// do records whose contents lack bit 0x1.
constexpr std::uint32_t EXPORT_SKIP_FLAGS = 0x84;
constexpr std::uint32_t CONTENTS_REQUIRED_BIT = 0x1;
// The import reads at most 127 characters at a time; a longer line is
// handled as several lines.
constexpr std::size_t LINE_BUFFER_SIZE = 128;

// Writes "Textures:" and one "0x%08x - name" line per record not named
// "noshader" to out, names escaped when out is a terminal (for_terminal).
// A map that cannot be read is returned as the failure with nothing
// written; LUMP_OUTPUT_FAILED when out could not be written. The map is
// locked, shared, only while it is read; err hears of a wait for the lock.
failure list_textures(named_file map, named_file out, bool for_terminal, std::FILE *err);

// True when record i gets a surface file line: flags & 0x84 clear, contents
// bit 0x1 set, name not exactly "noshader".
bool is_exported(const texture_lump &lump, std::size_t i);
// Why a record named name cannot have a surface file line that the import
// would read back as that name (a line feed, a " = " in it or ending it), or
// nullptr when it can.
const char *name_read_back_fault(std::string_view name);
// Writes one "name = surface" line per exported record to out, in lump
// order, as list_textures writes its lines. A record whose name would not
// read back gets no line but an "Error: Not exporting record" line on err.
failure export_surface_file(named_file map, named_file out, bool for_terminal, std::FILE *err);

// Appends text to to with bytes that could drive a terminal written as \r,
// \n, \t or \xHH: C0 controls, DEL, C1 controls (raw or UTF-8-encoded) and
// every byte that is not part of valid UTF-8. Other UTF-8 text stays.
void append_escaped(std::string *to, std::string_view text);

// Reads the map under a shared lock and notes, line by line, the surface
// that the last known line for each name sets, with the map unlocked; then
// locks it exclusively, reads it again and, when its records are still the
// ones the lines were matched against, sets the noted surfaces into that
// fresh lump and writes it back (write_lump_back). "Error: Unknown surface"
// lines go to err. A map that cannot be read is returned as the failure
// before any line is read; LUMP_INPUT_FAILED when surfaces cannot be read
// to its end and LUMP_MAP_CHANGED when the records differ, both with the
// map as it was.
failure import_surface_file(named_file map, named_file surfaces, std::FILE *err);

#endif
