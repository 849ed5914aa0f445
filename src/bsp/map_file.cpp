#include "bsp/map_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>


namespace {

// Every zip archive starts with a local file header: "PK\3\4".
constexpr unsigned char ZIP_SIGNATURE[4] = {'P', 'K', 3, 4};

failure fail(failure_status status, named_file map, int error = 0)
{
    return failure{status, map.path, error};
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_stamp(const struct stat &a, const struct stat &b)
{
    const auto same_time = [](const timespec &x, const timespec &y) { return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec; };
    return same_file(a, b) && a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim);
}

int set_lock(std::FILE *stream, short type, bool wait)
{
    struct flock lock = {};  // from 0 for length 0: the whole file, however it grows
    lock.l_type = type;
    // Open-file-description locks belong to this open of the file, not to
    // the process, so nothing else the process opens or closes drops them.
    return retry_interrupted([&] { return fcntl(fileno(stream), wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock); }) == 0
               ? 0 : errno;
}

// Refuses the write before it starts where the map was renamed over or
// deleted (it would be edited where nobody will see it) or changed, or where
// a file-size limit would stop the write half way through a flags word.
failure check_writable(named_file map, const map_reading &fresh, const texture_lump &edited)
{
    struct rlimit limit;
    if (edited.size != fresh.lump.size || !unchanged_since(map, fresh.stamp))
        return fail(MAP_CHANGED, map);
    const bool within = getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
                        std::uint64_t{fresh.header.lump_offset} + fresh.header.lump_length <= limit.rlim_cur;
    return within ? ok() : fail(MAP_OVER_SIZE_LIMIT, map);
}

// A sparse lump could run out of space half way through the write-back.
// Only a full disk or quota means no room; a filesystem that cannot
// reserve (EINVAL is what some block devices say) is trusted.
failure reserve_lump(named_file map, const bsp_header &header)
{
    const int error = header.lump_length == 0 ? 0 : io_reserve(map.stream, header.lump_offset, header.lump_length);
    if (error == 0 || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL)
        return ok();
    return error == ENOSPC || error == EDQUOT ? fail(MAP_NO_SPACE, map) : fail(MAP_RESERVE_FAILED, map, error);
}

// Writes the first size bytes of lump in the lump's place and syncs them;
// *written says how many reached the file.
failure write_and_sync(named_file map, const bsp_header &header, const texture_lump &lump, std::size_t size,
                       std::size_t *written)
{
    if (const int error = io_write_at(map.stream, lump.bytes.get(), size, header.lump_offset, written))
        return fail(MAP_WRITE_FAILED, map, error);
    const int error = io_sync(map.stream);
    return error == 0 ? ok() : fail(MAP_SYNC_FAILED, map, error);
}

failure write_lump_back(named_file map, const map_reading &fresh, const texture_lump &edited)
{
    // Checked before reserving: fallocate moves the map's ctime.
    failure f = check_writable(map, fresh, edited);
    if (f.status == NO_FAILURE)
        f = reserve_lump(map, fresh.header);
    if (f.status != NO_FAILURE)
        return f;
    // While the lump is written, every signal that can wait does, so that
    // none leaves it half old and half new; one that arrived meanwhile acts
    // on release. SIGXFSZ cannot wait like that: held, it would kill the
    // process after the rollback; ignored, the write fails with EFBIG and
    // the rollback runs. Nothing between here and the restore can fail
    // early or throw.
    sigset_t all, saved_mask;
    sigfillset(&all);
    sigdelset(&all, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &all, &saved_mask);
    struct sigaction ignore = {}, saved_xfsz;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved_xfsz);
    std::size_t written = 0;
    f = write_and_sync(map, fresh.header, edited, edited.size, &written);
    // Half an edit is worse than none: the lump as it was goes back, as far
    // as the edit reached.
    const failure rollback = f.status == NO_FAILURE ? ok() : write_and_sync(map, fresh.header, fresh.lump, written, &written);
    if (rollback.status != NO_FAILURE)
        f = failure{MAP_ROLLBACK_FAILED, map.path, f.error, rollback.error};
    sigaction(SIGXFSZ, &saved_xfsz, nullptr);
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    return f;
}

