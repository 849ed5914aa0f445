// The least work any tool must do for what the benchmark times, to set the
// floor its ratios are taken against:
//   io_floor import map surface_file   read the map's header and lump into
//                                      memory faulted in ahead, stream the
//                                      surface file through a 64 KiB buffer,
//                                      write the lump back in place and sync it
//   io_floor read map                  read the header and lump, and write
//                                      the lump to standard output
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bsp/bsp_lump.h"

namespace {

bool read_all(int fd, unsigned char *to, std::size_t size, off_t at)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = pread(fd, to + done, size - done, at + static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, const unsigned char *from, std::size_t size, off_t at, bool positioned)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = positioned ? pwrite(fd, from + done, size - done, at + static_cast<off_t>(done))
                                     : write(fd, from + done, size - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool import = argc == 4 && std::strcmp(argv[1], "import") == 0;
    if (!import && !(argc == 3 && std::strcmp(argv[1], "read") == 0)) {
        std::fprintf(stderr, "usage: %s import map surface_file | read map\n", argv[0]);
        return 2;
    }
    const int map = open(argv[2], import ? O_RDWR : O_RDONLY);
    unsigned char header[HEADER_SIZE];
    if (map < 0 || !read_all(map, header, HEADER_SIZE, 0))
        return 1;
    const std::uint32_t offset = load_u32le(header + LUMP_OFFSET_AT);
    const std::uint32_t length = load_u32le(header + LUMP_LENGTH_AT);
    // Faulted in ahead: no tool can avoid the pages, but it can take them
    // in one step rather than one fault at a time.
    void *memory = mmap(nullptr, length + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return 1;
    madvise(memory, length + 1, MADV_POPULATE_WRITE);
    auto *lump = static_cast<unsigned char *>(memory);
    if (!read_all(map, lump, length, offset))
        return 1;
    if (!import)
        return write_all(1, lump, length, 0, false) ? 0 : 1;
    const int text = open(argv[3], O_RDONLY);
    if (text < 0)
        return 1;
    std::vector<unsigned char> block(1 << 16);
    ssize_t n;
    while ((n = read(text, block.data(), block.size())) > 0) {
    }
    if (n < 0 || !write_all(map, lump, length, offset, true) || fdatasync(map) != 0)
        return 1;
    return close(text) == 0 && close(map) == 0 ? 0 : 1;
}
