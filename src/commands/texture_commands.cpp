#include "commands/texture_commands.h"

#include <algorithm>
#include <cstring>

#include "bsp/file_io.h"
#include "commands/record_index.h"
#include "surfaces/surfaces.h"

namespace {

// Output lines are assembled by hand into one large block: printf's format
// parsing and stdio's per-call work were most of a listing's time on a
// large map.
struct line_block {
    std::FILE *out;
    std::FILE *err;  // where a record that gets no line is reported
    std::size_t used;
    bool failed;  // a write came up short; nothing more is written
    char text[1 << 16];
};

void flush_block(line_block *block)
{
    if (!block->failed && io_write(block->text, block->used, block->out) != block->used)
        block->failed = true;
    block->used = 0;
}

// Lines are far shorter than the block, so one piece always fits after a flush.
void put_text(line_block *block, const char *text, std::size_t length)
{
    if (block->used + length > sizeof block->text)
        flush_block(block);
    std::memcpy(block->text + block->used, text, length);
    block->used += length;
}

void put_string(line_block *block, const char *text)
{
    put_text(block, text, std::strlen(text));
}

// "%08x": eight lower-case digits, zeros in front.
void put_hex32(line_block *block, std::uint32_t value)
{
    char digits[8];
    for (int i = 7; i >= 0; --i, value >>= 4)
        digits[i] = "0123456789abcdef"[value & 0xF];
    put_text(block, digits, sizeof digits);
}

// Reads the surface file as fgets with a LINE_BUFFER_SIZE buffer would, in
// pieces of at most 127 bytes that end after a line feed, but takes the file
// in large blocks: fgets' own per-call work was a fifth of a big import.
struct line_reader {
    std::FILE *in;
    std::size_t start;  // the unread bytes are block[start, end)
    std::size_t end;
    bool at_end;        // the stream has nothing more, or failed
    bool failed;        // it stopped short of its end
    char block[1 << 16];
};

// Copies the next piece into line, NUL-terminated; false when none is left.
bool read_line(line_reader *reader, char (&line)[LINE_BUFFER_SIZE])
{
    constexpr std::size_t most = LINE_BUFFER_SIZE - 1;
    if (reader->end - reader->start < most && !reader->at_end) {
        const std::size_t kept = reader->end - reader->start;
        std::memmove(reader->block, reader->block + reader->start, kept);
        const std::size_t wanted = sizeof reader->block - kept;
        const std::size_t got = io_read(reader->block + kept, wanted, reader->in);
        reader->at_end = got < wanted;
        reader->failed = reader->at_end && !std::feof(reader->in);
        reader->start = 0;
        reader->end = kept + got;
    }
    const std::size_t available = std::min(reader->end - reader->start, most);
    if (available == 0)
        return false;
    const char *piece = reader->block + reader->start;
    const void *line_feed = std::memchr(piece, '\n', available);
    const std::size_t length = line_feed ? static_cast<const char *>(line_feed) - piece + 1 : available;
    std::memcpy(line, piece, length);
    line[length] = '\0';
    reader->start += length;
    return true;
}

// Reads the map, then writes heading and whatever put_line writes for each
// record, in lump order; nothing at all when the map cannot be read.
lump_status write_record_lines(std::FILE *bsp, std::FILE *out, std::FILE *err, const char *heading,
                               void (*put_line)(line_block *, const texture_lump &, std::size_t))
{
    bsp_header header;
    texture_lump lump;
    const lump_status status = read_map(bsp, &header, &lump);
    if (status != LUMP_OK)
        return status;
    line_block block;
    block.out = out;
    block.err = err;
    block.used = 0;
    block.failed = false;
    put_string(&block, heading);
    for (std::size_t i = 0; i < lump.record_count; ++i)
        put_line(&block, lump, i);
    flush_block(&block);
    release_texture_lump(&lump);
    return block.failed ? LUMP_OUTPUT_FAILED : LUMP_OK;
}

void put_listing_line(line_block *block, const texture_lump &lump, std::size_t i)
{
    const record_name name = name_of_record(lump, i);
    if (is_noshader(name))
        return;
    put_string(block, "0x");
    put_hex32(block, surface_flags_of_record(lump, i));
    put_string(block, " - ");
    put_text(block, name.text, name.length);
    put_string(block, "\n");
}

void put_export_line(line_block *block, const texture_lump &lump, std::size_t i)
{
    if (!is_exported(lump, i))
        return;
    const record_name name = name_of_record(lump, i);
    const char *fault = name_read_back_fault(name);
    if (fault != nullptr) {
        std::fprintf(block->err, "Error: Not exporting record %zu ", i);
        write_quoted(block->err, name.text, name.length);
        std::fprintf(block->err, ": %s\n", fault);
        return;
    }
    put_text(block, name.text, name.length);
    put_string(block, " = ");
    put_string(block, surface_name_of(surface_flags_of_record(lump, i)));
    put_string(block, "\n");
}

}  // namespace

lump_status list_textures(std::FILE *bsp, std::FILE *out)
{
    return write_record_lines(bsp, out, nullptr, "Textures:\n", put_listing_line);
}

bool is_exported(const texture_lump &lump, std::size_t i)
{
    return (surface_flags_of_record(lump, i) & EXPORT_SKIP_FLAGS) == 0 &&
           (content_flags_of_record(lump, i) & CONTENTS_REQUIRED_BIT) != 0 &&
           !is_noshader(name_of_record(lump, i));
}

