// The sources lumpsmith-check and lumpsmith-rules are given after their
// file: maps, read as the import reads them, under a shared lock, and
// archives and folders, whose maps are read as the game finds them.
#ifndef LUMPSMITH_SOURCES_H
#define LUMPSMITH_SOURCES_H

#include <string>
#include <vector>

#include "bsp/map_file.h"
#include "frontend/frontend.h"
#include "game/game_files.h"

struct given_map {
    const char *path;
    map_reading reading;
};

struct given_sources {
    std::vector<given_map> maps;          // in order
    std::vector<std::string> archives;    // archives and folders, in order
    std::vector<game_map> game_maps;      // the game's copy of each map in them, in name order
    std::vector<std::string> errors;      // Error lines' words for sources and maps that could not be read
};

// A map read, and the label its lines name it by.
struct source_map {
    const char *label;
    const map_reading *reading;
};

// Reads the command's arguments from argv[first] on as sources, each closed
// once read, then the maps the game would load from the archives and
// folders; a FIFO or other file that is not regular is refused at once.
// False when the command must not go on, with inv.status 2: a source is the
// file standard output writes to (after an Error line that says so), or
// standard error's, where nothing can be said safely.
bool read_sources(invocation &inv, int first, given_sources *sources);
// Every map of the sources: those given, in order, then the game's.
std::vector<source_map> maps_of(const given_sources &sources);

#endif
