#include "commands/record_index.h"

#include "surfaces/surfaces.h"

void index_records(const texture_lump &lump, record_index *index)
{
    index->group_of_name.clear();
    index->group_of_name.reserve(lump.record_count);
    index->group.resize(lump.record_count);
    index->noted.assign(lump.record_count, NO_SURFACE);
    for (std::size_t i = 0; i < lump.record_count; ++i)
        index->group[i] = index->group_of_name.emplace(name_of_record(lump, i), i).first->second;
}

bool note_surface(record_index *index, std::string_view name, unsigned surface)
{
    const auto found = index->group_of_name.find(name);
    if (found == index->group_of_name.end())
        return false;
    index->noted[found->second] = static_cast<std::int16_t>(surface);
    return true;
}

std::size_t apply_noted(const record_index &index, texture_lump *lump)
{
    std::size_t set = 0;
    for (std::size_t i = 0; i < index.group.size(); ++i) {
        const std::int16_t surface = index.noted[index.group[i]];
        if (surface == NO_SURFACE)
            continue;
        set_record_surface_flags(lump, i, set_surface_index(surface_flags_of_record(*lump, i),
                                                            static_cast<unsigned>(surface)));
        ++set;
    }
    return set;
}
