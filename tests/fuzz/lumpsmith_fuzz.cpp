// libFuzzer target: arbitrary bytes as a map and as a surface file, through
// the reader, the listing, the export and the import. Input layout: two
// bytes giving the map's length (little-endian, capped at what is there),
// the map, then the surface file. Both live in memory files, since the tool
// seeks and measures its streams as real files.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "bsp/bsp_lump.h"
#include "commands/texture_commands.h"

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

// A stream over a memory file now holding exactly the given bytes.
std::FILE *stream_over(int fd, const std::uint8_t *data, std::size_t size, const char *mode)
{
    require(ftruncate(fd, 0) == 0);
    require(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    std::FILE *stream = fdopen(dup(fd), mode);
    require(stream != nullptr);
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const int map_fd = memfd_create("map", 0);
    static const int text_fd = memfd_create("surfaces", 0);
    static std::FILE *sink = std::fopen("/dev/null", "w");
    require(map_fd >= 0 && text_fd >= 0 && sink != nullptr);
    if (size < 2)
        return 0;
    std::size_t map_size = data[0] | static_cast<std::size_t>(data[1]) << 8;
    if (map_size > size - 2)
        map_size = size - 2;
    const std::uint8_t *map = data + 2;

    std::FILE *bsp = stream_over(map_fd, map, map_size, "r+b");
    std::FILE *text = stream_over(text_fd, map + map_size, size - 2 - map_size, "r");
    list_textures(bsp, sink);
    export_surface_file(bsp, sink, sink);
    const lump_status status = import_surface_file(bsp, nullptr, text, sink);
    std::fclose(text);
    std::fclose(bsp);

    // A map is read only when its header and lump lie wholly in the file;
    // a refused map is untouched, an imported one changed only in its lump.
    const std::uint64_t offset = map_size >= HEADER_SIZE ? load_u32le(map + LUMP_OFFSET_AT) : 0;
    const std::uint64_t length = map_size >= HEADER_SIZE ? load_u32le(map + LUMP_LENGTH_AT) : 0;
    const bool readable = map_size >= HEADER_SIZE && offset + length <= map_size;
    require(readable == (status == LUMP_OK));
    std::vector<std::uint8_t> after(map_size + 1);
    require(pread(map_fd, after.data(), after.size(), 0) == static_cast<ssize_t>(map_size));
    for (std::size_t i = 0; i < map_size; ++i)
        require(after[i] == map[i] || (readable && i >= offset && i < offset + length));
    return 0;
}
