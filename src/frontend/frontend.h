// The command line: picks a command by its switch, opens its files, runs it,
// closes them and decides the exit status. The companions build on run_command.
#ifndef LUMPSMITH_FRONTEND_H
#define LUMPSMITH_FRONTEND_H

#include <fcntl.h>

#include <string>

#include "bsp/map_file.h"

constexpr int MAX_FILES = 2;

// Where a command finds a file among its arguments, and how it opens it.
struct file_slot {
    int arg;           // index into argv; the file is skipped when argc is not above it
    int flags;         // open flags
    const char *mode;  // the stream's mode; nullptr marks an unused slot
};

// A map is opened without waiting, so that a FIFO given as one cannot
// block; an output is emptied only once it is known not to be the map.
constexpr file_slot map_to_read(int arg) { return {arg, O_RDONLY | O_NONBLOCK, "rb"}; }
constexpr file_slot map_to_update(int arg) { return {arg, O_RDWR | O_NONBLOCK, "r+b"}; }
constexpr file_slot output_at(int arg) { return {arg, O_WRONLY | O_CREAT, "w"}; }
constexpr file_slot surfaces_at(int arg) { return {arg, O_RDONLY, "r"}; }

// What a command is handed: its row's files (null where not given) and the map as read.
struct invocation {
    int argc;
    char **argv;
    named_file files[MAX_FILES];
    int opened;
    map_reading map;
};

struct command_row {
    const char *switch_text;
    int min_count, max_count;  // total argument counts accepted, program name included
    file_slot files[MAX_FILES];  // opened in this order; the map, where there is one, first
    bool reads_map;              // the map is read before any other file is opened
    failure (*run)(const invocation &);
};

// Runs one whole invocation of lumpsmith; returns the exit status, 0 or 1.
int run_command_line(int argc, char **argv);
// Opens the row's files, runs it and closes them; the exit status, 0 or 1.
// A failure the command returns becomes one Error line.
int run_command(const command_row &row, int argc, char **argv);
// Opens a map for reading as a row would; 0, or 1 after saying why not.
int open_map(const char *path, named_file *map);
// Writes "Error: WHAT" to standard error; returns 1.
int report(const std::string &what);

#endif
