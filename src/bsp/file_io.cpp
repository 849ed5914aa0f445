#include "bsp/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

unsigned long calls_until_failure = 0;
bool failed = false;

// Counts one call; true when it is the one chosen to fail.
bool injected_failure(int error)
{
    if (calls_until_failure == 0 || --calls_until_failure != 0)
        return false;
    errno = error;
    failed = true;
    return true;
}

}  // namespace

void fail_io_call(unsigned long call)
{
    calls_until_failure = call;
    failed = false;
}

bool io_call_failed()
{
    return failed;
}

namespace {

// The map is read and written by position, past stdio: a stream's buffer
// would hand the import's second reading the bytes of its first, and keep
// what a failed write left behind for the next one.
bool transfer_at(std::FILE *stream, unsigned char *bytes, std::size_t size, std::uint64_t offset, bool write)
{
    if (size == 0)
        return true;
    if (injected_failure(EIO))
        return false;
    for (std::size_t done = 0; done < size;) {
        const off_t at = static_cast<off_t>(offset + done);
        const ssize_t n = write ? pwrite(fileno(stream), bytes + done, size - done, at)
                                : pread(fileno(stream), bytes + done, size - done, at);
        if (n == 0)
            errno = write ? EIO : 0;  // a read at the end of the file; a write always moves bytes or says why not
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool io_read_at(std::FILE *stream, void *buffer, std::size_t size, std::uint64_t offset)
{
    return transfer_at(stream, static_cast<unsigned char *>(buffer), size, offset, false);
}

bool io_write_at(std::FILE *stream, const void *buffer, std::size_t size, std::uint64_t offset)
{
    // pwrite takes a const buffer; the cast only shares transfer_at.
    return transfer_at(stream, static_cast<unsigned char *>(const_cast<void *>(buffer)), size, offset, true);
}

int io_read_line(char *line, int size, std::FILE *stream)
{
    if (injected_failure(EIO))
        return -1;
    // Unlocked: the tool has one thread, and the lock per line was a fifth
    // of the time of reading a large surface file.
    if (fgets_unlocked(line, size, stream) != nullptr)
        return 1;
    return std::ferror(stream) ? -1 : 0;
}

bool io_write(const void *buffer, std::size_t size, std::FILE *stream)
{
    return size == 0 || (!injected_failure(EIO) && std::fwrite(buffer, 1, size, stream) == size);
}

bool io_flush(std::FILE *stream)
{
    return !injected_failure(EIO) && std::fflush(stream) == 0;
}

bool io_sync(std::FILE *stream)
{
    if (injected_failure(EIO))
        return false;
    int result;
    do
        result = fdatasync(fileno(stream));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

bool io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length)
{
    if (injected_failure(ENOSPC))
        return false;
    int result;
    do
        result = fallocate(fileno(stream), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                           static_cast<off_t>(length));
    while (result != 0 && errno == EINTR);
    return result == 0;
}