failure read_header(named_file map, map_reading *reading)
{
    // Stamped before any byte is read, so a change made during the read
    // cannot match later; the size comes first, so a lump claimed far past
    // the end is refused before anything is allocated for it.
    const struct stat &st = reading->stamp;
    if (fstat(fileno(map.stream), &reading->stamp) != 0)
        return fail(MAP_READ_FAILED, map, errno);
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? MAP_IS_DIRECTORY : MAP_NOT_REGULAR, map);
    unsigned char bytes[HEADER_SIZE];
    const std::size_t present = std::min(static_cast<std::size_t>(st.st_size), HEADER_SIZE);
    if (const int error = io_read_at(map.stream, bytes, present, 0))
        return error == IO_END ? fail(MAP_SHORT_HEADER, map) : fail(MAP_READ_FAILED, map, error);
    failure f = check_header(map.path, bytes, present, static_cast<std::uint64_t>(st.st_size), &reading->header);
    const std::string_view start(reinterpret_cast<const char *>(bytes), present);
    f.holds_text = f.status != NO_FAILURE && f.status != MAP_ZIP_ARCHIVE && start.find('\0') == start.npos &&
                   (start.find(" = ") != start.npos || start.find('\n') != start.npos);
    return f;
}

}  // namespace

failure check_header(const char *path, const unsigned char *bytes, std::size_t present, std::uint64_t file_size,
                     bsp_header *header)
{
    if (present >= sizeof ZIP_SIGNATURE && std::memcmp(bytes, ZIP_SIGNATURE, sizeof ZIP_SIGNATURE) == 0)
        return failure{MAP_ZIP_ARCHIVE, path, 0};
    if (present < HEADER_SIZE)
        return failure{MAP_SHORT_HEADER, path, 0};
    *header = bsp_header{load_u32le(bytes + LUMP_OFFSET_AT), load_u32le(bytes + LUMP_LENGTH_AT)};
    // Both fields are 32-bit, so their sum cannot overflow 64 bits.
    if (std::uint64_t{header->lump_offset} + header->lump_length > file_size)
        return failure{MAP_OUTSIDE_FILE, path, 0};
    // An import would write over other lumps' directory entries. An empty
    // lump is never written, so where it claims to start does not matter.
    return header->lump_length > 0 && header->lump_offset < HEADER_SIZE ? failure{MAP_OVERLAPS_HEADER, path, 0} : ok();
}

failure lock_map(named_file map, short type, std::FILE *said)
{
    int error = set_lock(map.stream, type, false);
    if (error == EAGAIN || error == EACCES) {
        // Named as it was run, so that a companion's wait is told from an import's.
        std::fprintf(said, "%s: waiting for %s, which another program has locked\n", program_invocation_short_name,
                     escaped(map.path).c_str());
        std::fflush(said);
        error = set_lock(map.stream, type, true);
    }
    const bool no_locks = error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
    return error == 0 || no_locks ? ok() : fail(MAP_LOCK_FAILED, map, error);
}

bool unchanged_since(named_file file, const struct stat &stamp)
{
    struct stat now, named;
    return fstat(fileno(file.stream), &now) == 0 && same_stamp(now, stamp) && stat(file.path, &named) == 0 &&
           same_file(named, now);
}

bool is_the_map(named_file map, int fd)
{
    struct stat a, b;
    return fstat(fileno(map.stream), &a) == 0 && fstat(fd, &b) == 0 && same_file(a, b);
}

failure read_map(named_file map, map_reading *reading)
{
    reading->lump = texture_lump{nullptr, 0, 0};
    const failure unreadable = read_header(map, reading);
    if (unreadable.status != NO_FAILURE)
        return unreadable;
    // Bounded by the file's size, checked above.
    texture_lump &lump = reading->lump = lump_of_size(reading->header.lump_length);
    if (lump.bytes == nullptr)
        return fail(OUT_OF_MEMORY, map, ENOMEM);
    // A file that ended early was cut short since it was measured.
    const int error = io_read_at(map.stream, lump.bytes.get(), lump.size, reading->header.lump_offset);
    return error == 0 ? ok() : error == IO_END ? fail(MAP_OUTSIDE_FILE, map) : fail(MAP_READ_FAILED, map, error);
}

// From each lock to its unlock nothing can throw or return early: the lump
// is allocated without throwing, and the edit must not throw either.
failure read_map_shared(named_file map, std::FILE *said, map_reading *reading)
{
    failure f = lock_map(map, F_RDLCK, said);
    if (f.status == NO_FAILURE)
        f = read_map(map, reading);
    set_lock(map.stream, F_UNLCK, false);
    return f;
}

failure rewrite_lump(named_file map, std::FILE *said, lump_edit edit, void *context, texture_lump *edited)
{
    failure f = lock_map(map, F_WRLCK, said);
    map_reading fresh;
    if (f.status == NO_FAILURE)
        f = read_map(map, &fresh);
    if (f.status == NO_FAILURE)
        f = edit(fresh, edited, context);
    // An edit that changes nothing is not written: the map keeps its bytes
    // and its times, so that make, rsync and zip -u see it unchanged.
    if (f.status == NO_FAILURE &&
        (edited->size != fresh.lump.size || std::memcmp(edited->bytes.get(), fresh.lump.bytes.get(), edited->size) != 0))
        f = write_lump_back(map, fresh, *edited);
    set_lock(map.stream, F_UNLCK, false);
    return f;
}
