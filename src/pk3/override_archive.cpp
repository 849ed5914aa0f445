#include "pk3/override_archive.h"

#include <minizip/zip.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "failure.h"
#include "game/whole_output.h"
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
    struct stat st;
    // minizip opens by path: the unnamed file's.
    const std::string why = write_whole(output, false, [&](int, const std::string &unnamed) {
        errno = 0;
        return write_zip(unnamed, *files) ? ""
                                          : std::string("the archive could not be written: ") +
                                                (errno != 0 ? std::strerror(errno) : "minizip failed");
    }, &st);
    *size = why.empty() ? static_cast<std::uint64_t>(st.st_size) : 0;
    return why;
}
