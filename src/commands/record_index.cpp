#include "commands/record_index.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "surfaces/surfaces.h"

namespace {

std::uint64_t rotate(std::uint64_t x, int bits)
{
    return x << bits | x >> (64 - bits);
}

void sip_round(std::uint64_t v[4])
{
    v[0] += v[1], v[1] = rotate(v[1], 13), v[1] ^= v[0], v[0] = rotate(v[0], 32);
    v[2] += v[3], v[3] = rotate(v[3], 16), v[3] ^= v[2];
    v[0] += v[3], v[3] = rotate(v[3], 21), v[3] ^= v[0];
    v[2] += v[1], v[1] = rotate(v[1], 17), v[1] ^= v[2], v[2] = rotate(v[2], 32);
}

struct sip_key {
    std::uint64_t k0, k1;
};

// Where the kernel has no random bytes to give yet, the clock and the
// process number still differ from run to run.
sip_key random_key()
{
    sip_key key;
    if (getrandom(&key, sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key))
        return key;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return sip_key{static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^ static_cast<std::uint64_t>(getpid()),
                   static_cast<std::uint64_t>(now.tv_sec)};
}

// SipHash-1-3: one compression round per 8-byte word, three to finish.
std::uint64_t siphash13(const sip_key &key, const unsigned char *in, std::size_t size)
{
    std::uint64_t v[4] = {key.k0 ^ 0x736f6d6570736575u, key.k1 ^ 0x646f72616e646f6du,
                          key.k0 ^ 0x6c7967656e657261u, key.k1 ^ 0x7465646279746573u};
    const std::size_t whole = size & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        const std::uint64_t word = load_u32le(in + i) | std::uint64_t{load_u32le(in + i + 4)} << 32;
        v[3] ^= word, sip_round(v), v[0] ^= word;
    }
    std::uint64_t last = std::uint64_t{size} << 56;
    for (std::size_t i = whole; i < size; ++i)
        last |= std::uint64_t{in[i]} << (8 * (i - whole));
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
    static const sip_key key = random_key();
    return siphash13(key, reinterpret_cast<const unsigned char *>(name.data()), name.size());
}

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
