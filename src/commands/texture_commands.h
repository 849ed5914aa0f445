// The commands that work on a map's texture records: the listing (-tl), the
// surface file export (-se) and its import (-si).
// Surface file: plain text, one "texture name = surface name\n" line per
// exported record. A reader splits a line at its first " = " and ignores
// lines without one; only the line feed is cut, and nothing is unquoted.
#ifndef LUMPSMITH_TEXTURE_COMMANDS_H
#define LUMPSMITH_TEXTURE_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bsp/map_file.h"
#include "commands/record_index.h"

// Sky (0x04) and nodraw (0x80) surfaces get no surface file line, nor do
// records whose contents lack bit 0x1.
constexpr std::uint32_t EXPORT_SKIP_FLAGS = 0x84;
constexpr std::uint32_t CONTENTS_REQUIRED_BIT = 0x1;
// The import takes LINE_BUFFER_SIZE - 1 bytes of a line at most at a time:
// a longer line is several pieces.
constexpr std::size_t LINE_BUFFER_SIZE = 128;

// One line as the import acts on it: a piece of at most LINE_BUFFER_SIZE - 1
// bytes of a file line, ending after its line feed or where that many bytes
// end it, and cut at its first NUL. A file line of up to 126 bytes and its
// line feed is one piece; one of 127 bytes is two, the second its bare line
// feed.
struct surface_piece {
    bool first;               // the first piece of its file line
    bool has_separator;       // text holds " = "
    std::string_view text;    // without a final line feed
    std::string_view texture; // before the first " = "; the surface name follows it
    std::string_view surface;
    std::string_view line;    // the whole file line it came from, line feed included
    std::size_t line_number;  // of that line, from 1
};

// Cuts *piece from line (a file line, its line feed included) at its byte
// at, as the import cuts the lines it reads; returns the piece's length.
std::size_t cut_surface_piece(std::string_view line, std::size_t at, std::size_t line_number, surface_piece *piece);
// Notes the piece's surface for the records of its texture name, as the
// import does, or writes "Error: Unknown surface" on err.
void match_surface_piece(const surface_piece &piece, record_index *index, std::FILE *err);
// Indexes the map's records into *index and matches every piece of the
// surface file against them; INPUT_UNREADABLE when a line could not be read.
failure match_surface_file(const map_reading &map, named_file surfaces, std::FILE *err, record_index *index);

// Why a texture named name cannot have a surface file line that the import
// would read back as that name, or nullptr when it can.
const char *name_read_back_fault(std::string_view name);

// Writes "Textures:" and a "0x%08x - name" line per record not named
// "noshader" to out, names escaped for_terminal; OUTPUT_UNWRITABLE when out
// could not be written.
failure list_textures(const map_reading &map, named_file out, bool for_terminal);
// The same for one "name = surface" line per exported record. A record whose
// name would not read back gets an "Error: Not exporting record" line on err.
failure export_surface_file(const map_reading &map, named_file out, bool for_terminal, std::FILE *err);

// Matches the lines against *first, the map as read, then rewrite_lump with
// their surfaces set; MAP_CHANGED when the fresh records are not those the
// lines matched. *first's lump becomes the edit's buffer.
failure import_surface_file(named_file map, map_reading *first, named_file surfaces, std::FILE *err);

#endif
