// Every read, write, sync and space reservation on the tool's files goes
// through here, so that a test can make any one fail as a sick disk would.
#ifndef LUMPSMITH_FILE_IO_H
#define LUMPSMITH_FILE_IO_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads size bytes of the stream's file at offset, past its buffer; false
// when fewer came, errno set by the failed call or 0 at the end of the file.
bool io_read_at(std::FILE *stream, void *buffer, std::size_t size, std::uint64_t offset);
// The same for a write; false with errno set when *written fell short.
bool io_write_at(std::FILE *stream, const void *buffer, std::size_t size, std::uint64_t offset, std::size_t *written);
// fgets: 1 with a line, 0 at the end of the stream, -1 with errno set.
int io_read_line(char *line, int size, std::FILE *stream);
// fwrite of size bytes; false with errno set when the write failed.
bool io_write(const void *buffer, std::size_t size, std::FILE *stream);
// fdatasync of the stream's file; false when the bytes may not have reached storage.
bool io_sync(std::FILE *stream);
// Reserves blocks for [offset, offset + length), the size unchanged; false with errno set.
bool io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length);

// Advice, harmless if ignored: faults in the pages wholly inside [memory,
// memory + size) in one call, huge ones from 2 MiB. A page faulted in at
// first touch cost 10 us on a virtual machine, twenty times as much.
void populate(void *memory, std::size_t size);

// A system call made again for as long as a signal interrupts it.
template <typename Call>
auto retry_interrupted(Call call)
{
    for (;;)
        if (const auto result = call(); result != -1 || errno != EINTR)
            return result;
}

// Test seam. The calls above are numbered from the next, 1, but for reads
// and writes of no bytes, which cannot fail. fail_io_call makes the numbered
// call (and_later: every one from it on) fail with EIO, ENOSPC for a
// reservation, without touching the file; before_io_call runs hook just
// before it. 0 disarms either.
void fail_io_call(unsigned long call, bool and_later = false);
// True when a failure armed by the last fail_io_call has happened.
bool io_call_failed();
void before_io_call(unsigned long call, void (*hook)());

#endif
