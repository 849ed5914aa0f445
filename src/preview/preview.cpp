// lumpsmith-preview MAP SURFACE_FILE: what "lumpsmith -si MAP SURFACE_FILE"
// would change, with nothing written. One line per record whose surface
// would change, in lump order: "NAME: OLD -> NEW", the name as -tl shows it
// and the surfaces as -se writes them; on standard error, the Error lines
// the import would print. Built on the import's own matching, so the two
// cannot disagree.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "game/matching.h"
#include "surfaces/surfaces.h"

namespace {

failure preview(invocation &inv)
{
    const map_reading &map = inv.reading;
    texture_lump edited;
    const failure f = build_edited_lump(map, inv.surfaces, stderr, &edited);
    if (f.status != NO_FAILURE)
        return f;
    const bool terminal = isatty(STDOUT_FILENO);
    for (std::size_t i = 0; i < map.lump.record_count; ++i) {
        const std::uint32_t before = surface_flags_of_record(map.lump, i);
        const std::uint32_t after = surface_flags_of_record(edited, i);
        if (before == after)
            continue;
        const std::string_view name = name_of_record(map.lump, i);
        const std::string old_surface = surface_name_of(before);
        std::printf("%s: %s -> %s\n", terminal ? escaped(name).c_str() : std::string(name).c_str(),
                    old_surface.c_str(), surface_name_of(after));
    }
    return ok();
}

const command_row PREVIEW = {{{1, MAP}, {2, SURFACE_FILE}}, preview, 1};

}  // namespace

int main(int argc, char **argv)
{
    return run_companion(PREVIEW, argc, argv, 3, 3, "MAP SURFACE_FILE");
}