const char *name_read_back_fault(record_name name)
{
    if (std::memchr(name.text, '\n', name.length) != nullptr)
        return "a line feed in a texture name would split its line";
    // The import ends the name at the first " = " of its line, so it must
    // find none before the one the export puts after the name: neither one
    // inside the name nor one begun by a name that ends in " =".
    const char *end = name.text + name.length;
    for (const char *equals = name.text; (equals = static_cast<const char *>(
                                              std::memchr(equals, '=', static_cast<std::size_t>(end - equals))));
         ++equals) {
        if (equals > name.text && equals[-1] == ' ' && (equals + 1 == end || equals[1] == ' '))
            return "the texture name would end early at a \" = \" in or at the end of it";
    }
    return nullptr;
}

void write_quoted(std::FILE *err, const char *text, std::size_t length)
{
    std::fputc('"', err);
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r')
            std::fputs("\\r", err);
        else if (byte == '\n')
            std::fputs("\\n", err);
        else if (byte == '\t')
            std::fputs("\\t", err);
        else if (byte < 0x20 || byte == 0x7F)
            std::fprintf(err, "\\x%02X", byte);
        else
            std::fputc(byte, err);
    }
    std::fputc('"', err);
}

lump_status export_surface_file(std::FILE *bsp, std::FILE *out, std::FILE *err)
{
    return write_record_lines(bsp, out, err, "", put_export_line);
}

namespace {

// The first " = " of a line, or nullptr. An '=' is rare in a line but for
// its separator, so looking for it first beats a general substring search.
char *find_separator(char *line)
{
    for (char *equals = std::strchr(line, '='); equals != nullptr; equals = std::strchr(equals + 1, '='))
        if (equals > line && equals[-1] == ' ' && equals[1] == ' ')
            return equals - 1;
    return nullptr;
}

// Handles one read of at most LINE_BUFFER_SIZE - 1 characters: ignored
// without " = ", an "Error: Unknown surface" line on err for an unknown
// surface name, otherwise queued for the batch.
void queue_surface_line(texture_lump *lump, record_index *index, surface_batch *batch, char *line, std::FILE *err)
{
    char *separator = find_separator(line);
    if (separator == nullptr)
        return;
    char *surface_name = separator + 3;
    // Only the line feed goes: a carriage return or trailing blank is part
    // of the name, and so makes it unknown, which the user then sees quoted.
    const std::size_t length = std::strlen(surface_name);
    if (length > 0 && surface_name[length - 1] == '\n')
        surface_name[length - 1] = '\0';
    const int surface = surface_index_of(surface_name);
    if (surface < 0) {
        std::fputs("Error: Unknown surface ", err);
        write_quoted(err, surface_name, std::strlen(surface_name));
        std::fputc('\n', err);
        return;
    }
    queue_surface(lump, index, batch, line, static_cast<std::size_t>(separator - line), static_cast<unsigned>(surface));
}

// The write-back, done so that the map ends up either as it was or fully
// edited: nothing is written over a map someone else changed meanwhile or
// into blocks the disk may not have, and the stop signals wait until the
// lump is on storage. When the write or sync fails part way, the old
// surface words (all an import ever changes) are put back and written
// again, so the map is not left half edited where that can be helped.
lump_status write_back(std::FILE *bsp, const char *bsp_path, const bsp_header &header, texture_lump *lump,
                       const record_index &index)
{
    lump_status status = check_map_unchanged(bsp, bsp_path, header);
    if (status == LUMP_OK)
        status = reserve_lump(bsp, header);
    if (status != LUMP_OK)
        return status;
    held_signals held;
    hold_stop_signals(&held);
    status = write_texture_lump(bsp, header, *lump);
    if (status != LUMP_OK) {
        restore_surface_flags(lump, index);
        std::clearerr(bsp);
        write_texture_lump(bsp, header, *lump);
    }
    release_stop_signals(held);
    return status;
}

lump_status apply_surface_file(std::FILE *bsp, const char *bsp_path, const bsp_header &header, texture_lump *lump,
                               std::FILE *surface_file, std::FILE *err)
{
    record_index index;
    lump_status status = index_records(*lump, &index);
    if (status != LUMP_OK)
        return status;
    line_reader reader;
    reader.in = surface_file;
    reader.start = reader.end = 0;
    reader.at_end = reader.failed = false;
    surface_batch batch = empty_batch();
    // Zeroed once: the lookup reads whole words of the buffer past a
    // line's end and masks them off, so those bytes must hold something.
    char line[LINE_BUFFER_SIZE] = {};
    while (read_line(&reader, line))
        queue_surface_line(lump, &index, &batch, line, err);
    apply_queued(lump, &index, &batch);
    // Half an edit is worse than none: a surface file that broke off while
    // being read leaves the map as it was.
    status = reader.failed ? LUMP_INPUT_FAILED : write_back(bsp, bsp_path, header, lump, index);
    release_record_index(&index);
    return status;
}

}  // namespace

lump_status import_surface_file(std::FILE *bsp, const char *bsp_path, std::FILE *surface_file, std::FILE *err)
{
    bsp_header header;
    texture_lump lump;
    lump_status status = read_map(bsp, &header, &lump);
    if (status != LUMP_OK)
        return status;
    status = apply_surface_file(bsp, bsp_path, header, &lump, surface_file, err);
    release_texture_lump(&lump);
    return status;
}
