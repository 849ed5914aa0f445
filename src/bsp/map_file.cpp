#include "bsp/map_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "bsp/file_io.h"

namespace {

// Every zip archive starts with a local file header: "PK\3\4".
constexpr unsigned char ZIP_SIGNATURE[4] = {'P', 'K', 3, 4};

failure ok()
{
    return failure{LUMP_OK, nullptr, 0};
}

failure fail(lump_status status, named_file map, int error = 0)
{
    return failure{status, map.path, error};
}

std::int64_t nanoseconds(const struct timespec &t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool stamp_file(std::FILE *stream, file_stamp *stamp, mode_t *mode)
{
    struct stat st;
    if (fstat(fileno(stream), &st) != 0)
        return false;
    *stamp = file_stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
    *mode = st.st_mode;
    return true;
}

void populate(void *memory, std::size_t size)
{
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(memory) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(memory) + size) & ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
}

bool same_stamp(const file_stamp &a, const file_stamp &b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified_ns == b.modified_ns &&
           a.changed_ns == b.changed_ns;
}

int set_lock(named_file map, short type, bool wait)
{
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;  // start 0 and length 0: the whole file, however it grows
    // Open-file-description locks belong to this open of the file, not to
    // the process, so nothing else the process opens or closes drops them.
    int result;
    do
        result = fcntl(fileno(map.stream), wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

failure check_unchanged(named_file map, const map_reading &fresh)
{
    file_stamp now;
    mode_t mode;
    if (!stamp_file(map.stream, &now, &mode) || !same_stamp(now, fresh.stamp))
        return fail(LUMP_MAP_CHANGED, map);
    // Renamed over, or deleted: writing would edit a file nobody will see.
    struct stat named;
    if (stat(map.path, &named) != 0 || static_cast<std::uint64_t>(named.st_dev) != now.device ||
        static_cast<std::uint64_t>(named.st_ino) != now.inode)
        return fail(LUMP_MAP_CHANGED, map);
    return ok();
}

// A sparse lump could run out of space half way through the write-back.
// Only a full disk or quota means no room; a filesystem that cannot
// reserve (EINVAL is what some block devices say) is trusted.
failure reserve_lump(named_file map, const map_reading &fresh)
{
    if (fresh.header.lump_length == 0 || io_reserve(map.stream, fresh.header.lump_offset, fresh.header.lump_length))
        return ok();
    if (errno == ENOSPC || errno == EDQUOT)
        return fail(LUMP_NO_SPACE, map);
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)
        return ok();
    return fail(LUMP_RESERVE_FAILED, map, errno);
}

failure write_and_sync(named_file map, const map_reading &fresh, const texture_lump &lump)
{
    if (!io_write_at(map.stream, lump.bytes.data(), lump.bytes.size(), fresh.header.lump_offset))
        return fail(LUMP_WRITE_FAILED, map, errno);
    return io_sync(map.stream) ? ok() : fail(LUMP_SYNC_FAILED, map, errno);
}

// While the lump is written, the signals a user sends to stop a command
// wait, so that none leaves it half old and half new; one that arrived
// meanwhile acts on release. SIGXFSZ cannot wait like that: held, it would
// kill the process after the rollback. Ignored, a file-size limit makes the
// write fail with EFBIG, and the rollback runs.
struct held_signals {
    sigset_t saved_mask;
    struct sigaction saved_xfsz;
};

void hold_signals(held_signals *held)
{
    sigset_t stop;
    sigemptyset(&stop);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&stop, signal);
    sigprocmask(SIG_BLOCK, &stop, &held->saved_mask);
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &held->saved_xfsz);
}

void release_signals(const held_signals &held)
{
    sigaction(SIGXFSZ, &held.saved_xfsz, nullptr);
    sigprocmask(SIG_SETMASK, &held.saved_mask, nullptr);
}

}  // namespace

failure lock_map(named_file map, map_lock kind, std::FILE *said)
{
    const short type = kind == MAP_EXCLUSIVE_LOCK ? F_WRLCK : F_RDLCK;
    int error = set_lock(map, type, false);
    if (error == EAGAIN || error == EACCES) {
        std::fprintf(said, "lumpsmith: waiting for %s, which another program has locked\n", map.path);
        std::fflush(said);
        error = set_lock(map, type, true);
    }
    if (error == 0 || error == ENOLCK || error == EOPNOTSUPP || error == EINVAL)
        return ok();
    return fail(LUMP_LOCK_FAILED, map, error);
}

void unlock_map(named_file map)
{
    set_lock(map, F_UNLCK, false);
}

