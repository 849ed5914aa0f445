#include "commands/record_index.h"

#include <cstring>
#include <functional>

#include "surfaces/surfaces.h"

namespace {

// True when record i bears exactly name. Where the name must end is looked
// at first: most records compared in a probe differ there already.
bool is_named(const texture_lump &lump, std::size_t i, std::string_view name)
{
    const unsigned char *field = lump.bytes.data() + i * RECORD_SIZE;
    return name.size() <= NAME_SIZE && (name.size() == NAME_SIZE || field[name.size()] == '\0') &&
           std::memcmp(field, name.data(), name.size()) == 0;
}

// The slot that holds name's group, or the empty slot where it belongs.
std::size_t slot_of(const record_index &index, std::string_view name)
{
    std::size_t slot = std::hash<std::string_view>{}(name) & index.mask;
    while (index.slots[slot] != 0 && !is_named(*index.lump, index.slots[slot] - 1, name))
        slot = (slot + 1) & index.mask;
    return slot;
}

}  // namespace

void index_records(const texture_lump &lump, record_index *index)
{
    // A lump holds at most 4 GiB / 72 records, so a record number fits in 32 bits.
    std::size_t size = 16;
    while (size < 4 * lump.record_count)
        size *= 2;
    index->lump = &lump;
    index->slots.assign(size, 0);
    index->mask = size - 1;
    index->group.resize(lump.record_count);
    index->noted.assign(lump.record_count, NO_SURFACE);
    for (std::size_t i = 0; i < lump.record_count; ++i) {
        std::uint32_t &slot = index->slots[slot_of(*index, name_of_record(lump, i))];
        if (slot == 0)
            slot = static_cast<std::uint32_t>(i + 1);
        index->group[i] = slot - 1;
    }
}

bool note_surface(record_index *index, std::string_view name, unsigned surface)
{
    const std::uint32_t slot = index->slots[slot_of(*index, name)];
    if (slot == 0)
        return false;
    index->noted[slot - 1] = static_cast<std::int16_t>(surface);
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
