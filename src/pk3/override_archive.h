// Writing an override archive: whole or absent, whatever happens, as
// write_whole writes, and never over a file that exists.
#ifndef LUMPSMITH_OVERRIDE_ARCHIVE_H
#define LUMPSMITH_OVERRIDE_ARCHIVE_H

#include <cstdint>
#include <string>
#include <vector>

// A file for the archive, kept only as deflated, so that a run holds the
// compressed output and not every map it changed.
struct packed_file {
    std::string name;      // its name in the archive
    std::string deflated;  // raw deflate stream
    std::uint32_t crc;
    std::uint64_t size;    // inflated
};

// A packed file of data named name: its raw deflate stream (level 6, as
// zip -6), sized to fit, and its CRC; false when zlib failed.
bool deflate_file(const std::string &name, const std::string &data, packed_file *file);
// Writes the deflated files with minizip in name order, with fixed times and
// modes and no extra fields, so that the same files always give the same
// bytes. *size is the archive's; "" or an Error line's words.
std::string write_override(const std::string &output, std::vector<packed_file> *files, std::uint64_t *size);

#endif
