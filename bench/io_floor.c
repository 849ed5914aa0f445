/* The least work any tool must do for what the benchmark times, to set the
 * floor its ratios are taken against:
 *   io_floor import map surface_file   read the map's header and lump into
 *                                      memory faulted in ahead, stream the
 *                                      surface file through a 64 KiB buffer,
 *                                      write the lump back in place and sync it
 *   io_floor read map                  read the header and lump, and write
 *                                      the lump to standard output
 * Plain C, so that it starts as fast as a process can: a floor that loaded
 * the C++ runtime would hide what loading it costs the tool. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { HEADER_SIZE = 144, LUMP_OFFSET_AT = 16, LUMP_LENGTH_AT = 20, BLOCK = 1 << 16 };

static uint32_t load_u32le(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static int read_all(int fd, unsigned char *to, size_t size, off_t at)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = pread(fd, to + done, size - done, at + (off_t)done);
        if (n <= 0)
            return 0;
        done += (size_t)n;
    }
    return 1;
}

static int write_all(int fd, const unsigned char *from, size_t size, off_t at, int positioned)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = positioned ? pwrite(fd, from + done, size - done, at + (off_t)done)
                                     : write(fd, from + done, size - done);
        if (n <= 0)
            return 0;
        done += (size_t)n;
    }
    return 1;
}

int main(int argc, char **argv)
{
    const int import = argc == 4 && strcmp(argv[1], "import") == 0;
    if (!import && !(argc == 3 && strcmp(argv[1], "read") == 0)) {
        fprintf(stderr, "usage: %s import map surface_file | read map\n", argv[0]);
        return 2;
    }
    const int map = open(argv[2], import ? O_RDWR : O_RDONLY);
    unsigned char header[HEADER_SIZE];
    if (map < 0 || !read_all(map, header, HEADER_SIZE, 0))
        return 1;
    const uint32_t offset = load_u32le(header + LUMP_OFFSET_AT);
    const uint32_t length = load_u32le(header + LUMP_LENGTH_AT);
    /* Faulted in ahead: no tool can avoid the pages, but it can take them in
     * one step rather than one fault at a time. */
    void *memory = mmap(NULL, (size_t)length + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return 1;
    madvise(memory, (size_t)length + 1, MADV_POPULATE_WRITE);
    unsigned char *lump = memory;
    if (!read_all(map, lump, length, offset))
        return 1;
    if (!import)
        return write_all(1, lump, length, 0, 0) ? 0 : 1;
    const int text = open(argv[3], O_RDONLY);
    if (text < 0)
        return 1;
    static unsigned char block[BLOCK];
    ssize_t n;
    while ((n = read(text, block, sizeof block)) > 0) {
    }
    if (n < 0 || !write_all(map, lump, length, offset, 1) || fdatasync(map) != 0)
        return 1;
    return close(text) == 0 && close(map) == 0 ? 0 : 1;
}
