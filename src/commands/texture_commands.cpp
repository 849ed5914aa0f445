#include "commands/texture_commands.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>

#include "commands/record_index.h"
#include "surfaces/surfaces.h"

namespace {

using line_writer = void (*)(std::string *line, bool for_terminal, const texture_lump &, std::size_t i, std::FILE *err);

// Writes heading and what put_line makes of each record, in lump order, a
// line a write (stdio gathers them); stops at the first write that fails.
failure write_record_lines(const map_reading &map, named_file out, bool for_terminal, std::FILE *err,
                           const std::string &heading, line_writer put_line)
{
    int error = io_write(heading.data(), heading.size(), out.stream);
    std::string line;
    for (std::size_t i = 0; error == 0 && i < map.lump.record_count; ++i) {
        line.clear();
        put_line(&line, for_terminal, map.lump, i, err);
        error = io_write(line.data(), line.size(), out.stream);
    }
    return error == 0 ? ok() : failure{OUTPUT_UNWRITABLE, out.path, error};
}

void put_listing_line(std::string *line, bool for_terminal, const texture_lump &lump, std::size_t i, std::FILE *)
{
    const std::string_view name = name_of_record(lump, i);
    if (is_noshader(name))
        return;
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%08x - ", static_cast<unsigned>(surface_flags_of_record(lump, i)));
    *line += flags;
    for_terminal ? append_escaped(line, name) : void(line->append(name));
    *line += '\n';
}

void put_export_line(std::string *line, bool for_terminal, const texture_lump &lump, std::size_t i, std::FILE *err)
{
    const std::string_view name = name_of_record(lump, i);
    if ((surface_flags_of_record(lump, i) & EXPORT_SKIP_FLAGS) != 0 ||
        (content_flags_of_record(lump, i) & CONTENTS_REQUIRED_BIT) == 0 || is_noshader(name))
        return;
    const char *fault = name_read_back_fault(name);
    if (fault != nullptr) {
        std::fprintf(err, "Error: Not exporting record %zu \"%s\": %s\n", i, escaped(name).c_str(), fault);
        return;
    }
    for_terminal ? append_escaped(line, name) : void(line->append(name));
    *line += " = ";
    *line += surface_name_of(surface_flags_of_record(lump, i));
    *line += '\n';
}

// Other imports may have changed surfaces meanwhile, which the fresh reading
// is for; any other change means the lines matched records no longer there.
bool same_records(const map_reading &first, const map_reading &fresh)
{
    if (first.header.lump_offset != fresh.header.lump_offset || first.header.lump_length != fresh.header.lump_length)
        return false;
    for (std::size_t i = 0; i < first.lump.record_count; ++i)
        if (name_of_record(first.lump, i) != name_of_record(fresh.lump, i))
            return false;
    return true;
}

struct import_work {
    named_file map;
    const map_reading *first;  // the reading the lines were matched against, and its index
    const record_index *index;
};

// The edit goes into the first reading's buffer, whose pages are in memory;
// same_records has just found its names to be the fresh ones, so the index
// into it still holds. The fresh reading stays as it was for a rollback.
failure set_noted_surfaces(const map_reading &fresh, texture_lump *edited, void *context)
{
    const import_work &work = *static_cast<const import_work *>(context);
    if (!same_records(*work.first, fresh))
        return failure{MAP_CHANGED, work.map.path, 0};
    std::memcpy(edited->bytes.get(), fresh.lump.bytes.get(), fresh.lump.size);
    apply_noted(*work.index, edited);
    return ok();
}

}  // namespace

const char *name_read_back_fault(std::string_view name)
{
    if (name.find('\n') != std::string_view::npos)
        return "a line feed in a texture name would split its line";
    // The import ends the name at the line's first " = ", so the name may
    // hold none, nor end in " =", which would begin one with the separator.
    if (name.find(" = ") != std::string_view::npos || (name.size() >= 2 && name.substr(name.size() - 2) == " ="))
        return "the texture name would end early at a \" = \" in or at the end of it";
    return nullptr;
}

std::size_t cut_surface_piece(std::string_view line, std::size_t at, std::size_t line_number, surface_piece *piece)
{
    const std::string_view whole = line.substr(at, LINE_BUFFER_SIZE - 1);
    piece->first = at == 0;
    piece->line = line;
    piece->line_number = line_number;
    // A NUL ends the text, as it ends a C string; then the line feed goes.
    std::string_view text = whole.substr(0, whole.find('\0'));
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    const std::size_t separator = text.find(" = ");
    piece->text = text;
    piece->has_separator = separator != std::string_view::npos;
    piece->texture = piece->has_separator ? text.substr(0, separator) : std::string_view();
    piece->surface = piece->has_separator ? text.substr(separator + 3) : std::string_view();
    return whole.size();
}

// Only the line feed is cut from a surface name: a carriage return or blank
// is part of it, making it unknown, which the user then sees quoted.
void match_surface_piece(const surface_piece &piece, record_index *index, std::FILE *err)
{
    if (!piece.has_separator)
        return;
    const int surface = surface_index_of(piece.surface);
    if (surface >= 0)
        note_surface(index, piece.texture, static_cast<unsigned>(surface));
    else
        std::fprintf(err, "Error: Unknown surface \"%s\"\n", escaped(piece.surface).c_str());
}

failure match_surface_file(const map_reading &map, named_file surfaces, std::FILE *err, record_index *index)
{
    index_records(map.lump, index);
    char *line = nullptr;
    std::size_t capacity = 0, length = 0, number = 0;
    int error;
    while ((error = io_read_line(&line, &capacity, &length, surfaces.stream)) == 0) {
        surface_piece piece;
        ++number;
        for (std::size_t at = 0; at < length; match_surface_piece(piece, index, err))
            at += cut_surface_piece(std::string_view(line, length), at, number, &piece);
    }
    std::free(line);
    return error == IO_END ? ok() : failure{INPUT_UNREADABLE, surfaces.path, error};
}

failure list_textures(const map_reading &map, named_file out, bool for_terminal)
{
    return write_record_lines(map, out, for_terminal, nullptr, "Textures:\n", put_listing_line);
}

failure export_surface_file(const map_reading &map, named_file out, bool for_terminal, std::FILE *err)
{
    return write_record_lines(map, out, for_terminal, err, "", put_export_line);
}

failure import_surface_file(named_file map, map_reading *first, named_file surfaces, std::FILE *err)
{
    // Matched with the map unlocked: a surface file that comes slowly, or
    // from a pipe fed by another command on this map, holds up nobody.
    record_index index;
    const failure f = match_surface_file(*first, surfaces, err, &index);
    if (f.status != NO_FAILURE)
        return f;
    import_work work{map, first, &index};
    return rewrite_lump(map, err, set_noted_surfaces, &work, &first->lump);
}