failure read_header(named_file map, map_reading *reading)
{
    // The stamp comes before any byte is read, so that a change made while
    // the map is being read cannot match it later; the size is learnt up
    // front, so that a lump claimed far past the end of the file is refused
    // before anything is allocated for it.
    mode_t mode;
    if (!stamp_file(map.stream, &reading->stamp, &mode))
        return fail(LUMP_READ_FAILED, map, errno);
    if (S_ISDIR(mode))
        return fail(LUMP_IS_DIRECTORY, map);
    if (!S_ISREG(mode))
        return fail(LUMP_NOT_SEEKABLE, map);
    reading->file_size = reading->stamp.size;
    bsp_header &header = reading->header;
    std::memset(header.bytes, 0, HEADER_SIZE);
    const std::size_t present = static_cast<std::size_t>(std::min<std::uint64_t>(reading->file_size, HEADER_SIZE));
    if (!io_read_at(map.stream, header.bytes, present, 0))
        return fail(errno ? LUMP_READ_FAILED : LUMP_SHORT_HEADER, map, errno);
    if (present >= sizeof ZIP_SIGNATURE && std::memcmp(header.bytes, ZIP_SIGNATURE, sizeof ZIP_SIGNATURE) == 0)
        return fail(LUMP_ZIP_ARCHIVE, map);
    if (present < HEADER_SIZE)
        return fail(LUMP_SHORT_HEADER, map);
    header.lump_offset = load_u32le(header.bytes + LUMP_OFFSET_AT);
    header.lump_length = load_u32le(header.bytes + LUMP_LENGTH_AT);
    // Both fields are 32-bit, so their sum cannot overflow 64 bits.
    if (std::uint64_t{header.lump_offset} + header.lump_length > reading->file_size)
        return fail(LUMP_OUTSIDE_FILE, map);
    // An import would write over other lumps' directory entries. An empty
    // lump is never written, so where it claims to start does not matter.
    if (header.lump_length > 0 && header.lump_offset < HEADER_SIZE)
        return fail(LUMP_OVERLAPS_HEADER, map);
    return ok();
}

failure read_map(named_file map, map_reading *reading)
{
    reading->lump = texture_lump{{}, 0};
    const failure unreadable = read_header(map, reading);
    if (unreadable.status != LUMP_OK)
        return unreadable;
    std::vector<unsigned char> &bytes = reading->lump.bytes;
    const std::uint32_t length = reading->header.lump_length;
    // Bounded by the file's size, checked above. Fresh memory is faulted in
    // a page at a time as it is first touched, and on a virtual machine
    // that was a third of an import of a large lump; asking the kernel to
    // fill the pages in one call first is advice, and harmless if ignored.
    bytes.reserve(length);
    populate(bytes.data(), length);
    bytes.resize(length);
    if (!io_read_at(map.stream, bytes.data(), length, reading->header.lump_offset)) {
        // A file that ended early was cut short since it was measured.
        const failure cut = fail(errno ? LUMP_READ_FAILED : LUMP_OUTSIDE_FILE, map, errno);
        reading->lump = texture_lump{{}, 0};
        return cut;
    }
    reading->lump.record_count = length / RECORD_SIZE;
    return ok();
}

failure read_map_shared(named_file map, std::FILE *said, map_reading *reading)
{
    failure f = lock_map(map, MAP_SHARED_LOCK, said);
    if (f.status == LUMP_OK)
        f = read_map(map, reading);
    unlock_map(map);
    return f;
}

failure write_lump_back(named_file map, const map_reading &fresh, const texture_lump &edited)
{
    // Checked before reserving: fallocate moves the map's ctime.
    failure f = check_unchanged(map, fresh);
    if (f.status == LUMP_OK)
        f = reserve_lump(map, fresh);
    if (f.status != LUMP_OK)
        return f;
    held_signals held;
    hold_signals(&held);
    f = write_and_sync(map, fresh, edited);
    // Half an edit is worse than none: the lump as it was goes back.
    if (f.status != LUMP_OK)
        write_and_sync(map, fresh, fresh.lump);
    release_signals(held);
    return f;
}

std::string describe_failure(const failure &f)
{
    // Per status: whether it is about writing, and the words after the
    // path; none where the system's reason says it all.
    static const struct {
        bool writing;
        const char *phrase;
    } WORDS[] = {
        {false, "no error"},
        {false, "not a regular file"},
        {false, "is a directory"},
        {false, "it is a zip archive (.pk3), not a map; extract the map first: unzip "},
        {false, "file is shorter than the 144-byte header"},
        {false, "texture lump reaches past the end of the file"},
        {false, "texture lump overlaps the 144-byte header"},
        {false, nullptr},
        {false, "cannot lock the file"},
        {true, "it changed during the import (replaced or rewritten by another program); nothing was written"},
        {true, "no space on the disk for the texture lump; nothing was written"},
        {true, "cannot reserve disk space for the texture lump, so nothing was written"},
        {true, nullptr},
        {true, "the texture lump may not have reached the disk"},
        {false, nullptr},
        {true, nullptr},
    };
    static_assert(sizeof WORDS / sizeof WORDS[0] == LUMP_OUTPUT_FAILED + 1, "words for every status");
    std::string text = std::string(WORDS[f.status].writing ? "Cannot write " : "Cannot read ") + f.path;
    if (WORDS[f.status].phrase != nullptr)
        text += std::string(": ") + WORDS[f.status].phrase;
    if (f.status == LUMP_ZIP_ARCHIVE)
        text += std::string(f.path) + " 'maps/*.bsp'";
    if (f.error != 0)
        text += std::string(": ") + std::strerror(f.error);
    return text;
}
