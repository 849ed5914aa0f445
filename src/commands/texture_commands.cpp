#include "commands/texture_commands.h"

#include <cstring>

#include "surfaces/surfaces.h"

lump_status list_textures(std::FILE *bsp, std::FILE *out)
{
    bsp_header header;
    texture_lump lump;
    const lump_status status = read_map(bsp, &header, &lump);
    if (status != LUMP_OK)
        return status;
    std::fputs("Textures:\n", out);
    for (std::size_t i = 0; i < lump.record_count; ++i) {
        const record_name name = name_of_record(lump, i);
        if (is_noshader(name))
            continue;
        std::fprintf(out, "0x%08x - %.*s\n", static_cast<unsigned>(surface_flags_of_record(lump, i)),
                     static_cast<int>(name.length), name.text);
    }
    release_texture_lump(&lump);
    return LUMP_OK;
}

bool is_exported(const texture_lump &lump, std::size_t i)
{
    return (surface_flags_of_record(lump, i) & EXPORT_SKIP_FLAGS) == 0 &&
           (content_flags_of_record(lump, i) & CONTENTS_REQUIRED_BIT) != 0 &&
           !is_noshader(name_of_record(lump, i));
}

lump_status export_surface_file(std::FILE *bsp, std::FILE *out)
{
    bsp_header header;
    texture_lump lump;
    const lump_status status = read_map(bsp, &header, &lump);
    if (status != LUMP_OK)
        return status;
    for (std::size_t i = 0; i < lump.record_count; ++i) {
        if (!is_exported(lump, i))
            continue;
        const record_name name = name_of_record(lump, i);
        std::fprintf(out, "%.*s = %s\n", static_cast<int>(name.length), name.text,
                     surface_name_of(surface_flags_of_record(lump, i)));
    }
    release_texture_lump(&lump);
    return LUMP_OK;
}

void apply_surface_line(texture_lump *lump, const record_index &index, char *line, std::FILE *err)
{
    char *separator = std::strstr(line, " = ");
    if (separator == nullptr)
        return;
    *separator = '\0';
    char *surface_name = separator + 3;
    // Only the line feed goes: a carriage return or trailing blank is part
    // of the name, and so makes it unknown, which the user then sees quoted.
    const std::size_t length = std::strlen(surface_name);
    if (length > 0 && surface_name[length - 1] == '\n')
        surface_name[length - 1] = '\0';
    const int surface = surface_index_of(surface_name);
    if (surface < 0) {
        std::fprintf(err, "Error: Unknown surface \"%s\"\n", surface_name);
        return;
    }
    apply_surface(lump, index, line, static_cast<unsigned>(surface));
}

lump_status import_surface_file(std::FILE *bsp, std::FILE *surface_file, std::FILE *err)
{
    bsp_header header;
    texture_lump lump;
    lump_status status = read_map(bsp, &header, &lump);
    if (status != LUMP_OK)
        return status;
    record_index index;
    status = index_records(lump, &index);
    if (status != LUMP_OK) {
        release_texture_lump(&lump);
        return status;
    }
    char line[LINE_BUFFER_SIZE];
    while (std::fgets(line, sizeof line, surface_file) != nullptr)
        apply_surface_line(&lump, index, line, err);
    // Half an edit is worse than none: a surface file that broke off while
    // being read leaves the map as it was.
    if (!std::ferror(surface_file))
        status = write_texture_lump(bsp, header, lump);
    release_record_index(&index);
    release_texture_lump(&lump);
    return status;
}
