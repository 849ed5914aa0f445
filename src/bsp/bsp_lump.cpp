#include "bsp/bsp_lump.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>

static_assert(sizeof(off_t) == 8, "offsets up to 4 GiB + 4 GiB need a 64-bit off_t");

std::uint32_t load_u32le(const unsigned char *p)
{
    unsigned char b[4];
    std::memcpy(b, p, 4);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void store_u32le(unsigned char *p, std::uint32_t value)
{
    const unsigned char b[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    std::memcpy(p, b, 4);
}

// The size is learnt up front so that a header claiming a lump far past the
// end of the file is refused before anything is allocated for it.
static lump_status measure_file(std::FILE *bsp, std::uint64_t *size)
{
    struct stat st;
    if (fstat(fileno(bsp), &st) == 0 && S_ISDIR(st.st_mode))
        return LUMP_IS_DIRECTORY;
    if (fseeko(bsp, 0, SEEK_END) != 0)
        return LUMP_NOT_SEEKABLE;
    const off_t end = ftello(bsp);
    if (end < 0)
        return LUMP_NOT_SEEKABLE;
    *size = static_cast<std::uint64_t>(end);
    return LUMP_OK;
}

// A lump of many megabytes goes into fresh memory, and on a virtual machine
// every 4 KiB page faulted in on first touch costs microseconds: for a 14 MiB
// lump that was most of an import's time. Huge pages, populated up front,
// take a handful of steps instead. Both requests are advice; memory the
// kernel will not populate early is still faulted in as usual. The spare
// byte is for empty lumps: mmap refuses a mapping of no bytes.
void *allocate_buffer(std::size_t size)
{
    void *buffer = mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED)
        return nullptr;
    madvise(buffer, size + 1, MADV_HUGEPAGE);
    madvise(buffer, size + 1, MADV_POPULATE_WRITE);
    return buffer;
}

void release_buffer(void *buffer, std::size_t size)
{
    if (buffer != nullptr)
        munmap(buffer, size + 1);
}

lump_status read_header(std::FILE *bsp, bsp_header *header)
{
    const lump_status measured = measure_file(bsp, &header->file_size);
    if (measured != LUMP_OK)
        return measured;
    if (header->file_size < HEADER_SIZE)
        return LUMP_SHORT_HEADER;
    if (fseeko(bsp, 0, SEEK_SET) != 0)
        return LUMP_NOT_SEEKABLE;
    if (std::fread(header->bytes, 1, HEADER_SIZE, bsp) != HEADER_SIZE)
        return LUMP_READ_FAILED;
    header->lump_offset = load_u32le(header->bytes + LUMP_OFFSET_AT);
    header->lump_length = load_u32le(header->bytes + LUMP_LENGTH_AT);
    return LUMP_OK;
}

lump_status check_lump_bounds(const bsp_header &header)
{
    // Both fields are 32-bit, so their sum cannot overflow 64 bits.
    const std::uint64_t end = std::uint64_t{header.lump_offset} + header.lump_length;
    return end <= header.file_size ? LUMP_OK : LUMP_OUTSIDE_FILE;
}

lump_status check_map(std::FILE *bsp)
{
    bsp_header header;
    const lump_status status = read_header(bsp, &header);
    return status != LUMP_OK ? status : check_lump_bounds(header);
}

lump_status read_texture_lump(std::FILE *bsp, const bsp_header &header, texture_lump *lump)
{
    *lump = texture_lump{nullptr, 0, 0};
    const lump_status bounds = check_lump_bounds(header);
    if (bounds != LUMP_OK)
        return bounds;
    auto *bytes = static_cast<unsigned char *>(allocate_buffer(header.lump_length));
    if (bytes == nullptr)
        return LUMP_NO_MEMORY;
    if (fseeko(bsp, static_cast<off_t>(header.lump_offset), SEEK_SET) != 0) {
        release_buffer(bytes, header.lump_length);
        return LUMP_NOT_SEEKABLE;
    }
    if (std::fread(bytes, 1, header.lump_length, bsp) != header.lump_length) {
        release_buffer(bytes, header.lump_length);
        return LUMP_READ_FAILED;
    }
    *lump = texture_lump{bytes, header.lump_length, header.lump_length / RECORD_SIZE};
    return LUMP_OK;
}

lump_status read_map(std::FILE *bsp, bsp_header *header, texture_lump *lump)
{
    *lump = texture_lump{nullptr, 0, 0};
    const lump_status status = read_header(bsp, header);
    return status != LUMP_OK ? status : read_texture_lump(bsp, *header, lump);
}

lump_status write_texture_lump(std::FILE *bsp, const bsp_header &header, const texture_lump &lump)
{
    if (fseeko(bsp, static_cast<off_t>(header.lump_offset), SEEK_SET) != 0)
        return LUMP_WRITE_FAILED;
    if (std::fwrite(lump.bytes, 1, lump.length, bsp) != lump.length)
        return LUMP_WRITE_FAILED;
    if (std::fflush(bsp) != 0)
        return LUMP_WRITE_FAILED;
    return LUMP_OK;
}

void release_texture_lump(texture_lump *lump)
{
    release_buffer(lump->bytes, lump->length);
    *lump = texture_lump{nullptr, 0, 0};
}

record_name name_of_record(const texture_lump &lump, std::size_t i)
{
    const char *text = reinterpret_cast<const char *>(lump.bytes + i * RECORD_SIZE);
    const void *nul = std::memchr(text, '\0', NAME_SIZE);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - text) : NAME_SIZE;
    return record_name{text, length};
}

std::uint32_t surface_flags_of_record(const texture_lump &lump, std::size_t i)
{
    return load_u32le(lump.bytes + i * RECORD_SIZE + SURFACE_FLAGS_AT);
}

std::uint32_t content_flags_of_record(const texture_lump &lump, std::size_t i)
{
    return load_u32le(lump.bytes + i * RECORD_SIZE + CONTENT_FLAGS_AT);
}

void set_record_surface_flags(texture_lump *lump, std::size_t i, std::uint32_t flags)
{
    store_u32le(lump->bytes + i * RECORD_SIZE + SURFACE_FLAGS_AT, flags);
}

bool record_is_named(const texture_lump &lump, std::size_t i, const char *text, std::size_t length)
{
    const char *field = reinterpret_cast<const char *>(lump.bytes + i * RECORD_SIZE);
    return length <= NAME_SIZE && std::memcmp(field, text, length) == 0 &&
           (length == NAME_SIZE || field[length] == '\0');
}

bool is_noshader(record_name name)
{
    return name.length == 8 && std::memcmp(name.text, "noshader", 8) == 0;
}

const char *describe_lump_status(lump_status status)
{
    switch (status) {
    case LUMP_OK: return "no error";
    case LUMP_NOT_SEEKABLE: return "cannot seek in the file (not a regular file?)";
    case LUMP_IS_DIRECTORY: return "is a directory";
    case LUMP_SHORT_HEADER: return "file is shorter than the 144-byte header";
    case LUMP_OUTSIDE_FILE: return "texture lump reaches past the end of the file";
    case LUMP_READ_FAILED: return "read failed";
    case LUMP_NO_MEMORY: return "not enough memory to hold the texture lump";
    case LUMP_WRITE_FAILED: return "cannot write the texture lump back";
    }
    return "unknown error";
}
