#include "game/sources.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads one source into *sources; false when the command must not go on.
bool read_source(const char *path, given_sources *sources, std::string *refusal)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        sources->errors.push_back("Cannot open " + escaped(path));
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        sources->archives.push_back(path);
        return true;
    }
    std::string why;
    named_file map{open_regular_file(path, &st, &why), path};
    if (map.stream == nullptr) {
        // st is what the open found, where it found a file that is not regular.
        sources->errors.push_back(S_ISREG(st.st_mode) ? "Cannot open " + escaped(path)
                                                      : describe_failure(failure{MAP_NOT_REGULAR, path, 0}));
        return true;
    }
    // Standard error that is the map leaves nowhere safe to say so.
    if (is_the_map(map, STDERR_FILENO) || is_the_map(map, STDOUT_FILENO)) {
        *refusal = is_the_map(map, STDERR_FILENO)
                       ? ""
                       : "Refusing to write " + std::string(STANDARD_OUTPUT) + ": it is the same file as " + escaped(path);
        std::fclose(map.stream);
        return false;
    }
    given_map given{path, {}};
    // A lump too large for memory is OUT_OF_MEMORY, naming the map.
    failure f = read_map_shared(map, stderr, &given.reading);
    std::fclose(map.stream);
    f.holds_text = false;  // a surface file comes first here
    if (f.status == MAP_ZIP_ARCHIVE)
        sources->archives.push_back(path);
    else if (f.status != NO_FAILURE)
        sources->errors.push_back(describe_failure(f));
    else
        sources->maps.push_back(std::move(given));
    return true;
}

}  // namespace

bool read_sources(invocation &inv, int first, given_sources *sources)
{
    std::string refusal;
    for (int a = first; a < inv.argc; ++a)
        if (!read_source(inv.argv[a], sources, &refusal)) {
            inv.status = refusal.empty() ? 2 : report(refusal) + 1;
            return false;
        }
    sources->game_maps = read_game_maps(sources->archives, &sources->errors);
    return true;
}

std::vector<source_map> maps_of(const given_sources &sources)
{
    std::vector<source_map> maps;
    for (const given_map &map : sources.maps)
        maps.push_back({map.path, &map.reading});
    for (const game_map &map : sources.game_maps)
        maps.push_back({map.label.c_str(), &map.reading});
    return maps;
}
