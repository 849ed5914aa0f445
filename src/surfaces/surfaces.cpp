#include "surfaces/surfaces.h"

#include <array>
#include <cstring>

const char *const surface_names[SURFACE_COUNT] = {
    "none",     "tin",    "aluminum", "iron",        "titanium", "steel",     "copper",   "brass",
    "cement",   "rock",   "gravel",   "pavement",    "brick",    "clay",      "grass",    "dirt",
    "mud",      "snow",   "ice",      "sand",        "ceramictile", "linoleum", "rug",    "plaster",
    "plastic",  "cardboard", "hardwood", "softwood", "plank",    "glass",     "water",    "stucco",
};

int surface_index_of(std::string_view name)
{
    // Every import line asks. The names sharing its first two bytes and its
    // length leave one candidate, or two (plaster, plastic) to compare.
    struct candidates {
        std::array<std::uint32_t, 256> by_first{}, by_second{}, by_length{};
    };
    static const candidates sets = [] {
        candidates c;
        for (std::size_t i = 0; i < SURFACE_COUNT; ++i) {
            c.by_first[static_cast<unsigned char>(surface_names[i][0])] |= std::uint32_t{1} << i;
            c.by_second[static_cast<unsigned char>(surface_names[i][1])] |= std::uint32_t{1} << i;
            c.by_length[std::strlen(surface_names[i])] |= std::uint32_t{1} << i;
        }
        return c;
    }();
    if (name.size() < 2 || name.size() > 255)
        return -1;
    std::uint32_t set = sets.by_first[static_cast<unsigned char>(name[0])] &
                        sets.by_second[static_cast<unsigned char>(name[1])] & sets.by_length[name.size()];
    for (; set != 0; set &= set - 1)
        if (std::memcmp(name.data(), surface_names[__builtin_ctz(set)], name.size()) == 0)
            return __builtin_ctz(set);
    return -1;
}

const char *surface_name_of(std::uint32_t surface_flags)
{
    // Per thread: the companions name surfaces from every core at once.
    static thread_local char unknown[UNKNOWN_BUFFER_SIZE];
    const std::uint32_t index = surface_flags >> SURFACE_SHIFT;
    if (index < SURFACE_COUNT)
        return surface_names[index];
    std::snprintf(unknown, sizeof unknown, "unknown (%03x)", static_cast<unsigned>(index));
    return unknown;
}

std::uint32_t set_surface_index(std::uint32_t surface_flags, unsigned index)
{
    return static_cast<std::uint32_t>(index) << SURFACE_SHIFT | (surface_flags & LOW_FLAGS_MASK);
}

int list_surfaces(std::FILE *out)
{
    std::fputs("Surfaces:\n\n", out);
    for (const char *name : surface_names)
        std::fprintf(out, "  * %s\n", name);
    return 0;
}
