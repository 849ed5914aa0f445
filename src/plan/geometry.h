// What a floor plan draws of a map: the triangles of its faces that face
// up, each with the texture record its face names, and the places players
// reach. Read from the map's bytes held whole; nothing outside them is read.
#ifndef LUMPSMITH_GEOMETRY_H
#define LUMPSMITH_GEOMETRY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bsp/map_file.h"

// The header after the magic and version: 17 entries of a 32-bit offset and
// a 32-bit length, the texture lump's being entry 1:
//   0      4         8        16       24              144
//   +------+---------+--------+--------+-- ... --------+
//   | IBSP | version | lump 0 | lump 1 |   lumps 2..16  |
//   +------+---------+--------+--------+-- ... --------+
constexpr std::size_t DIRECTORY_AT = 8;
constexpr std::size_t ENTITIES_LUMP = 0, VERTICES_LUMP = 10, MESH_VERTICES_LUMP = 11, FACES_LUMP = 13;
static_assert(DIRECTORY_AT + 8 * 1 == LUMP_OFFSET_AT, "the texture lump is entry 1");
static_assert(DIRECTORY_AT + 8 * 17 == HEADER_SIZE, "17 entries fill the header");

// A face, 104 bytes; the fields read (int32 unless said):
//   0        4        8      12            16           20               24
//   | texture | effect | type | first vertex | vertex count | first mesh vertex |
//   24                 28 ... 96             100            104
//   | mesh vertex count | ... | patch width | patch height |
// A vertex, 44 bytes, starts with its position (3 floats); a mesh vertex is
// one int32, a vertex index counted from the face's first vertex.
constexpr std::size_t FACE_SIZE = 104, VERTEX_SIZE = 44, MESH_VERTEX_SIZE = 4;
constexpr std::size_t FACE_TEXTURE_AT = 0, FACE_TYPE_AT = 8, FACE_FIRST_VERTEX_AT = 12, FACE_VERTEX_COUNT_AT = 16,
                      FACE_FIRST_MESH_VERTEX_AT = 20, FACE_MESH_VERTEX_COUNT_AT = 24, FACE_PATCH_SIZE_AT = 96;
static_assert(FACE_PATCH_SIZE_AT + 8 == FACE_SIZE, "a face ends with its patch size");

enum face_type { POLYGON_FACE = 1, PATCH_FACE = 2, MESH_FACE = 3 };
constexpr std::uint32_t SKY_SURFACE = 0x4, NODRAW_SURFACE = 0x80, FOG_CONTENT = 0x40;
// Each 3 x 3 piece of a patch is cut into PATCH_STEPS x PATCH_STEPS cells.
constexpr int PATCH_STEPS = 8;
// A hostile map can name one large patch from every face; past this many
// triangles, faces are left out as bad ones are.
constexpr std::size_t MAX_TRIANGLES = std::size_t{1} << 23;

struct plan_triangle {
    float x[3], y[3], z[3];
    std::uint32_t face;  // index in the faces lump; later faces win ties
};

struct map_geometry {
    map_reading map;                       // its header and texture lump, as the import reads them
    std::vector<std::uint32_t> face_record;  // per face: the record it names (valid where it has triangles)
    std::vector<plan_triangle> triangles;  // facing up and drawn, in face order
    std::vector<float> places;             // x, y of each spawn point, flag and item
    std::size_t bad_faces = 0;             // left out: outside their lumps, a position no number, or past MAX_TRIANGLES
    bool faces_past_end = false;           // the faces lump reaches past the file
};

// Reads the map held in bytes; "" or an Error line's words (naming label)
// when its header or texture lump cannot be read. Faces that point outside
// their lumps, hold a position that is not a finite number, or come past
// MAX_TRIANGLES are left out and counted.
std::string read_geometry(const std::string &bytes, const char *label, map_geometry *geometry);

#endif
