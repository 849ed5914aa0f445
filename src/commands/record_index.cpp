#include "commands/record_index.h"

#include <algorithm>
#include <cstring>

#include "surfaces/surfaces.h"

namespace {

// A slot is 32 bits:
//
//   31         27   26    25                                 0
//   +-------------+------+-----------------------------------+
//   |  hash tag   |shared|        1 + a record's index       |
//   +-------------+------+-----------------------------------+
//
// The tag, a few bits of the name's hash, spares a probe most looks at
// records that are not the one sought. "shared" says the name has more
// records than one, so a lookup of a name borne once stops at the first. A lump of at most 4 GiB holds fewer than 2^26 records of 72 bytes.
// Keeping slots this small keeps more of the table in cache, and every
// lookup in it lands at random.
constexpr unsigned RECORD_BITS = 26;
constexpr std::uint32_t RECORD_MASK = (std::uint32_t{1} << RECORD_BITS) - 1;
constexpr std::uint32_t SHARED_BIT = std::uint32_t{1} << RECORD_BITS;
constexpr std::uint32_t TAG_MASK = ~(RECORD_MASK | SHARED_BIT);
static_assert((std::uint64_t{1} << 32) / RECORD_SIZE < RECORD_MASK, "every record index fits below the tag");

// How far past the last record found a line's record is looked for before
// the table is asked: a surface file written by the export names its records
// in lump order, skipping the ones it leaves out.
constexpr std::size_t HINT_WINDOW = 8;
// How many records ahead the build starts fetching its slot from memory;
// without it a build of 400,000 records took a fifth longer.
constexpr std::size_t PREFETCH_AHEAD = 32;

// The slot is taken from the hash's low bits and the tag from its high
// half, so that names sharing a slot seldom share a tag.
std::uint32_t tag_of(std::uint64_t hash)
{
    return static_cast<std::uint32_t>(hash >> 32) & TAG_MASK;
}

// Where a name's probe starts.
std::size_t home_slot(const record_index &index, std::uint64_t hash)
{
    return hash & index.mask;
}

// Names are hashed eight bytes at a time: byte-wise hashing of every name,
// once to build the index and once per line, was a sixth of an import's
// instructions.
constexpr std::uint64_t HASH_SEED = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t HASH_MULTIPLIER = 0xFF51AFD7ED558CCDull;
constexpr std::uint64_t ONE_IN_EACH_BYTE = 0x0101010101010101ull;
constexpr std::uint64_t TOP_OF_EACH_BYTE = 0x8080808080808080ull;

// Eight name bytes as one number, the first byte lowest.
std::uint64_t load_word(const char *p)
{
    std::uint64_t word;
    std::memcpy(&word, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

std::uint64_t mix_word(std::uint64_t hash, std::uint64_t word)
{
    hash = (hash ^ word) * HASH_MULTIPLIER;
    return hash ^ (hash >> 32);
}

// tail: the bytes after the last whole word, zero-padded.
std::uint64_t finish_hash(std::uint64_t hash, std::uint64_t tail, std::size_t length)
{
    hash = (hash ^ tail ^ length * HASH_SEED) * HASH_MULTIPLIER;
    // Names often differ only in their last bytes, which the multiplications
    // carry upward alone; the slot is taken from the low bits, so mix down.
    hash ^= hash >> 33;
    hash *= 0xC4CEB9FE1A85EC53ull;
    hash ^= hash >> 33;
    return hash;
}

// The bytes after the name that share its last word are read and masked
// off, so they must be readable: every caller's name lies at the start of
// a buffer of at least NAME_SIZE bytes.
std::uint64_t hash_name(const char *text, std::size_t length)
{
    std::uint64_t hash = HASH_SEED;
    std::size_t at = 0;
    for (; at + 8 <= length; at += 8)
        hash = mix_word(hash, load_word(text + at));
    std::uint64_t tail = 0;
    if (at < length)
        tail = load_word(text + at) & ((std::uint64_t{1} << (8 * (length - at))) - 1);
    return finish_hash(hash, tail, length);
}

// A record's name and hash_name of it in one pass over its words, which
// stops at the word holding the NUL: finding the NUL first and then hashing
// read every name twice.
std::uint64_t hash_record_name(const texture_lump &lump, std::size_t i, record_name *name)
{
    const char *text = reinterpret_cast<const char *>(lump.bytes + i * RECORD_SIZE);
    std::uint64_t hash = HASH_SEED;
    for (std::size_t at = 0; at < NAME_SIZE; at += 8) {
        const std::uint64_t word = load_word(text + at);
        // The lowest bit set marks the first zero byte; higher ones may lie.
        const std::uint64_t zeros = (word - ONE_IN_EACH_BYTE) & ~word & TOP_OF_EACH_BYTE;
        if (zeros != 0) {
            const unsigned kept = static_cast<unsigned>(__builtin_ctzll(zeros)) / 8;
            *name = record_name{text, at + kept};
            const std::uint64_t tail = kept == 0 ? 0 : word & ((std::uint64_t{1} << (8 * kept)) - 1);
            return finish_hash(hash, tail, at + kept);
        }
        hash = mix_word(hash, word);
    }
    *name = record_name{text, NAME_SIZE};
    return finish_hash(hash, 0, NAME_SIZE);
}

bool is_shared(const record_index &index, std::size_t r)
{
    return (index.shared[r / 8] >> (r % 8)) & 1;
}

void mark_shared(record_index *index, std::size_t r)
{
    index->shared[r / 8] = static_cast<std::uint8_t>(index->shared[r / 8] | 1u << (r % 8));
}

std::size_t next_slot(const record_index &index, std::size_t slot)
{
    return (slot + 1) & index.mask;
}

// Sets the surface of every record named text; returns how many, and in
// *first the first of them found. A name borne once ends the probe there.
std::size_t set_named(texture_lump *lump, const record_index &index, const char *text, std::size_t length,
                      std::uint64_t hash, unsigned surface, std::size_t *first)
{
    std::size_t changed = 0;
    for (std::size_t slot = home_slot(index, hash);; slot = next_slot(index, slot)) {
        const std::uint32_t entry = index.slots[slot];
        if (entry == 0)
            return changed;
        const std::size_t r = (entry & RECORD_MASK) - 1;
        if ((entry & TAG_MASK) != tag_of(hash) || !record_is_named(*lump, r, text, length))
            continue;
        set_record_surface_flags(lump, r, set_surface_index(surface_flags_of_record(*lump, r), surface));
        if (changed++ == 0)
            *first = r;
        if ((entry & SHARED_BIT) == 0)
            return changed;
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

// Sets the surface of record r, found by the look-ahead, and of any other
// record of its name.
std::size_t set_found(texture_lump *lump, const record_index &index, std::size_t r, const char *text,
                      std::size_t length, unsigned surface)
{
    if (!is_shared(index, r)) {
        set_record_surface_flags(lump, r, set_surface_index(surface_flags_of_record(*lump, r), surface));
        return 1;
    }
    std::size_t first;
    return set_named(lump, index, text, length, hash_name(text, length), surface, &first);
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
    // Every byte here is fresh memory the kernel must zero, a cost paid per
    // record: so a record keeps only its surface index for a rollback and
    // one bit saying whether its name is shared.
    const std::size_t size =
        slot_count * sizeof(std::uint32_t) + count * sizeof(std::uint16_t) + (count + 7) / 8;
    void *buffer = allocate_buffer(size);
    if (buffer == nullptr)
        return LUMP_NO_MEMORY;
    auto *slots = static_cast<std::uint32_t *>(buffer);
    auto *old_surfaces = reinterpret_cast<std::uint16_t *>(slots + slot_count);
    auto *shared = reinterpret_cast<std::uint8_t *>(old_surfaces + count);
    *index = record_index{slots, old_surfaces, shared, slot_count - 1, size, 0, true};

    // Slots are hit at random, so each is fetched a few records early; the
    // name and hash learnt then are kept for when the record's turn comes.
    struct named_hash {
        record_name name;
        std::uint64_t hash;
    };
    named_hash ahead[PREFETCH_AHEAD];
    const auto fetch = [&](std::size_t i) {
        named_hash &a = ahead[i % PREFETCH_AHEAD];
        a.hash = hash_record_name(lump, i, &a.name);
        __builtin_prefetch(&slots[home_slot(*index, a.hash)]);
    };
    for (std::size_t i = 0; i < PREFETCH_AHEAD && i < count; ++i)
        fetch(i);
    for (std::size_t i = 0; i < count; ++i) {
        const named_hash current = ahead[i % PREFETCH_AHEAD];
        if (i + PREFETCH_AHEAD < count)
            fetch(i + PREFETCH_AHEAD);
        // Kept here, where the record is being read anyway, rather than in a
        // second pass over the whole lump.
        old_surfaces[i] = static_cast<std::uint16_t>(surface_flags_of_record(lump, i) >> SURFACE_SHIFT);
        // The record goes in the first empty slot of its run; any record of
        // the same name met on the way, and this one, are marked shared.
        const std::uint32_t tag = tag_of(current.hash);
        std::uint32_t shared_bit = 0;
        std::size_t slot = home_slot(*index, current.hash);
        for (; slots[slot] != 0; slot = next_slot(*index, slot)) {
            const std::size_t other = (slots[slot] & RECORD_MASK) - 1;
            if ((slots[slot] & TAG_MASK) == tag &&
                record_is_named(lump, other, current.name.text, current.name.length)) {
                slots[slot] |= SHARED_BIT;
                mark_shared(index, other);
                shared_bit = SHARED_BIT;
            }
        }
        slots[slot] = tag | shared_bit | static_cast<std::uint32_t>(i + 1);
        if (shared_bit != 0)
            mark_shared(index, i);
    }
    return LUMP_OK;
}

void release_record_index(record_index *index)
{
    release_buffer(index->slots, index->size);
    *index = record_index{nullptr, nullptr, nullptr, 0, 0, 0, true};
}

namespace {

// Second step of a half: its slots were fetched as its lines were queued;
// now fetch the records they point at.
void fetch_records(const texture_lump &lump, const record_index &index, const line_half &half)
{
    for (std::size_t i = 0; i < half.count; ++i) {
        const pending_surface &line = half.lines[i];
        const std::uint32_t entry = line.record == lump.record_count ? index.slots[home_slot(index, line.hash)] : 0;
        if (entry != 0) {
            const std::size_t r = (entry & RECORD_MASK) - 1;
            __builtin_prefetch(lump.bytes + r * RECORD_SIZE);
            __builtin_prefetch(lump.bytes + r * RECORD_SIZE + SURFACE_FLAGS_AT, 1);
        }
    }
}

// Last step: compare and apply, in line order, so the last line for a name wins.
std::size_t settle(texture_lump *lump, record_index *index, line_half *half)
{
    std::size_t changed = 0;
    for (std::size_t i = 0; i < half->count; ++i) {
        const pending_surface &line = half->lines[i];
        if (line.record != lump->record_count) {
            changed += set_found(lump, *index, line.record, line.name, line.length, line.surface);
            continue;
        }
        std::size_t first;
        const std::size_t set = set_named(lump, *index, line.name, line.length, line.hash, line.surface, &first);
        if (set != 0) {
            // Only a look-ahead hit earns the whole window back: after a
            // file out of lump order, one try per line is all it wastes.
            index->hint = first + 1;
            index->hint_trusted = false;
            changed += set;
        }
    }
    half->count = 0;
    return changed;
}

}  // namespace

std::size_t queue_surface(texture_lump *lump, record_index *index, surface_batch *batch, const char *name,
                          std::size_t length, unsigned surface)
{
    if (length > NAME_SIZE)
        return 0;
    const std::size_t record = look_ahead(*lump, index, name, length);
    line_half &filling = batch->halves[batch->filling];
    line_half &older = batch->halves[1 - batch->filling];
    // Found with nothing queued before it: nothing to keep order with, so
    // a file in lump order never waits in the batch.
    if (record != lump->record_count && filling.count == 0 && older.count == 0)
        return set_found(lump, *index, record, name, length, surface);
    pending_surface &line = filling.lines[filling.count++];
    // The whole field's size: a fixed copy is a few moves, not a call.
    std::memcpy(line.name, name, NAME_SIZE);
    line.length = length;
    line.surface = surface;
    line.record = record;
    if (line.record == lump->record_count) {
        line.hash = hash_name(line.name, length);
        __builtin_prefetch(&index->slots[home_slot(*index, line.hash)]);
    }
    if (filling.count < LOOKUP_BATCH)
        return 0;
    // The full half's records start coming from memory while the older
    // half, whose records were asked for when it filled, is settled.
    fetch_records(*lump, *index, filling);
    const std::size_t changed = settle(lump, index, &older);
    batch->filling = 1 - batch->filling;
    return changed;
}

std::size_t apply_queued(texture_lump *lump, record_index *index, surface_batch *batch)
{
    line_half &filling = batch->halves[batch->filling];
    fetch_records(*lump, *index, filling);
    const std::size_t changed = settle(lump, index, &batch->halves[1 - batch->filling]);
    return changed + settle(lump, index, &filling);
}

std::size_t apply_surface(texture_lump *lump, record_index *index, const char *texture_name, unsigned surface)
{
    const std::size_t length = std::strlen(texture_name);
    if (length > NAME_SIZE)
        return 0;
    char name[NAME_SIZE] = {};
    std::memcpy(name, texture_name, length);
    surface_batch batch = empty_batch();
    const std::size_t changed = queue_surface(lump, index, &batch, name, length, surface);
    return changed + apply_queued(lump, index, &batch);
}

void restore_surface_flags(texture_lump *lump, const record_index &index)
{
    for (std::size_t i = 0; i < lump->record_count; ++i)
        set_record_surface_flags(lump, i, set_surface_index(surface_flags_of_record(*lump, i), index.old_surfaces[i]));
}
