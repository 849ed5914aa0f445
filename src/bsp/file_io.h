// The reads, writes, syncs and space reservations the tool makes on its
// files all go through here, so that a test can make any one of them fail
// the way a sick disk would, or act just before it, and see what the tool
// then does.
#ifndef LUMPSMITH_FILE_IO_H
#define LUMPSMITH_FILE_IO_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads size bytes of the stream's file at offset, without moving or using
// the stream's buffer; false when fewer came, with errno set by the failed
// call, or 0 when the file ended first.
bool io_read_at(std::FILE *stream, void *buffer, std::size_t size, std::uint64_t offset);
// Writes size bytes into the stream's file at offset, the same way; false
// with errno set when not all were written, *written saying how many were.
bool io_write_at(std::FILE *stream, const void *buffer, std::size_t size, std::uint64_t offset, std::size_t *written);
// fgets: 1 with a line in line, 0 at the end of the stream, -1 with errno
// set when the read failed.
int io_read_line(char *line, int size, std::FILE *stream);
// fwrite of size bytes; false with errno set when the write failed.
bool io_write(const void *buffer, std::size_t size, std::FILE *stream);
// fdatasync of the stream's file; false when the bytes may not have reached storage.
bool io_sync(std::FILE *stream);
// Reserves disk blocks for [offset, offset + length) without changing the
// file's size; false with errno set when it could not.
bool io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length);

// Faults in the pages wholly inside [memory, memory + size) in one call.
// A page faulted in as it is first touched cost about 10 us on a virtual
// machine, ten times as much; this is advice, harmless if ignored.
void populate(void *memory, std::size_t size);

// A system call made again for as long as a signal interrupts it.
template <typename Call>
auto retry_interrupted(Call call)
{
    decltype(call()) result;
    do
        result = call();
    while (result == -1 && errno == EINTR);
    return result;
}

// Test seam, never reached from the command line. Calls are numbered from
// the next one, 1, among those above; moving no bytes cannot fail, so such
// calls are not counted. fail_io_call makes the numbered call, and with
// and_later every call after it, fail with EIO (ENOSPC for a reservation)
// without touching the file; 0 disarms it. before_io_call runs hook just
// before the numbered call; 0 disarms it.
void fail_io_call(unsigned long call, bool and_later = false);
// True when a failure armed by the last fail_io_call has happened.
bool io_call_failed();
void before_io_call(unsigned long call, void (*hook)());

#endif
