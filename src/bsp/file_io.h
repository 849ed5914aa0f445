// The reads, writes, flushes, syncs and space reservations the tool makes on
// its files all go through here, so that a test can make any one of them
// fail the way a sick disk would, and see what the tool then does.
#ifndef LUMPSMITH_FILE_IO_H
#define LUMPSMITH_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// fread of size bytes; fewer means end of file or failure (tell them apart
// with feof). A call for no bytes does nothing and is not counted below.
std::size_t io_read(void *buffer, std::size_t size, std::FILE *stream);
// fwrite of size bytes; fewer means the write failed.
std::size_t io_write(const void *buffer, std::size_t size, std::FILE *stream);
// fflush; false when it failed.
bool io_flush(std::FILE *stream);
// fdatasync of the stream's file; false when the bytes may not have reached storage.
bool io_sync(std::FILE *stream);
// Reserves disk blocks for [offset, offset + length) without changing the
// file's size; false with errno set when it could not. errno EOPNOTSUPP
// means the filesystem cannot reserve at all.
bool io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length);

// Test seam, never reached from the command line: from now on the call
// numbered `call` (1 = the next one) among those above fails with EIO, or
// ENOSPC for a reservation, without touching the file. 0 disarms it.
void fail_io_call(unsigned long call);
// True when the failure armed by the last fail_io_call has happened.
bool io_call_failed();

#endif
