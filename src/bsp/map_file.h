// The map as a file: reading it, locking it, and rewriting the lump in
// place so that the map ends up either as it was or fully edited. A rewrite
// (the import's) goes:
//   1. read_map_shared: take a shared lock, read header and lump, let go.
//   2. Work on that reading with the map unlocked, however long it takes.
//   3. rewrite_lump: lock exclusively and read the map again; hand that
//      fresh reading to the caller's edit, which checks that it is still
//      what it worked on and puts the edit into a lump of its own; when the
//      edit changes any byte, write it back (write_lump_back); unlock.
// rewrite_lump takes steps 3 on, in that order, so no caller can skip one.
#ifndef LUMPSMITH_MAP_FILE_H
#define LUMPSMITH_MAP_FILE_H

#include <sys/stat.h>

#include <cstdio>

#include "bsp/bsp_lump.h"
#include "failure.h"

// One reading of a map.
struct map_reading {
    bsp_header header;
    texture_lump lump;
    // Taken before the first byte was read. A device, inode, size, mtime or
    // ctime (which no one can set back) that differs at write-back time
    // means someone else changed the file in between.
    struct stat stamp;
};

// True when fd is open on the same file (device and inode) as the map.
bool is_the_map(named_file map, int fd);

// Stamps the map, reads its header and then the whole lump in one read;
// succeeds only when the lump lies wholly inside the file and, unless it
// is empty, after the header.
failure read_map(named_file map, map_reading *reading);
// read_map under a shared lock, released before returning. When another
// program holds a lock in the way, this and rewrite_lump write "lumpsmith:
// waiting for PATH, which another program has locked" to said and wait;
// where the filesystem has no locks the map goes unlocked. MAP_LOCK_FAILED
// for any other refusal.
failure read_map_shared(named_file map, std::FILE *said, map_reading *reading);

// The caller's part of a rewrite: checks the fresh reading and puts the
// edited lump into *edited, which must then have the fresh lump's length.
// A failure ends the rewrite with nothing written.
using lump_edit = failure (*)(const map_reading &fresh, texture_lump *edited, void *context);
// Steps 3 on above: the exclusive lock, the fresh reading, edit(fresh,
// edited, context), and the write-back unless the edit changed no byte.
failure rewrite_lump(named_file map, std::FILE *said, lump_edit edit, void *context, texture_lump *edited);
// Writes edited at fresh's lump offset. MAP_CHANGED, with nothing written,
// when edited's length is not fresh's, when the path no longer names the
// open map or when the map's stamp differs from fresh's; MAP_NO_SPACE or
// MAP_RESERVE_FAILED before anything is written; MAP_WRITE_FAILED or
// MAP_SYNC_FAILED after the fresh lump was written back in its place, and
// MAP_ROLLBACK_FAILED when that failed too.
failure write_lump_back(named_file map, const map_reading &fresh, const texture_lump &edited);

#endif
