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

// Moving no bytes cannot fail, so such calls are not counted.
std::size_t io_read(void *buffer, std::size_t size, std::FILE *stream)
{
    return size == 0 || injected_failure(EIO) ? 0 : std::fread(buffer, 1, size, stream);
}

std::size_t io_write(const void *buffer, std::size_t size, std::FILE *stream)
{
    return size == 0 || injected_failure(EIO) ? 0 : std::fwrite(buffer, 1, size, stream);
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
