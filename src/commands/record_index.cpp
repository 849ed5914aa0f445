// The import looks every surface file line up by texture name. Scanning all
// records per line costs lines x records; grouping the records by name once
// makes the whole import linear in lines + records.
#include <cstdlib>
#include <cstring>

#include "commands/texture_commands.h"
#include "surfaces/surfaces.h"

static std::uint64_t hash_name(const char *text, std::size_t length)
{
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 1099511628211ull;
    }
    return hash ^ hash >> 29;
}

static bool same_name(record_name name, const char *text, std::size_t length)
{
    return name.length == length && std::memcmp(name.text, text, length) == 0;
}

// Slot of the given name: the one heading its records, or the empty slot
// where it would go.
static std::size_t find_slot(const texture_lump &lump, const record_index &index, const char *text,
                             std::size_t length)
{
    std::size_t slot = hash_name(text, length) & index.mask;
    while (index.slots[slot] != 0 && !same_name(name_of_record(lump, index.slots[slot] - 1), text, length))
        slot = (slot + 1) & index.mask;
    return slot;
}

lump_status index_records(const texture_lump &lump, record_index *index)
{
    *index = record_index{nullptr, nullptr, 0};
    // At most half full, so probes stay short.
    std::size_t slot_count = 16;
    while (slot_count < 2 * lump.record_count)
        slot_count *= 2;
    auto *slots = static_cast<std::uint32_t *>(std::calloc(slot_count, sizeof(std::uint32_t)));
    auto *next = static_cast<std::uint32_t *>(std::malloc((lump.record_count + 1) * sizeof(std::uint32_t)));
    if (slots == nullptr || next == nullptr) {
        std::free(slots);
        std::free(next);
        return LUMP_NO_MEMORY;
    }
    *index = record_index{slots, next, slot_count - 1};
    for (std::size_t i = 0; i < lump.record_count; ++i) {
        const record_name name = name_of_record(lump, i);
        const std::size_t slot = find_slot(lump, *index, name.text, name.length);
        next[i] = slots[slot];
        slots[slot] = static_cast<std::uint32_t>(i + 1);
    }
    return LUMP_OK;
}

void release_record_index(record_index *index)
{
    std::free(index->slots);
    std::free(index->next);
    *index = record_index{nullptr, nullptr, 0};
}

std::size_t apply_surface(texture_lump *lump, const record_index &index, const char *texture_name,
                          unsigned surface)
{
    const std::size_t length = std::strlen(texture_name);
    if (length > NAME_SIZE)
        return 0;
    std::size_t changed = 0;
    const std::size_t slot = find_slot(*lump, index, texture_name, length);
    for (std::uint32_t r = index.slots[slot]; r != 0; r = index.next[r - 1]) {
        set_record_surface_flags(lump, r - 1, set_surface_index(surface_flags_of_record(*lump, r - 1), surface));
        ++changed;
    }
    return changed;
}
