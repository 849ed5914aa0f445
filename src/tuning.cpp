#include "tuning.h"

#include <stdio_ext.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr std::uintptr_t HUGE_PAGE = 2 << 20;
// glibc reads 4 KiB a call unless it is handed a buffer of its own.
constexpr std::size_t SURFACE_FILE_BUFFER = 1 << 16;

}  // namespace

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

void buffer_surface_file(std::FILE *stream)
{
    static char buffer[SURFACE_FILE_BUFFER];
    std::setvbuf(stream, buffer, _IOFBF, sizeof buffer);
    populate(buffer, sizeof buffer);
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
}
