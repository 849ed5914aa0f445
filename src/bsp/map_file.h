// The map as a file: reading its header and lump, locking it, and writing
// the lump back in place so that the map ends up either as it was or fully
// edited.
//
// Calling sequence for a safe write-back (the import's):
//   1. read_map_shared: take a shared lock, read header and lump, let go.
//   2. Work on that reading with the map unlocked, however long it takes.
//   3. lock_map(MAP_EXCLUSIVE_LOCK), then read_map again: the fresh reading,
//      whose stamp is what the write-back checks against.
//   4. The caller makes sure the fresh lump is still the one it worked on.
//   5. write_lump_back: check the stamp and the path, reserve the lump's
//      blocks, hold the stop signals and ignore SIGXFSZ, write, sync; when the
//      write or sync fails, put the fresh lump back as it was.
//   6. unlock_map, or close the stream.
//
// Error handling: every operation returns a failure, LUMP_OK or what went
// wrong together with the file's path and the errno of the call that
// failed, recorded where it failed. describe_failure words it for an
// "Error: " line. Nothing here prints but lock_map's note that it waits.
#ifndef LUMPSMITH_MAP_FILE_H
#define LUMPSMITH_MAP_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "bsp/bsp_lump.h"

enum lump_status {
    LUMP_OK = 0,
    LUMP_NOT_SEEKABLE,    // not a regular file (a pipe, a terminal)
    LUMP_IS_DIRECTORY,
    LUMP_ZIP_ARCHIVE,     // a .pk3 or other zip archive, which holds maps but is none
    LUMP_SHORT_HEADER,    // the file holds fewer than HEADER_SIZE bytes
    LUMP_OUTSIDE_FILE,    // offset + length reaches past the end of the file
    LUMP_OVERLAPS_HEADER, // a lump of some length starts inside the header
    LUMP_READ_FAILED,     // a read of the map failed
    LUMP_LOCK_FAILED,     // the filesystem offers locks but would not give one
    LUMP_MAP_CHANGED,     // another program replaced or rewrote the map since it was read
    LUMP_NO_SPACE,        // the lump's blocks could not be reserved; nothing written
    LUMP_RESERVE_FAILED,  // reserving failed for another reason; nothing written
    LUMP_WRITE_FAILED,    // the write-back failed; what it wrote was put back
    LUMP_SYNC_FAILED,     // the write-back may not have reached storage
    LUMP_INPUT_FAILED,    // the command's other input (the surface file) could not be read
    LUMP_OUTPUT_FAILED,   // the command's output could not be written
};

// An open file and its path as the user typed it, which messages name.
struct named_file {
    std::FILE *stream;
    const char *path;
};

struct failure {
    lump_status status;  // LUMP_OK when nothing failed
    const char *path;    // the file it is about
    int error;           // errno of the failed call; 0 when no call failed
};

// What identifies the map's contents as read: if any of it differs at
// write-back time, someone else changed the file in between.
struct file_stamp {
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t size;
    std::int64_t modified_ns;  // mtime
    std::int64_t changed_ns;   // ctime, which no one can set back
};

// One reading of a map.
struct map_reading {
    bsp_header header;
    texture_lump lump;
    std::uint64_t file_size;
    file_stamp stamp;  // taken before the first byte was read
};

enum map_lock { MAP_SHARED_LOCK, MAP_EXCLUSIVE_LOCK };

// Locks the whole open map. When another program holds a lock in the way,
// writes "lumpsmith: waiting for PATH, which another program has locked" to
// said, then waits. Where the filesystem has no locks the map goes
// unlocked and this still succeeds; LUMP_LOCK_FAILED for any other refusal.
failure lock_map(named_file map, map_lock kind, std::FILE *said);
// Lets go of the lock taken on this open map, if any.
void unlock_map(named_file map);

// Stamps the map and reads its header; succeeds only when the lump lies
// wholly inside the file and, unless it is empty, after the header.
failure read_header(named_file map, map_reading *reading);
// read_header, then the whole lump in one read.
failure read_map(named_file map, map_reading *reading);
// read_map under a shared lock, released before returning.
failure read_map_shared(named_file map, std::FILE *said, map_reading *reading);
// Step 5 above: writes edited, a lump of fresh's length, at fresh's lump
// offset. LUMP_MAP_CHANGED when the path no longer names the open map or
// the map's stamp differs from fresh's; LUMP_NO_SPACE or
// LUMP_RESERVE_FAILED before anything is written; LUMP_WRITE_FAILED or
// LUMP_SYNC_FAILED after the fresh lump was written back in its place.
failure write_lump_back(named_file map, const map_reading &fresh, const texture_lump &edited);

// The words of an Error line for a failure, without "Error: " and the line
// feed: "Cannot write map.bsp: No space left on device".
std::string describe_failure(const failure &f);

#endif
