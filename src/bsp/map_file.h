// The map as a file: reading, locking and rewriting the lump in place so the
// map ends up as it was or fully edited. An import reads with read_map_shared,
// works unlocked for as long as it takes, then hands rewrite_lump its edit;
// rewrite_lump alone writes, and takes every step in order: the exclusive
// lock, a fresh reading, the edit checked against it, the write-back and
// its sync unless no byte changed, and the unlock.
#ifndef LUMPSMITH_MAP_FILE_H
#define LUMPSMITH_MAP_FILE_H

#include <sys/stat.h>

#include "bsp/bsp_lump.h"
#include "bsp/file_io.h"
#include "failure.h"

struct map_reading {
    bsp_header header;
    texture_lump lump;
    // Taken before the first byte was read: a device, inode, size, mtime or
    // ctime (which no one can set back) that differs later means a change.
    struct stat stamp;
};

// True when fd is open on the same file (device and inode) as the map.
bool is_the_map(named_file map, int fd);
// True when the file's path still names the open file and its stamp is the one given.
bool unchanged_since(named_file file, const struct stat &stamp);

// Stamps the map and reads its header and whole lump; fails unless the lump
// lies inside the file and, unless empty, after the header.
failure read_map(named_file map, map_reading *reading);
// The checks read_map makes of a header, on its first present bytes, for a
// map of file_size bytes; fills *header.
failure check_header(const char *path, const unsigned char *bytes, std::size_t present, std::uint64_t file_size,
                     bsp_header *header);
// Takes an open-file-description lock of type F_RDLCK or F_WRLCK on the
// whole file, which closing it drops. Where another program's lock is in
// the way, says "PROGRAM: waiting for PATH, which another program has
// locked" on said (PROGRAM as it was run) and waits; where the filesystem
// has no locks the file goes unlocked; MAP_LOCK_FAILED, with the errno, for
// any other refusal.
failure lock_map(named_file map, short type, std::FILE *said);
// read_map under a shared lock, taken as lock_map takes it (rewrite_lump
// takes its exclusive lock so too).
failure read_map_shared(named_file map, std::FILE *said, map_reading *reading);

// The caller's part of a rewrite: checks the fresh reading and puts the edit
// into *edited, without throwing; a failure ends it with nothing written.
using lump_edit = failure (*)(const map_reading &fresh, texture_lump *edited, void *context);
// Locks, reads afresh, runs edit(fresh, edited, context), writes back, syncs
// and unlocks. Nothing is written on MAP_CHANGED (an edit of another length,
// the path renamed over or the stamp moved), MAP_OVER_SIZE_LIMIT,
// MAP_NO_SPACE or MAP_RESERVE_FAILED; on MAP_WRITE_FAILED and
// MAP_SYNC_FAILED the fresh lump was put back, and on MAP_ROLLBACK_FAILED
// that failed too.
failure rewrite_lump(named_file map, std::FILE *said, lump_edit edit, void *context, texture_lump *edited);

#endif
