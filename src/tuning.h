// Where the front end and the map module trade plainness for speed: page
// population and the surface file's buffer. Other choices live beside the
// code they speed up: the name bitsets in surfaces.cpp, the record index
// (record_index.h), the same-records fast path, the one-pass split and the
// edit built in the first reading's buffer in texture_commands.cpp, and
// link-time optimisation in CMakeLists.txt. Each is there because the
// benchmark (bench/lumpsmith_bench) showed it paying on large inputs;
// bench/NOTES.md keeps the measurements. Real maps need none of it, and
// the tool is correct without any of it.
#ifndef LUMPSMITH_TUNING_H
#define LUMPSMITH_TUNING_H

#include <cstddef>
#include <cstdio>

// Listing and export lines are gathered into blocks of this size: few
// enough pages to fault in, large enough that each write moves many lines.
constexpr std::size_t OUTPUT_BLOCK = 1 << 13;

// Faults in the pages wholly inside [memory, memory + size) in one call,
// huge ones for 2 MiB or more, instead of one fault per page at first
// touch. Advice only: ignored where the kernel does not take it.
void populate(void *memory, std::size_t size);
// Gives the surface file stream (one per process) a 64 KiB buffer faulted in at once, read
// without stdio's per-call lock (the tool has one thread).
void buffer_surface_file(std::FILE *stream);

#endif
