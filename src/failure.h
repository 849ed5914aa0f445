// What went wrong, and the words for it: a failure is built where the call
// failed, with its file's path and errno, and handed up as a value. The
// front end prints the one that ends a command as an Error line; a
// companion that goes on after one (the check, the plan and the override,
// map by map; src/game, which keeps a failure's words for an Error line
// later) words it with describe_failure.
#ifndef LUMPSMITH_FAILURE_H
#define LUMPSMITH_FAILURE_H

#include <string>
#include <string_view>

enum failure_status {
    NO_FAILURE = 0,
    MAP_NOT_REGULAR,      // not a regular file (a pipe, a FIFO, a terminal)
    MAP_IS_DIRECTORY,
    MAP_ZIP_ARCHIVE,      // a .pk3 or other zip archive, which holds maps but is none
    MAP_SHORT_HEADER,     // the file holds fewer than HEADER_SIZE bytes
    MAP_OUTSIDE_FILE,     // offset + length reaches past the end of the file
    MAP_OVERLAPS_HEADER,  // a lump of some length starts inside the header
    MAP_READ_FAILED,      // a read of the map failed
    MAP_LOCK_FAILED,      // the filesystem offers locks but would not give one
    MAP_CHANGED,          // another program replaced or rewrote the map since it was read
    MAP_OVER_SIZE_LIMIT,  // the file-size limit ends before the lump does; nothing written
    MAP_NO_SPACE,         // the lump's blocks could not be reserved; nothing written
    MAP_RESERVE_FAILED,   // reserving failed for another reason; nothing written
    MAP_WRITE_FAILED,     // the write-back failed; the old lump was written back
    MAP_SYNC_FAILED,      // the write-back may not have reached storage; the old lump was written back
    MAP_ROLLBACK_FAILED,  // the write-back failed, and so did writing the old lump back
    OUT_OF_MEMORY,        // the file is too large for the memory this process may have
    INPUT_UNREADABLE,     // the command's other input (the surface or rules file) could not be read
    OUTPUT_UNWRITABLE,    // the command's output could not be written
};

struct failure {
    failure_status status;  // NO_FAILURE when nothing failed
    const char *path;       // the file it is about
    int error;              // errno of the failed call; 0 when no call failed
    int rollback_error = 0; // with MAP_ROLLBACK_FAILED: errno of the failed rollback
    bool holds_text = false; // a map refused for its header holds text: arguments swapped?
};

inline failure ok() { return failure{NO_FAILURE, nullptr, 0}; }  // nothing failed
// An Error line's words, without "Error: " or line feed: "Cannot write m.bsp: No space left on device".
std::string describe_failure(const failure &f);

// Appends text with what could drive a terminal written as \r, \n, \t or
// \xHH: C0 and C1 controls (raw or in UTF-8), DEL, and bytes not in valid UTF-8.
void append_escaped(std::string *to, std::string_view text);
std::string escaped(std::string_view text);  // the same, as a new string
constexpr const char *STANDARD_OUTPUT = "standard output";  // how messages name it
// The path as one shell word that pastes back as this path, quoted where it must be.
std::string shell_word(std::string_view path);

#endif
