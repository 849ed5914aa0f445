#include "bsp/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::uintptr_t HUGE_PAGE = 2 << 20;

struct seam {
    unsigned long calls, fail_at, hook_at;  // counted so far; 0: none fails, no hook
    bool and_later, failed;
    void (*hook)();
};
seam armed = {0, 0, 0, false, false, nullptr};

bool injected_failure(int error)
{
    ++armed.calls;
    if (armed.calls == armed.hook_at)
        armed.hook();
    if (armed.fail_at == 0 || armed.calls < armed.fail_at || (armed.calls > armed.fail_at && !armed.and_later))
        return false;
    errno = error;
    armed.failed = true;
    return true;
}

// By position, past stdio: a stream's buffer would hand the import's second
// reading the bytes of its first, and keep what a failed write left behind.
bool transfer_at(std::FILE *stream, unsigned char *bytes, std::size_t size, std::uint64_t offset, bool write,
                 std::size_t &done)
{
    done = 0;
    if (size == 0)
        return true;
    if (injected_failure(EIO))
        return false;
    while (done < size) {
        const off_t at = static_cast<off_t>(offset + done);
        const ssize_t n = retry_interrupted([&] {
            return write ? pwrite(fileno(stream), bytes + done, size - done, at)
                         : pread(fileno(stream), bytes + done, size - done, at);
        });
        if (n == 0)
            errno = write ? EIO : 0;  // a read at the end of the file; a write always moves bytes or says why not
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void fail_io_call(unsigned long call, bool and_later)
{
    armed.fail_at = call == 0 ? 0 : armed.calls + call;
    armed.and_later = and_later;
    armed.failed = false;
}

bool io_call_failed()
{
    return armed.failed;
}

void before_io_call(unsigned long call, void (*hook)())
{
    armed.hook_at = call == 0 ? 0 : armed.calls + call;
    armed.hook = hook;
}

void populate(void *memory, std::size_t size)
{
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(memory) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(memory) + size) & ~(page - 1);
    if (end <= start)
        return;
    if (end - start >= HUGE_PAGE)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
}

bool io_read_at(std::FILE *stream, void *buffer, std::size_t size, std::uint64_t offset)
{
    std::size_t done;
    return transfer_at(stream, static_cast<unsigned char *>(buffer), size, offset, false, done);
}

bool io_write_at(std::FILE *stream, const void *buffer, std::size_t size, std::uint64_t offset, std::size_t *written)
{
    // pwrite takes a const buffer; the cast only shares transfer_at.
    return transfer_at(stream, static_cast<unsigned char *>(const_cast<void *>(buffer)), size, offset, true, *written);
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

bool io_sync(std::FILE *stream)
{
    return !injected_failure(EIO) && retry_interrupted([&] { return fdatasync(fileno(stream)); }) == 0;
}

bool io_reserve(std::FILE *stream, std::uint64_t offset, std::uint64_t length)
{
    return !injected_failure(ENOSPC) && retry_interrupted([&] {
        return fallocate(fileno(stream), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length));
    }) == 0;
}
