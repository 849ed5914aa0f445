// The reads, writes, syncs and space reservations of maps, the lines the
// import reads of a surface file and lumpsmith-rules of its rules, the
// writes of the listing and the export, and the reads, writes and syncs of
// bot files: every call that can lose or corrupt a map or a bot file, so
// that a test can make any one fail as a sick disk would. (Archives, their
// folders' entries and the files the companions read whole are read past
// this seam.) Each returns the error it met: 0 when the call did all it was
// asked, the failed call's errno, or IO_END when the file ended first.
#ifndef LUMPSMITH_FILE_IO_H
#define LUMPSMITH_FILE_IO_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int IO_END = -1;

// An open file and its path as the user typed it, which messages name.
struct named_file {
    std::FILE *stream;
    const char *path;
};

// Reads size bytes of the stream's file at offset, past its buffer.
int io_read_at(std::FILE *stream, void *buffer, std::size_t size, std::uint64_t offset);
// Writes size bytes at offset; *written says how many reached the file.
int io_write_at(std::FILE *stream, const void *buffer, std::size_t size, std::uint64_t offset, std::size_t *written);
// getline: the next line, line feed included, into *line (grown with
// realloc as needed; the caller frees it) and its length into *length.
int io_read_line(char **line, std::size_t *capacity, std::size_t *length, std::FILE *stream);
// fwrite of size bytes.
int io_write(const void *buffer, std::size_t size, std::FILE *stream);
// fdatasync of the stream's file: 0 once the bytes written reached storage.
int io_sync(std::FILE *stream);
// Reserves blocks for [offset, offset + length), the size unchanged.
int io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length);

// A system call made again for as long as a signal interrupts it.
template <typename Call>
auto retry_interrupted(Call call)
{
    for (;;)
        if (const auto result = call(); result != -1 || errno != EINTR)
            return result;
}

// Test seam: where a test sets it, asked before each call of a kind (reads
// and writes of no bytes aside); an answer other than 0 fails the call with
// that errno without touching the file.
enum io_kind { IO_ANY, IO_READ, IO_LINE, IO_WRITE, IO_SYNC, IO_RESERVE };
extern int (*io_seam)(io_kind kind);

#endif
