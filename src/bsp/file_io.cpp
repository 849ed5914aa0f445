#include "bsp/file_io.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

int seam_failure(io_kind kind)
{
    return io_seam == nullptr ? 0 : io_seam(kind);
}

// By position, past stdio: a stream's buffer would hand the import's second
// reading the bytes of its first, and keep what a failed write left behind.
int transfer_at(std::FILE *stream, unsigned char *bytes, std::size_t size, std::uint64_t offset, bool write,
                std::size_t *done)
{
    *done = 0;
    if (size == 0)
        return 0;
    if (const int injected = seam_failure(write ? IO_WRITE : IO_READ))
        return injected;
    while (*done < size) {
        const off_t at = static_cast<off_t>(offset + *done);
        const ssize_t n = retry_interrupted([&] {
            return write ? pwrite(fileno(stream), bytes + *done, size - *done, at)
                         : pread(fileno(stream), bytes + *done, size - *done, at);
        });
        if (n <= 0)  // a write always moves bytes or says why not
            return n < 0 ? errno : write ? EIO : IO_END;
        *done += static_cast<std::size_t>(n);
    }
    return 0;
}

// 0 when the call returned 0; otherwise its errno, read straight after it.
int error_of(int result)
{
    return result == 0 ? 0 : errno;
}

}  // namespace

int (*io_seam)(io_kind) = nullptr;

int io_read_at(std::FILE *stream, void *buffer, std::size_t size, std::uint64_t offset)
{
    std::size_t done;
    return transfer_at(stream, static_cast<unsigned char *>(buffer), size, offset, false, &done);
}

int io_write_at(std::FILE *stream, const void *buffer, std::size_t size, std::uint64_t offset, std::size_t *written)
{
    // pwrite takes a const buffer; the cast only shares transfer_at.
    return transfer_at(stream, static_cast<unsigned char *>(const_cast<void *>(buffer)), size, offset, true, written);
}

int io_read_line(char **line, std::size_t *capacity, std::size_t *length, std::FILE *stream)
{
    if (const int injected = seam_failure(IO_LINE))
        return injected;
    errno = 0;
    const ssize_t got = getline(line, capacity, stream);
    *length = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (got > 0)
        return 0;
    return std::ferror(stream) ? (errno ? errno : EIO) : errno == ENOMEM ? ENOMEM : IO_END;
}

int io_write(const void *buffer, std::size_t size, std::FILE *stream)
{
    if (size == 0)
        return 0;
    if (const int injected = seam_failure(IO_WRITE))
        return injected;
    errno = 0;
    return std::fwrite(buffer, 1, size, stream) == size ? 0 : errno ? errno : EIO;
}

int io_sync(std::FILE *stream)
{
    const int injected = seam_failure(IO_SYNC);
    return injected ? injected : error_of(retry_interrupted([&] { return fdatasync(fileno(stream)); }));
}

int io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length)
{
    const int injected = seam_failure(IO_RESERVE);
    return injected ? injected : error_of(retry_interrupted([&] {
        return fallocate(fileno(stream), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length));
    }));
}
