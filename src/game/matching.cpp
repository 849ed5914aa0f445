#include "game/matching.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "commands/texture_commands.h"
#include "game/game_files.h"

namespace {

// *edited: the map's lump with the noted surfaces set; OUT_OF_MEMORY, naming
// path, when there is no room for it.
failure apply_to_copy(const map_reading &map, const record_index &index, const char *path, texture_lump *edited)
{
    *edited = lump_of_size(map.lump.size);
    if (edited->bytes == nullptr)
        return failure{OUT_OF_MEMORY, path, ENOMEM};
    std::memcpy(edited->bytes.get(), map.lump.bytes.get(), map.lump.size);
    apply_noted(index, edited);
    return ok();
}

}  // namespace

failure build_edited_lump(const map_reading &map, named_file surfaces, std::FILE *err, texture_lump *edited)
{
    record_index index;
    const failure f = match_surface_file(map, surfaces, err, &index);
    return f.status != NO_FAILURE ? f : apply_to_copy(map, index, surfaces.path, edited);
}

failure match_surface_text(const map_reading &map, const char *map_path, const std::string &text, const char *text_path,
                           texture_lump *edited, std::size_t *changed, std::string *said)
{
    char *words = nullptr;
    std::size_t size = 0;
    std::FILE *err = open_memstream(&words, &size);
    failure f = err != nullptr ? ok() : failure{OUT_OF_MEMORY, map_path, errno};
    try {
        record_index index;
        if (f.status == NO_FAILURE)
            index_records(map.lump, &index);
        if (f.status == NO_FAILURE) {
            for_each_surface_piece(text, [&](const surface_piece &piece) { match_surface_piece(piece, &index, err); });
            f = apply_to_copy(map, index, text_path, edited);
        }
    } catch (const std::bad_alloc &) {
        f = failure{OUT_OF_MEMORY, map_path, ENOMEM};
    }
    if (err != nullptr)
        std::fclose(err);
    if (said != nullptr)
        *said = words != nullptr ? words : "";
    std::free(words);
    *changed = 0;
    for (std::size_t i = 0; f.status == NO_FAILURE && i < map.lump.record_count; ++i)
        *changed += surface_flags_of_record(map.lump, i) != surface_flags_of_record(*edited, i);
    return f;
}

void for_each_surface_piece(const std::string &text, const std::function<void(const surface_piece &)> &take)
{
    // Its lines as the import reads them from a file: each to its line feed,
    // the last perhaps without one.
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        const std::string_view line(text.data() + start, end - start);
        surface_piece piece;
        for (std::size_t at = 0; at < line.size(); take(piece))
            at += cut_surface_piece(line, at, number + 1, &piece);
        start = end;
    }
}

failure read_surface_text(named_file file, std::string *text)
{
    return read_file_bytes(file.stream, UINT64_MAX, text) ? ok() : failure{INPUT_UNREADABLE, file.path, errno};
}

std::string surface_text_errors(const std::string &text, const char *text_path)
{
    map_reading nothing{};
    nothing.lump = lump_of_size(0);
    texture_lump edited;
    std::size_t changed;
    std::string said;
    match_surface_text(nothing, text_path, text, text_path, &edited, &changed, &said);
    return said;
}
