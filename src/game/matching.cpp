#include "game/matching.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "commands/texture_commands.h"

failure match_surface_text(const map_reading &map, const char *map_path, const std::string &text, const char *text_path,
                           texture_lump *edited, std::size_t *changed, std::string *said)
{
    char *words = nullptr;
    std::size_t size = 0;
    std::FILE *lines = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    failure f = lines != nullptr ? ok() : failure{INPUT_UNREADABLE, text_path, errno};
    std::FILE *err = open_memstream(&words, &size);
    if (err == nullptr && f.status == NO_FAILURE)
        f = failure{OUT_OF_MEMORY, map_path, errno};
    try {
        if (f.status == NO_FAILURE)
            f = build_edited_lump(map, named_file{lines, text_path}, err, edited);
    } catch (const std::bad_alloc &) {
        f = failure{OUT_OF_MEMORY, map_path, ENOMEM};
    }
    for (std::FILE *stream : {lines, err})
        if (stream != nullptr)
            std::fclose(stream);
    if (said != nullptr)
        *said = words != nullptr ? words : "";
    std::free(words);
    *changed = 0;
    for (std::size_t i = 0; f.status == NO_FAILURE && i < map.lump.record_count; ++i)
        *changed += surface_flags_of_record(map.lump, i) != surface_flags_of_record(*edited, i);
    return f;
}

failure read_surface_text(named_file file, std::string *text)
{
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.stream)) > 0;)
        text->append(buffer, n);
    return std::ferror(file.stream) ? failure{INPUT_UNREADABLE, file.path, errno} : ok();
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
