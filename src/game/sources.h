// The sources lumpsmith-check and lumpsmith-rules are given after their
// file: maps, read as the import reads them, under a shared lock, and
// archives and folders, which read_game_maps reads as the game does.
#ifndef LUMPSMITH_SOURCES_H
#define LUMPSMITH_SOURCES_H

#include <string>
#include <vector>

#include "bsp/map_file.h"
#include "frontend/frontend.h"

struct given_map {
    const char *path;
    map_reading reading;
};

struct given_sources {
    std::vector<given_map> maps;          // in order
    std::vector<std::string> archives;    // archives and folders, in order
    std::vector<std::string> errors;      // Error lines' words for sources that could not be read
};

// Reads the command's arguments from argv[first] on as sources, each closed
// once read; a FIFO or other file that is not regular is refused at once.
// False when the command must not go on, with inv.status 2: a source is the
// file standard output writes to (after an Error line that says so), or
// standard error's, where nothing can be said safely.
bool read_sources(invocation &inv, int first, given_sources *sources);

#endif
