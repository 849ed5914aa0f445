// Builds BSP maps from bytes, and game archives that hold them, for the
// tests, the sample map and the benchmark.
#ifndef LUMPSMITH_MAP_BUILDER_H
#define LUMPSMITH_MAP_BUILDER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

struct map_record {
    std::string name;  // raw name field, NUL-padded to 64 bytes; may hold NULs of its own
    std::uint32_t surface_flags;
    std::uint32_t content_flags;
};

// The records packed into a lump, followed by `tail` bytes of filler.
bytes build_lump(const std::vector<map_record> &records, std::size_t tail = 0);
// A whole map: a header naming the lump, filler up to lump_offset, the lump
// and `trailing` bytes of filler after it. Header and filler bytes form a
// pattern so that a test can see whether anything outside the lump moved.
bytes build_map(const bytes &lump, std::uint32_t lump_offset, std::size_t trailing = 0);
// The same, with the header's length field claiming `claimed_length`.
bytes build_map_claiming(const bytes &lump, std::uint32_t lump_offset, std::uint32_t claimed_length,
                         std::size_t trailing = 0);
// A face for a map with geometry: its type (1 polygon, 2 patch, 3 mesh),
// the record it names, its vertices' positions and, for a polygon or a
// mesh, its triangles as mesh vertices counted from its first vertex.
struct map_face {
    std::int32_t record;
    std::int32_t type;
    std::vector<std::array<float, 3>> vertices;
    std::vector<std::int32_t> mesh;
    std::int32_t patch_width = 0, patch_height = 0;
};
// A map whose header names every lump it holds, packed from byte 144 in this
// order: entities (lump 0), the records (1), vertices (10), mesh vertices
// (11) and faces (13); the other entries are empty.
bytes build_map_with_faces(const std::vector<map_record> &records, const std::vector<map_face> &faces,
                           const std::string &entities);

// Writes data to path, replacing it; false when that failed.
bool write_bytes(const std::string &path, const bytes &data);
// Reads a whole file; empty when it cannot be read.
bytes read_bytes(const std::string &path);

// A file for a zip archive made with minizip, the library the tool reads with.
struct archive_file {
    std::string name;
    std::string data;
    bool encrypted = false;  // under the password "x"
    bool wrong_crc = false;  // stored with a CRC one off
    bool stored = false;     // not deflated
};
// Writes the files, in order, as a zip archive at path; false when it could not.
bool write_archive(const std::string &path, const std::vector<archive_file> &files);

#endif
