#include "commands/record_index.h"

#include <sys/random.h>

#include <array>
#include <cstring>

#include "surfaces/surfaces.h"

namespace {

std::uint64_t rotate(std::uint64_t x, int bits)
{
    return x << bits | x >> (64 - bits);
}

// Written out whole, so that the compiler makes it one load.
std::uint64_t load_u64le(const unsigned char *p)
{
    return std::uint64_t{p[0]} | std::uint64_t{p[1]} << 8 | std::uint64_t{p[2]} << 16 | std::uint64_t{p[3]} << 24 |
           std::uint64_t{p[4]} << 32 | std::uint64_t{p[5]} << 40 | std::uint64_t{p[6]} << 48 | std::uint64_t{p[7]} << 56;
}

void sip_round(std::uint64_t v[4])
{
    v[0] += v[1], v[1] = rotate(v[1], 13) ^ v[0], v[0] = rotate(v[0], 32);
    v[2] += v[3], v[3] = rotate(v[3], 16) ^ v[2];
    v[0] += v[3], v[3] = rotate(v[3], 21) ^ v[0];
    v[2] += v[1], v[1] = rotate(v[1], 17) ^ v[2], v[2] = rotate(v[2], 32);
}

// SipHash-1-3: one compression round per 8-byte word, the last one holding
// the length in its top byte, then three rounds to finish.
std::uint64_t siphash13(const std::uint64_t key[2], const unsigned char *in, std::size_t size)
{
    std::uint64_t v[4] = {key[0] ^ 0x736f6d6570736575u, key[1] ^ 0x646f72616e646f6du,
                          key[0] ^ 0x6c7967656e657261u, key[1] ^ 0x7465646279746573u};
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t word = load_u64le(in + i);
        v[3] ^= word, sip_round(v), v[0] ^= word;
    }
    // The last word: the tail's bytes under the length.
    std::uint64_t last = std::uint64_t{size} << 56;
    for (std::size_t k = i; k < size; ++k)
        last |= std::uint64_t{in[k]} << (8 * (k - i));
    v[3] ^= last, sip_round(v), v[0] ^= last;
    v[2] ^= 0xFF;
    sip_round(v), sip_round(v), sip_round(v);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

// True when record i bears exactly name. Where the name must end is looked
// at first: most records compared in a probe differ there already.
bool is_named(const texture_lump &lump, std::size_t i, std::string_view name)
{
    const unsigned char *field = lump.bytes.get() + i * RECORD_SIZE;
    return name.size() <= NAME_SIZE && (name.size() == NAME_SIZE || field[name.size()] == '\0') &&
           std::memcmp(field, name.data(), name.size()) == 0;
}

// The slot that holds name's group, or the empty slot where it belongs.
std::size_t slot_of(const record_index &index, std::string_view name)
{
    std::size_t slot = name_hash(name) & index.mask;
    while (index.slots[slot] != 0 && !is_named(*index.lump, index.slots[slot] - 1, name))
        slot = (slot + 1) & index.mask;
    return slot;
}

}  // namespace

std::uint64_t name_hash(std::string_view name)
{
    // Early in boot, before the kernel has random bytes to give, the key
    // stays zero rather than the run blocking: names can then be chosen to
    // collide, which costs time, never a wrong result.
    static const std::array<std::uint64_t, 2> key = [] {
        std::array<std::uint64_t, 2> k{};
        if (getrandom(k.data(), sizeof k, GRND_NONBLOCK) != sizeof k)
            k = {};
        return k;
    }();
    return siphash13(key.data(), reinterpret_cast<const unsigned char *>(name.data()), name.size());
}

void index_records(const texture_lump &lump, record_index *index)
{
    // A lump holds at most 4 GiB / 72 records, so a record number fits in 32 bits.
    std::size_t size = 16;
    while (size < 4 * lump.record_count)
        size *= 2;
    index->lump = &lump;
    index->mask = size - 1;
    index->slots.assign(size, 0);
    index->group.assign(lump.record_count, 0);
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
