// The command line: opens a command's files by their roles, reads its maps,
// runs it, closes the files and decides the exit status. lumpsmith's switches
// and the companion commands all run through run_command.
#ifndef LUMPSMITH_FRONTEND_H
#define LUMPSMITH_FRONTEND_H

#include <string>
#include <vector>

#include "bsp/map_file.h"

constexpr int MAX_FILES = 2;

// What a file is to its command, which decides how it is opened and checked.
// A map is opened without waiting, so that a FIFO given as one cannot block,
// and every map a command reads is read whole, under a shared lock, once
// the command's other files are open but before an output is: no output is
// created or emptied for a map that cannot be read.
enum file_role {
    NO_FILE,        // ends a row's list
    MAP,            // opened for reading and read
    MAP_TO_UPDATE,  // opened for reading and writing and read: the import's
    UNREAD_MAP,     // opened and checked as a map, never read: -tc's placeholder
    SURFACE_FILE,   // opened for reading
    OUTPUT,         // created, or emptied once known not to be a map
};

struct file_slot {
    int arg;  // index into argv, or from its end when negative; skipped when not given
    file_role role;
};

// What a command is handed. A file its row does not name has a null stream.
struct invocation {
    int argc = 0;
    char **argv = nullptr;
    named_file map = {};          // MAP, MAP_TO_UPDATE or UNREAD_MAP
    map_reading reading = {};     // what MAP or MAP_TO_UPDATE read
    named_file surfaces = {};
    named_file output = {stdout, STANDARD_OUTPUT};  // OUTPUT, or standard output where none is given
    int status = 0;               // the exit status the command asks for when nothing fails
};

struct command_row {
    file_slot files[MAX_FILES];  // opened in this order
    failure (*run)(invocation &);
    int error_status;  // the exit status after an Error line
};

// Runs one whole invocation of lumpsmith; returns the exit status, 0 or 1.
int run_command_line(int argc, char **argv);
// Opens the row's files, runs it and closes them. A failure the command
// returns becomes one Error line and the row's error status; otherwise the
// status is the one the command asks for.
int run_command(const command_row &row, int argc, char **argv);
// A companion command's whole run: run_command when it is given from
// min_count to max_count arguments (its name counted); otherwise its usage
// line, "usage: PROGRAM words", and the row's error status.
int run_companion(const command_row &row, int argc, char **argv, int min_count, int max_count, const char *words);
// Writes "Error: WHAT" to standard error; returns 1.
int report(const std::string &what);

#endif
