// The import's lookup of surface file lines by texture name. Scanning all
// records per line costs lines x records; grouping the records by name once
// makes the whole import linear in lines + records. Lines are looked up in
// batches, so that the cache misses of many lines overlap instead of
// following one another.
#ifndef LUMPSMITH_RECORD_INDEX_H
#define LUMPSMITH_RECORD_INDEX_H

#include <cstddef>
#include <cstdint>

#include "bsp/bsp_lump.h"

// Records grouped by name: an open-addressing table with a slot for every
// record. The records of one name all lie in the run of slots that starts
// where the name's hash points and ends at the first empty slot. A slot
// also keeps part of its name's hash, so that a probe seldom has to look at
// a record that is not the one sought, and whether its name is borne by
// other records too, so that a lookup can stop at the first it finds.
struct record_index {
    std::uint32_t *slots;          // hash tag | shared | (1 + a record); 0 = empty
    std::uint16_t *old_surfaces;   // per record: its surface index when indexed
    std::uint8_t *shared;          // per record, a bit: other records bear its name
    std::size_t mask;              // slot count - 1; the count is a power of two
    std::size_t size;              // bytes of the one buffer holding all three
    std::size_t hint;              // where the next lookup looks first: after the last record found
    bool hint_trusted;             // the last lookup found its record just after the one before
};

// How many lines are fetched from memory together: enough to keep many
// fetches in flight, few enough that their slots and records stay in cache.
constexpr std::size_t LOOKUP_BATCH = 32;

// One line's setting, waiting in a batch.
struct pending_surface {
    char name[NAME_SIZE];  // not NUL-terminated
    std::size_t length;
    unsigned surface;
    std::size_t record;    // a record of the name, or record_count until the table is asked
    std::uint64_t hash;    // of the name, when the table must be asked
};

struct line_half {
    pending_surface lines[LOOKUP_BATCH];
    std::size_t count;
};

// Lines waiting to be applied, in two halves: while one fills, the records
// of the other are on their way from memory.
struct surface_batch {
    line_half halves[2];
    int filling;  // the half new lines go to; the other holds older lines
};

inline surface_batch empty_batch()
{
    surface_batch batch;
    batch.halves[0].count = batch.halves[1].count = 0;
    batch.filling = 0;
    return batch;
}

// Groups the lump's records by name and keeps their surface indexes;
// LUMP_NO_MEMORY leaves *index empty.
lump_status index_records(const texture_lump &lump, record_index *index);
// Frees the index and empties it; safe on an empty index.
void release_record_index(record_index *index);
// Queues setting surface index `surface` on every record named exactly the
// `length` bytes at name, which starts a buffer of at least NAME_SIZE
// readable bytes (a name longer than NAME_SIZE matches nothing);
// applies the older half when a half fills. A line whose record is found
// at once while nothing waits before it is applied at once. Returns how
// many records were set now.
std::size_t queue_surface(texture_lump *lump, record_index *index, surface_batch *batch, const char *name,
                          std::size_t length, unsigned surface);
// Applies every queued setting in the order queued, so the last line for a
// name wins, and empties the batch; returns how many records were set.
std::size_t apply_queued(texture_lump *lump, record_index *index, surface_batch *batch);
// Sets surface index `surface` on every record named exactly texture_name
// (whole, case-sensitive, at most 64 bytes); returns how many changed.
std::size_t apply_surface(texture_lump *lump, record_index *index, const char *texture_name, unsigned surface);
// Puts back every record's surface index as it was when indexed.
void restore_surface_flags(texture_lump *lump, const record_index &index);

#endif
