#include "commands/texture_commands.h"

#include <cerrno>
#include <cstring>

#include "bsp/file_io.h"
#include "commands/record_index.h"
#include "surfaces/surfaces.h"

namespace {

constexpr std::size_t OUTPUT_BLOCK = 1 << 16;

// A command's output, gathered into blocks that are written whole.
struct output {
    named_file file;
    bool for_terminal;  // names are escaped
    std::string block;
    int error;          // errno of the first failed write; nothing more is written
    bool failed;
};

void flush_output(output *out)
{
    if (!out->failed && !io_write(out->block.data(), out->block.size(), out->file.stream)) {
        out->failed = true;
        out->error = errno;
    }
    out->block.clear();
}

void put_name(output *out, std::string_view name)
{
    if (out->for_terminal)
        append_escaped(&out->block, name);
    else
        out->block += name;
}

// Reads the map, then writes heading and whatever put_line writes for each
// record, in lump order; nothing at all when the map cannot be read.
failure write_record_lines(named_file map, named_file file, bool for_terminal, std::FILE *err,
                           std::string_view heading, void (*put_line)(output *, const texture_lump &, std::size_t, std::FILE *))
{
    map_reading reading;
    const failure read = read_map_shared(map, err, &reading);
    if (read.status != LUMP_OK)
        return read;
    output out{file, for_terminal, std::string(), 0, false};
    out.block.reserve(OUTPUT_BLOCK + 2 * RECORD_SIZE);
    out.block += heading;
    for (std::size_t i = 0; i < reading.lump.record_count; ++i) {
        put_line(&out, reading.lump, i, err);
        if (out.block.size() >= OUTPUT_BLOCK)
            flush_output(&out);
    }
    flush_output(&out);
    return out.failed ? failure{LUMP_OUTPUT_FAILED, file.path, out.error} : failure{LUMP_OK, nullptr, 0};
}

void put_listing_line(output *out, const texture_lump &lump, std::size_t i, std::FILE *)
{
    const std::string_view name = name_of_record(lump, i);
    if (is_noshader(name))
        return;
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%08x - ", static_cast<unsigned>(surface_flags_of_record(lump, i)));
    out->block += flags;
    put_name(out, name);
    out->block += '\n';
}

void put_export_line(output *out, const texture_lump &lump, std::size_t i, std::FILE *err)
{
    if (!is_exported(lump, i))
        return;
    const std::string_view name = name_of_record(lump, i);
    const char *fault = name_read_back_fault(name);
    if (fault != nullptr) {
        std::string message = "Error: Not exporting record " + std::to_string(i) + " \"";
        append_escaped(&message, name);
        std::fprintf(err, "%s\": %s\n", message.c_str(), fault);
        return;
    }
    put_name(out, name);
    out->block += " = ";
    out->block += surface_name_of(surface_flags_of_record(lump, i));
    out->block += '\n';
}

// How many bytes from p on make one character that may be shown as it is:
// printable ASCII, or a valid UTF-8 sequence that is no C1 control. 0 for
// a byte that must be escaped.
std::size_t printable_length(const unsigned char *p, std::size_t left)
{
    const unsigned char lead = p[0];
    if (lead >= 0x20 && lead < 0x7F)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte; later ones are 80..BF
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, low = lead == 0xC2 ? 0xA0 : 0x80;  // C2 80..9F encode the C1 controls
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;  // no overlongs, no surrogates
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    if (length == 0 || left < length || p[1] < low || p[1] > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (p[k] < 0x80 || p[k] > 0xBF)
            return 0;
    return length;
}

// The first " = " of a line, or nullptr. An '=' is rare in a line but for
// its separator, so looking for it first beat a general substring search.
char *find_separator(char *line)
{
    for (char *equals = std::strchr(line, '='); equals != nullptr; equals = std::strchr(equals + 1, '='))
        if (equals > line && equals[-1] == ' ' && equals[1] == ' ')
            return equals - 1;
    return nullptr;
}

// The import's first half: every line of the surface file, noted in the
// index. Only the line feed is cut from a surface name: a carriage return
// or trailing blank is part of it, and so makes it unknown, which the user
// then sees quoted.
failure note_surface_lines(named_file surfaces, record_index *index, std::FILE *err)
{
    char line[LINE_BUFFER_SIZE];
    int got;
    while ((got = io_read_line(line, sizeof line, surfaces.stream)) == 1) {
        char *separator = find_separator(line);
        if (separator == nullptr)
            continue;
        char *surface_name = separator + 3;
        const std::size_t length = std::strlen(surface_name);
        if (length > 0 && surface_name[length - 1] == '\n')
            surface_name[length - 1] = '\0';
        const int surface = surface_index_of(surface_name);
        if (surface < 0) {
            std::string message = "Error: Unknown surface \"";
            append_escaped(&message, surface_name);
            std::fprintf(err, "%s\"\n", message.c_str());
            continue;
        }
        note_surface(index, std::string_view(line, static_cast<std::size_t>(separator - line)),
                     static_cast<unsigned>(surface));
    }
    return got < 0 ? failure{LUMP_INPUT_FAILED, surfaces.path, errno} : failure{LUMP_OK, nullptr, 0};
}

// Other imports may have changed surfaces meanwhile; that is what the
// fresh reading is for. Anything else means the lines were matched against
// records that are no longer there.
bool same_records(const map_reading &first, const map_reading &fresh)
{
    if (first.header.lump_offset != fresh.header.lump_offset || first.header.lump_length != fresh.header.lump_length)
        return false;
    for (std::size_t i = 0; i < first.lump.record_count; ++i)
        if (name_of_record(first.lump, i) != name_of_record(fresh.lump, i))
            return false;
    return true;
}

}  // namespace

failure list_textures(named_file map, named_file out, bool for_terminal, std::FILE *err)
{
    return write_record_lines(map, out, for_terminal, err, "Textures:\n", put_listing_line);
}

bool is_exported(const texture_lump &lump, std::size_t i)
{
    return (surface_flags_of_record(lump, i) & EXPORT_SKIP_FLAGS) == 0 &&
           (content_flags_of_record(lump, i) & CONTENTS_REQUIRED_BIT) != 0 &&
           !is_noshader(name_of_record(lump, i));
}

const char *name_read_back_fault(std::string_view name)
{
    if (name.find('\n') != std::string_view::npos)
        return "a line feed in a texture name would split its line";
    // The import ends the name at the first " = " of its line, so it must
    // find none before the one the export puts after the name: neither one
    // inside the name nor one begun by a name that ends in " =".
    if (name.find(" = ") != std::string_view::npos || (name.size() >= 2 && name.substr(name.size() - 2) == " ="))
        return "the texture name would end early at a \" = \" in or at the end of it";
    return nullptr;
}

failure export_surface_file(named_file map, named_file out, bool for_terminal, std::FILE *err)
{
    return write_record_lines(map, out, for_terminal, err, "", put_export_line);
}

void append_escaped(std::string *to, std::string_view text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = printable_length(bytes + i, text.size() - i);
        if (length > 0) {
            to->append(text.substr(i, length));
            i += length;
            continue;
        }
        const unsigned char byte = bytes[i++];
        if (byte == '\r' || byte == '\n' || byte == '\t') {
            *to += byte == '\r' ? "\\r" : byte == '\n' ? "\\n" : "\\t";
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        *to += hex;
    }
}

failure import_surface_file(named_file map, named_file surfaces, std::FILE *err)
{
    map_reading first;
    failure f = read_map_shared(map, err, &first);
    if (f.status != LUMP_OK)
        return f;
    // Matched with the map unlocked: a surface file that comes slowly, or
    // from a pipe fed by another command on this map, holds up nobody.
    record_index index;
    index_records(first.lump, &index);
    f = note_surface_lines(surfaces, &index, err);
    if (f.status != LUMP_OK)
        return f;
    f = lock_map(map, MAP_EXCLUSIVE_LOCK, err);
    map_reading fresh;
    if (f.status == LUMP_OK)
        f = read_map(map, &fresh);
    if (f.status == LUMP_OK && !same_records(first, fresh))
        f = failure{LUMP_MAP_CHANGED, map.path, 0};
    if (f.status == LUMP_OK) {
        // The edit goes into the first reading's buffer, whose records bear
        // the same names, so the index still holds, and whose pages are
        // already in memory; the fresh reading stays as it was, for a
        // rollback.
        first.lump.bytes = fresh.lump.bytes;
        apply_noted(index, &first.lump);
        f = write_lump_back(map, fresh, first.lump);
    }
    unlock_map(map);
    return f;
}
