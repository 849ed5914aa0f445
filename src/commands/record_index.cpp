#include "commands/record_index.h"

#include <algorithm>
#include <cstring>

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
// the table is asked: a surface file written by the export names its records
// in lump order, skipping the ones it leaves out.
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

// A record named text found just after the last one found, or
// lump.record_count. That spares a cache miss per line of a file in lump
// order. Once it misses, only the first record after the hint is tried
// until it hits again, so a shuffled file pays little for it.
std::size_t look_ahead(const texture_lump &lump, record_index *index, const char *text, std::size_t length)
{
    const std::size_t window = index->hint_trusted ? HINT_WINDOW : 1;
    const std::size_t end = std::min(index->hint + window, lump.record_count);
    for (std::size_t r = index->hint; r < end; ++r) {
        if (record_is_named(lump, r, text, length)) {
            index->hint = r + 1;
            index->hint_trusted = true;
            return r;
        }
    }
    index->hint_trusted = false;
    return lump.record_count;
}

// Sets the surface of the record and of every other record on its ring.
std::size_t set_ring(texture_lump *lump, const record_index &index, std::size_t first, unsigned surface)
{
    std::size_t changed = 0;
    std::size_t r = first;
    do {
        set_record_surface_flags(lump, r, set_surface_index(surface_flags_of_record(*lump, r), surface));
        ++changed;
        r = index.next[r];
    } while (r != first);
    return changed;
}

}  // namespace

lump_status index_records(const texture_lump &lump, record_index *index)
{
    *index = record_index{nullptr, nullptr, nullptr, 0, 0, 0, true};
    const std::size_t count = lump.record_count;
    // At most half full, so probes stay short.
    std::size_t slot_count = 16;
    while (slot_count < 2 * count)
        slot_count *= 2;
    const std::size_t size = (slot_count + 2 * count) * sizeof(std::uint32_t);
    void *buffer = allocate_buffer(size);
    if (buffer == nullptr)
        return LUMP_NO_MEMORY;
    auto *slots = static_cast<std::uint32_t *>(buffer);
    auto *next = slots + slot_count;
    auto *old_flags = next + count;
    *index = record_index{slots, next, old_flags, slot_count - 1, size, 0, true};

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
        // Kept here, where the record is being read anyway, rather than in a
        // second pass over the whole lump.
        old_flags[i] = surface_flags_of_record(lump, i);
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
    *index = record_index{nullptr, nullptr, nullptr, 0, 0, 0, true};
}

void queue_surface(texture_lump *lump, record_index *index, surface_batch *batch, const char *name,
                   std::size_t length, unsigned surface)
{
    if (length > NAME_SIZE)
        return;
    pending_surface &line = batch->lines[batch->count++];
    std::memcpy(line.name, name, length);
    line.length = length;
    line.surface = surface;
    line.record = look_ahead(*lump, index, name, length);
    if (line.record == lump->record_count) {
        line.hash = hash_name(line.name, length);
        __builtin_prefetch(&index->slots[line.hash & index->mask]);
    }
    if (batch->count == LOOKUP_BATCH)
        apply_queued(lump, index, batch);
}

std::size_t apply_queued(texture_lump *lump, record_index *index, surface_batch *batch)
{
    const std::size_t none = lump->record_count;
    // The slots were fetched as the lines were queued; now fetch the records
    // they point at, and their rings, all before the first is needed.
    for (std::size_t i = 0; i < batch->count; ++i) {
        const pending_surface &line = batch->lines[i];
        const std::uint32_t entry = line.record == none ? index->slots[line.hash & index->mask] : 0;
        if (entry != 0) {
            const std::size_t r = (entry & RECORD_MASK) - 1;
            __builtin_prefetch(lump->bytes + r * RECORD_SIZE);
            __builtin_prefetch(lump->bytes + r * RECORD_SIZE + SURFACE_FLAGS_AT, 1);
            __builtin_prefetch(&index->next[r]);
        }
    }
    std::size_t changed = 0;
    for (std::size_t i = 0; i < batch->count; ++i) {
        const pending_surface &line = batch->lines[i];
        std::size_t r = line.record;
        if (r == none) {
            const std::uint32_t entry = index->slots[find_slot(*lump, *index, line.name, line.length, line.hash)];
            if (entry == 0)
                continue;
            r = (entry & RECORD_MASK) - 1;
            index->hint = r + 1;
            index->hint_trusted = true;
        }
        changed += set_ring(lump, *index, r, line.surface);
    }
    batch->count = 0;
    return changed;
}

std::size_t apply_surface(texture_lump *lump, record_index *index, const char *texture_name, unsigned surface)
{
    surface_batch batch;
    batch.count = 0;
    queue_surface(lump, index, &batch, texture_name, std::strlen(texture_name), surface);
    return apply_queued(lump, index, &batch);
}

void restore_surface_flags(texture_lump *lump, const record_index &index)
{
    for (std::size_t i = 0; i < lump->record_count; ++i)
        set_record_surface_flags(lump, i, index.old_flags[i]);
}
