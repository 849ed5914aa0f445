// The import looks every surface file line up by texture name. Scanning all
// records per line costs lines x records; grouping the records by name once
// makes the whole import linear in lines + records.
#include <algorithm>
#include <cstring>

#include "commands/texture_commands.h"
#include "surfaces/surfaces.h"

namespace {

// A slot is 32 bits: 1 + a record's index below, a few bits of its name's
// hash above, so a probe seldom has to look at a record that is not the one
// sought. A lump of at most 4 GiB holds fewer than 2^26 records of 72 bytes.
// Keeping slots this small keeps more of the table in cache, and every
// lookup in it lands at random.
constexpr unsigned RECORD_BITS = 26;
constexpr std::uint32_t RECORD_MASK = (std::uint32_t{1} << RECORD_BITS) - 1;
constexpr std::uint32_t TAG_MASK = ~RECORD_MASK;
static_assert((std::uint64_t{1} << 32) / RECORD_SIZE < RECORD_MASK, "every record index fits below the tag");

// How far past the last record found a line's record is looked for before
// the table is asked.
constexpr std::size_t HINT_WINDOW = 8;
// How many records ahead the build starts fetching its slot from memory;
// without it a build of 400,000 records took a fifth longer.
constexpr std::size_t PREFETCH_AHEAD = 32;

std::uint32_t tag_of(std::uint64_t hash)
{
    return static_cast<std::uint32_t>(hash >> 32) & TAG_MASK;
}

// Eight bytes at a time: byte-wise hashing of every name, once to build the
// index and once per line, was a sixth of an import's instructions.
std::uint64_t hash_name(const char *text, std::size_t length)
{
    std::uint64_t hash = length * 0x9E3779B97F4A7C15ull;
    std::size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + at, 8);
        hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
    }
    std::uint64_t tail = 0;
    for (unsigned shift = 0; at < length; ++at, shift += 8)
        tail |= std::uint64_t{static_cast<unsigned char>(text[at])} << shift;
    hash = (hash ^ tail) * 0xFF51AFD7ED558CCDull;
    // Names often differ only in their last bytes, which the multiplications
    // carry upward alone; the slot is taken from the low bits, so mix down.
    hash ^= hash >> 33;
    hash *= 0xC4CEB9FE1A85EC53ull;
    hash ^= hash >> 33;
    return hash;
}

std::uint64_t hash_of_record(const texture_lump &lump, std::size_t i)
{
    const record_name name = name_of_record(lump, i);
    return hash_name(name.text, name.length);
}

// Slot of the given name: the one holding a record of that name, or the
// empty slot where it would go.
std::size_t find_slot(const texture_lump &lump, const record_index &index, const char *text, std::size_t length,
                      std::uint64_t hash)
{
    for (std::size_t slot = hash & index.mask;; slot = (slot + 1) & index.mask) {
        const std::uint32_t entry = index.slots[slot];
        if (entry == 0 ||
            ((entry & TAG_MASK) == tag_of(hash) && record_is_named(lump, (entry & RECORD_MASK) - 1, text, length)))
            return slot;
    }
}

// A record named text, or lump.record_count when there is none. A surface
// file written by the export names its records in lump order, so the
// records just after the last one found are tried before the table: that
// spares a cache miss per line on a large map.
std::size_t find_record(const texture_lump &lump, record_index *index, const char *text, std::size_t length)
{
    const std::size_t end = std::min(index->hint + HINT_WINDOW, lump.record_count);
    for (std::size_t r = index->hint; r < end; ++r) {
        if (record_is_named(lump, r, text, length)) {
            index->hint = r + 1;
            return r;
        }
    }
    const std::uint32_t entry = index->slots[find_slot(lump, *index, text, length, hash_name(text, length))];
    if (entry == 0)
        return lump.record_count;
    index->hint = entry & RECORD_MASK;  // the record after the one found
    return index->hint - 1;
}

}  // namespace

lump_status index_records(const texture_lump &lump, record_index *index)
{
    *index = record_index{nullptr, nullptr, 0, 0, 0};
    const std::size_t count = lump.record_count;
    // At most half full, so probes stay short.
    std::size_t slot_count = 16;
    while (slot_count < 2 * count)
        slot_count *= 2;
    const std::size_t size = (slot_count + count) * sizeof(std::uint32_t);
    void *buffer = allocate_buffer(size);
    if (buffer == nullptr)
        return LUMP_NO_MEMORY;
    auto *slots = static_cast<std::uint32_t *>(buffer);
    auto *next = slots + slot_count;
    *index = record_index{slots, next, slot_count - 1, size, 0};

    // Slots are hit at random, so each is fetched a few records early.
    std::uint64_t ahead[PREFETCH_AHEAD];
    for (std::size_t i = 0; i < PREFETCH_AHEAD && i < count; ++i) {
        ahead[i] = hash_of_record(lump, i);
        __builtin_prefetch(&slots[ahead[i] & index->mask]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t hash = ahead[i % PREFETCH_AHEAD];
        if (i + PREFETCH_AHEAD < count) {
            ahead[i % PREFETCH_AHEAD] = hash_of_record(lump, i + PREFETCH_AHEAD);
            __builtin_prefetch(&slots[ahead[i % PREFETCH_AHEAD] & index->mask]);
        }
        const record_name name = name_of_record(lump, i);
        const std::size_t slot = find_slot(lump, *index, name.text, name.length, hash);
        // Records of one name form a ring, entered from any of them.
        if (slots[slot] == 0) {
            next[i] = static_cast<std::uint32_t>(i);
            slots[slot] = tag_of(hash) | static_cast<std::uint32_t>(i + 1);
        } else {
            const std::size_t member = (slots[slot] & RECORD_MASK) - 1;
            next[i] = next[member];
            next[member] = static_cast<std::uint32_t>(i);
        }
    }
    return LUMP_OK;
}

void release_record_index(record_index *index)
{
    release_buffer(index->slots, index->size);
    *index = record_index{nullptr, nullptr, 0, 0, 0};
}

std::size_t apply_surface(texture_lump *lump, record_index *index, const char *texture_name, unsigned surface)
{
    const std::size_t length = std::strlen(texture_name);
    if (length > NAME_SIZE)
        return 0;
    const std::size_t first = find_record(*lump, index, texture_name, length);
    if (first == lump->record_count)
        return 0;
    std::size_t changed = 0;
    std::size_t r = first;
    do {
        set_record_surface_flags(lump, r, set_surface_index(surface_flags_of_record(*lump, r), surface));
        ++changed;
        r = index->next[r];
    } while (r != first);
    return changed;
}
