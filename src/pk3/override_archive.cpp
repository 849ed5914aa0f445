#include "pk3/override_archive.h"

#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "failure.h"
#include "game/game_files.h"
#include "pk3/splice.h"

namespace {

constexpr uLong DOS_1980_01_01 = (1u << 5 | 1u) << 16;  // the earliest time a zip can hold
constexpr uLong UNIX_MADE_BY = 3 << 8 | 20;             // so that the mode below counts
constexpr uLong REGULAR_0644 = 0100644ul << 16;

// Writes the deflated files as a zip archive at path; false when any write
// failed, with errno the failed call's where minizip leaves it.
bool write_zip(const std::string &path, const std::vector<packed_file> &files)
{
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    bool ok = zip != nullptr;
    for (const packed_file &file : files) {
        zip_fileinfo info = {};
        info.dosDate = DOS_1980_01_01;
        info.external_fa = REGULAR_0644;
        ok = ok &&
             zipOpenNewFileInZip4_64(zip, file.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, DEFLATE_LEVEL,
                                     1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, UNIX_MADE_BY, 0, 0) == ZIP_OK &&
             zipWriteInFileInZip(zip, file.deflated.data(), static_cast<unsigned>(file.deflated.size())) == ZIP_OK &&
             zipCloseFileInZipRaw64(zip, file.size, file.crc) == ZIP_OK;
    }
    // What failed first keeps its errno: closing after it may set another.
    const int error = errno;
    const bool closed = zip != nullptr && zipClose(zip, nullptr) == ZIP_OK;
    errno = ok ? errno : error;
    return closed && ok;
}

}  // namespace

bool deflate_file(const std::string &name, const std::string &data, packed_file *file)
{
    z_stream z = {};
    if (deflateInit2(&z, DEFLATE_LEVEL, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    // Copied out at its size: the bound's buffer is as large as the map.
    *file = {name, out.substr(0, z.total_out),
             static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef *>(data.data()), data.size())), data.size()};
    deflateEnd(&z);
    return done;
}

std::string write_override(const std::string &output, std::vector<packed_file> *files, std::uint64_t *size)
{
    std::sort(files->begin(), files->end(), [](const packed_file &a, const packed_file &b) { return a.name < b.name; });
    const std::string name = output.substr(output.rfind('/') + 1);
    const int dir = open(folder_of(output).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = dir < 0 ? -1 : openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    const std::string cannot = "Cannot write " + escaped(output) + ": ";
    std::string why = dir < 0 || fd < 0 ? cannot + std::strerror(errno) : "";
    // minizip opens by path; this one names the unnamed file.
    const std::string unnamed = "/proc/self/fd/" + std::to_string(fd);
    struct stat st;
    errno = 0;
    if (why.empty() && !write_zip(unnamed, *files))
        why = cannot + "the archive could not be written: " + (errno != 0 ? std::strerror(errno) : "minizip failed");
    if (why.empty() && (fsync(fd) != 0 || fstat(fd, &st) != 0))
        why = cannot + std::strerror(errno);
    // A link never replaces a file, so an OUTPUT made meanwhile is kept.
    if (why.empty() && linkat(AT_FDCWD, unnamed.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        why = errno == EEXIST ? "Refusing to write " + escaped(output) + ": it exists" : cannot + std::strerror(errno);
    if (why.empty() && fsync(dir) != 0)
        why = cannot + "the folder could not be synced: " + std::strerror(errno);
    for (const int open_fd : {fd, dir})
        if (open_fd >= 0)
            close(open_fd);
    *size = why.empty() ? static_cast<std::uint64_t>(st.st_size) : 0;
    return why;
}
