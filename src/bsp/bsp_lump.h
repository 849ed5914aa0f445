// The one piece of a BSP file this tool understands: the header fields that
// locate the texture lump, and the 72-byte texture records packed in it.
#ifndef LUMPSMITH_BSP_LUMP_H
#define LUMPSMITH_BSP_LUMP_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <signal.h>

// Header, the first 144 bytes of the file (all integers little-endian):
//
//   0         16           20           24                          144
//   +---------+------------+------------+---------------------------+
//   | ignored | lump_offset | lump_length |         ignored         |
//   +---------+------------+------------+---------------------------+
constexpr std::size_t HEADER_SIZE = 144;
constexpr std::size_t LUMP_OFFSET_AT = 16;
constexpr std::size_t LUMP_LENGTH_AT = 20;

// Texture record, packed back to back from the lump's first byte; trailing
// bytes that do not make a whole record are carried but never interpreted:
//
//   0                                  64              68              72
//   +----------------------------------+---------------+---------------+
//   | name (NUL-terminated, or all 64) | surface_flags | content_flags |
//   +----------------------------------+---------------+---------------+
constexpr std::size_t RECORD_SIZE = 72;
constexpr std::size_t NAME_SIZE = 64;
constexpr std::size_t SURFACE_FLAGS_AT = 64;
constexpr std::size_t CONTENT_FLAGS_AT = 68;

static_assert(LUMP_LENGTH_AT + 4 <= HEADER_SIZE, "lump fields lie inside the header");
static_assert(NAME_SIZE == SURFACE_FLAGS_AT, "flags follow the name field directly");
static_assert(CONTENT_FLAGS_AT + 4 == RECORD_SIZE, "a record ends with its content flags");

// What can go wrong between the files and memory.
enum lump_status {
    LUMP_OK = 0,
    LUMP_NOT_SEEKABLE,    // the size could not be learnt (a pipe, a failed seek)
    LUMP_IS_DIRECTORY,
    LUMP_SHORT_HEADER,    // the file holds fewer than HEADER_SIZE bytes
    LUMP_OUTSIDE_FILE,    // offset + length reaches past the end of the file
    LUMP_OVERLAPS_HEADER, // a lump of some length starts inside the header
    LUMP_READ_FAILED,     // a read came up short although the size allowed it
    LUMP_NO_MEMORY,
    LUMP_LOCK_FAILED,     // the filesystem offers locks but would not give one
    LUMP_MAP_CHANGED,     // another program replaced or rewrote the map since it was read
    LUMP_NO_SPACE,        // the lump's blocks could not be reserved; nothing written
    LUMP_WRITE_FAILED,    // seek, write or flush of the write-back failed
    LUMP_SYNC_FAILED,     // the write-back may not have reached storage
    LUMP_INPUT_FAILED,    // the command's other input (the surface file) could not be read
    LUMP_OUTPUT_FAILED,   // the command's output could not be written
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

struct bsp_header {
    unsigned char bytes[HEADER_SIZE];  // read whole, never written back
    std::uint32_t lump_offset;
    std::uint32_t lump_length;
    std::uint64_t file_size;           // learnt when the header was read
    file_stamp stamp;                  // taken before the first byte was read
};

enum map_lock { MAP_UNLOCKED, MAP_SHARED_LOCK, MAP_EXCLUSIVE_LOCK };

// The lump exactly as it lies in the file, lump_length bytes.
struct texture_lump {
    unsigned char *bytes;  // owned; released with release_texture_lump
    std::uint32_t length;
    std::size_t record_count;  // length / RECORD_SIZE
};

// A record's name as stored: up to the first NUL, or all NAME_SIZE bytes.
struct record_name {
    const char *text;  // not NUL-terminated when length is NAME_SIZE
    std::size_t length;
};

// Zero-filled memory for a large buffer, mapped up front; nullptr when there
// is none to be had. Released with release_buffer and the same size.
void *allocate_buffer(std::size_t size);
void release_buffer(void *buffer, std::size_t size);

// Reads a little-endian 32-bit value at p.
std::uint32_t load_u32le(const unsigned char *p);
// Stores a 32-bit value at p, little-endian.
void store_u32le(unsigned char *p, std::uint32_t value);

// Waits for a whole-file lock on the open map, held until the stream is
// closed (MAP_UNLOCKED takes none). Where the filesystem has no locks the
// map goes unlocked and this still returns LUMP_OK; LUMP_LOCK_FAILED for
// any other refusal.
lump_status lock_map(std::FILE *bsp, map_lock kind);

// Learns the file size and reads the 144-byte header from offset 0;
// anything but LUMP_OK leaves *header unusable.
lump_status read_header(std::FILE *bsp, bsp_header *header);
// LUMP_OK when the header's lump lies wholly inside the file and, unless it
// is empty, after the header; else LUMP_OUTSIDE_FILE or LUMP_OVERLAPS_HEADER.
lump_status check_lump_bounds(const bsp_header &header);
// Reads the header and checks the lump's bounds without reading the lump.
lump_status check_map(std::FILE *bsp);
// Allocates and reads the whole lump in one block; on failure nothing is
// allocated and *lump is left empty.
lump_status read_texture_lump(std::FILE *bsp, const bsp_header &header, texture_lump *lump);
// read_header then read_texture_lump: what every command does first.
lump_status read_map(std::FILE *bsp, bsp_header *header, texture_lump *lump);
// LUMP_MAP_CHANGED when path (if given) no longer names the open map, or
// the map's size or times differ from when its header was read.
lump_status check_map_unchanged(std::FILE *bsp, const char *path, const bsp_header &header);
// Makes sure the disk holds blocks for the whole lump, so that a write-back
// into a sparse file cannot run out of space half way; LUMP_NO_SPACE when it
// does not. A filesystem that cannot reserve is trusted.
lump_status reserve_lump(std::FILE *bsp, const bsp_header &header);
// Writes the whole lump back at lump_offset in one block, flushes it and
// syncs it to storage; LUMP_WRITE_FAILED when seek, write or flush fails,
// LUMP_SYNC_FAILED when the sync does.
lump_status write_texture_lump(std::FILE *bsp, const bsp_header &header, const texture_lump &lump);

// The signals a user sends to stop a command: interrupt, terminate, hang-up
// and quit. Held off while the lump is written, so that none can leave it
// half old and half new; one that arrived meanwhile acts on release.
struct held_signals {
    sigset_t saved_mask;  // what was blocked before
};
void hold_stop_signals(held_signals *held);
void release_stop_signals(const held_signals &held);
// Frees the lump's bytes and empties it; safe on an empty lump.
void release_texture_lump(texture_lump *lump);

// Record i's fields; i must be below lump.record_count.
record_name name_of_record(const texture_lump &lump, std::size_t i);
std::uint32_t surface_flags_of_record(const texture_lump &lump, std::size_t i);
std::uint32_t content_flags_of_record(const texture_lump &lump, std::size_t i);
void set_record_surface_flags(texture_lump *lump, std::size_t i, std::uint32_t flags);

// True when record i's name is exactly the `length` bytes at text
// (case-sensitive; a name longer than NAME_SIZE never matches).
bool record_is_named(const texture_lump &lump, std::size_t i, const char *text, std::size_t length);
// True when the name field is exactly "noshader" followed by a NUL.
bool is_noshader(record_name name);

// A short lower-case phrase for a failure, for "Error: ..." lines.
const char *describe_lump_status(lump_status status);

#endif
