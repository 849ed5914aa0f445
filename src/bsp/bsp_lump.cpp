#include "bsp/bsp_lump.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "bsp/file_io.h"

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

static std::int64_t nanoseconds(const struct timespec &t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

static bool stamp_file(std::FILE *bsp, file_stamp *stamp, bool *is_directory)
{
    struct stat st;
    if (fstat(fileno(bsp), &st) != 0)
        return false;
    *stamp = file_stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
    *is_directory = S_ISDIR(st.st_mode);
    return true;
}

// The size is learnt up front so that a header claiming a lump far past the
// end of the file is refused before anything is allocated for it. The stamp
// is taken before any byte is read, so that a change made while the map is
// being read cannot match it later.
static lump_status measure_file(std::FILE *bsp, bsp_header *header)
{
    bool is_directory = false;
    if (!stamp_file(bsp, &header->stamp, &is_directory))
        return LUMP_NOT_SEEKABLE;
    if (is_directory)
        return LUMP_IS_DIRECTORY;
    if (fseeko(bsp, 0, SEEK_END) != 0)
        return LUMP_NOT_SEEKABLE;
    const off_t end = ftello(bsp);
    if (end < 0)
        return LUMP_NOT_SEEKABLE;
    header->file_size = static_cast<std::uint64_t>(end);
    return LUMP_OK;
}

#ifdef LUMPSMITH_HEAP_BUFFERS
// Sanitizer and fuzz builds: heap blocks have redzones, so a read or write
// one byte past a lump is caught where a mapping would let it pass.
void *allocate_buffer(std::size_t size)
{
    return std::calloc(size + 1, 1);
}

void release_buffer(void *buffer, std::size_t)
{
    std::free(buffer);
}
#else
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
#endif

lump_status lock_map(std::FILE *bsp, map_lock kind)
{
    if (kind == MAP_UNLOCKED)
        return LUMP_OK;
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = kind == MAP_EXCLUSIVE_LOCK ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;  // start 0 and length 0: the whole file, however it grows
    // Open-file-description locks belong to this open of the file, not to
    // the process, so nothing else the process opens or closes drops them.
    int result;
    do
        result = fcntl(fileno(bsp), F_OFD_SETLKW, &lock);
    while (result != 0 && errno == EINTR);
    if (result == 0 || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL)
        return LUMP_OK;
    return LUMP_LOCK_FAILED;
}

lump_status read_header(std::FILE *bsp, bsp_header *header)
{
    const lump_status measured = measure_file(bsp, header);
    if (measured != LUMP_OK)
        return measured;
    if (header->file_size < HEADER_SIZE)
        return LUMP_SHORT_HEADER;
    if (fseeko(bsp, 0, SEEK_SET) != 0)
        return LUMP_NOT_SEEKABLE;
    if (io_read(header->bytes, HEADER_SIZE, bsp) != HEADER_SIZE)
        return LUMP_READ_FAILED;
    header->lump_offset = load_u32le(header->bytes + LUMP_OFFSET_AT);
    header->lump_length = load_u32le(header->bytes + LUMP_LENGTH_AT);
    return LUMP_OK;
}

lump_status check_lump_bounds(const bsp_header &header)
{
    // Both fields are 32-bit, so their sum cannot overflow 64 bits.
    const std::uint64_t end = std::uint64_t{header.lump_offset} + header.lump_length;
    if (end > header.file_size)
        return LUMP_OUTSIDE_FILE;
    // An import would write over other lumps' directory entries. An empty
    // lump is never written, so where it claims to start does not matter.
    if (header.lump_length > 0 && header.lump_offset < HEADER_SIZE)
        return LUMP_OVERLAPS_HEADER;
    return LUMP_OK;
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
    if (io_read(bytes, header.lump_length, bsp) != header.lump_length) {
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

lump_status check_map_unchanged(std::FILE *bsp, const char *path, const bsp_header &header)
{
    file_stamp now;
    bool is_directory = false;
    if (!stamp_file(bsp, &now, &is_directory))
        return LUMP_MAP_CHANGED;
    const file_stamp &then = header.stamp;
    if (now.device != then.device || now.inode != then.inode || now.size != then.size ||
        now.modified_ns != then.modified_ns || now.changed_ns != then.changed_ns)
        return LUMP_MAP_CHANGED;
    // Renamed over, or deleted: writing would edit a file nobody will see.
    struct stat named;
    if (path != nullptr &&
        (stat(path, &named) != 0 || static_cast<std::uint64_t>(named.st_dev) != now.device ||
         static_cast<std::uint64_t>(named.st_ino) != now.inode))
        return LUMP_MAP_CHANGED;
    return LUMP_OK;
}

lump_status reserve_lump(std::FILE *bsp, const bsp_header &header)
{
    if (header.lump_length == 0 || io_reserve(bsp, header.lump_offset, header.lump_length))
        return LUMP_OK;
    return errno == EOPNOTSUPP || errno == ENOSYS ? LUMP_OK : LUMP_NO_SPACE;
}

lump_status write_texture_lump(std::FILE *bsp, const bsp_header &header, const texture_lump &lump)
{
    if (fseeko(bsp, static_cast<off_t>(header.lump_offset), SEEK_SET) != 0)
        return LUMP_WRITE_FAILED;
    if (io_write(lump.bytes, lump.length, bsp) != lump.length)
        return LUMP_WRITE_FAILED;
    if (!io_flush(bsp))
        return LUMP_WRITE_FAILED;
    return io_sync(bsp) ? LUMP_OK : LUMP_SYNC_FAILED;
}

void hold_stop_signals(held_signals *held)
{
    sigset_t stop;
    sigemptyset(&stop);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&stop, signal);
    sigprocmask(SIG_BLOCK, &stop, &held->saved_mask);
}

void release_stop_signals(const held_signals &held)
{
    sigprocmask(SIG_SETMASK, &held.saved_mask, nullptr);
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
    // Where the name must end is checked first: names of other lengths,
    // most of those compared, are told apart by one byte.
    return length <= NAME_SIZE && (length == NAME_SIZE || field[length] == '\0') &&
           std::memcmp(field, text, length) == 0;
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
    case LUMP_OVERLAPS_HEADER: return "texture lump overlaps the 144-byte header";
    case LUMP_READ_FAILED: return "read failed";
    case LUMP_NO_MEMORY: return "not enough memory to hold the texture lump";
    case LUMP_LOCK_FAILED: return "cannot lock the file";
    case LUMP_MAP_CHANGED: return "it changed during the import (replaced or rewritten by another program); nothing was written";
    case LUMP_NO_SPACE: return "no space on the disk for the texture lump; nothing was written";
    case LUMP_WRITE_FAILED: return "cannot write the texture lump back";
    case LUMP_SYNC_FAILED: return "the texture lump may not have reached the disk";
    case LUMP_INPUT_FAILED: return "read failed";
    case LUMP_OUTPUT_FAILED: return "write failed";
    }
    return "unknown error";
}
