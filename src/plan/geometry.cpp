#include "plan/geometry.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "game/game_files.h"

namespace {

struct lump_span {
    const unsigned char *at;
    std::size_t count;  // whole records
    bool past_end;
};

// Entry i of the directory, as whole records of record_size; an entry that
// reaches past the file holds none.
lump_span lump_of(const std::string &bytes, std::size_t i, std::size_t record_size)
{
    const auto *base = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::uint64_t offset = load_u32le(base + DIRECTORY_AT + 8 * i), length = load_u32le(base + DIRECTORY_AT + 8 * i + 4);
    if (offset + length > bytes.size())
        return {base, 0, true};
    return {base + offset, static_cast<std::size_t>(length / record_size), false};
}

std::int32_t load_i32le(const unsigned char *p)
{
    const std::uint32_t u = load_u32le(p);
    std::int32_t value;
    std::memcpy(&value, &u, sizeof value);
    return value;
}

float load_f32le(const unsigned char *p)
{
    const std::uint32_t u = load_u32le(p);
    float value;
    std::memcpy(&value, &u, sizeof value);
    return value;
}

struct point {
    double x, y, z;
};

point vertex_at(const lump_span &vertices, std::size_t i)
{
    const unsigned char *v = vertices.at + i * VERTEX_SIZE;
    return {load_f32le(v), load_f32le(v + 4), load_f32le(v + 8)};
}

// True when [first, first + count) lies inside a lump of size records.
bool inside(std::int64_t first, std::int64_t count, std::size_t size)
{
    return first >= 0 && count >= 0 && static_cast<std::uint64_t>(first + count) <= size;
}

// Keeps the triangle when it faces up: compiled maps wind a triangle's front
// along (c - a) x (b - a), and the stored face normal is often zero.
void keep_if_up(const point &a, const point &b, const point &c, std::uint32_t face, map_geometry *g)
{
    const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    const double nx = vy * uz - vz * uy, ny = vz * ux - vx * uz, nz = vx * uy - vy * ux;
    if (!(nz > 0.3 * std::sqrt(nx * nx + ny * ny + nz * nz)))
        return;
    g->triangles.push_back({{float(a.x), float(b.x), float(c.x)}, {float(a.y), float(b.y), float(c.y)},
                            {float(a.z), float(b.z), float(c.z)}, face});
}

// A point of the biquadratic piece whose rows of control points start at
// p[0], p[width], p[2 * width], at (s, t) in 0..1.
point patch_point(const point *p, std::size_t width, double s, double t)
{
    const double bs[3] = {(1 - s) * (1 - s), 2 * s * (1 - s), s * s};
    const double bt[3] = {(1 - t) * (1 - t), 2 * t * (1 - t), t * t};
    point q{0, 0, 0};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const point &k = p[r * width + c];
            const double w = bt[r] * bs[c];
            q.x += w * k.x;
            q.y += w * k.y;
            q.z += w * k.z;
        }
    return q;
}

void tessellate_patch(const std::vector<point> &grid, std::size_t width, std::size_t height, std::uint32_t face,
                      map_geometry *g)
{
    constexpr int N = PATCH_STEPS + 1;
    point cell[N][N];
    for (std::size_t py = 0; py + 2 < height; py += 2)
        for (std::size_t px = 0; px + 2 < width; px += 2) {
            for (int j = 0; j < N; ++j)
                for (int i = 0; i < N; ++i)
                    cell[j][i] = patch_point(&grid[py * width + px], width, double(i) / PATCH_STEPS, double(j) / PATCH_STEPS);
            for (int j = 0; j < PATCH_STEPS; ++j)
                for (int i = 0; i < PATCH_STEPS; ++i) {
                    keep_if_up(cell[j][i], cell[j][i + 1], cell[j + 1][i], face, g);
                    keep_if_up(cell[j + 1][i], cell[j][i + 1], cell[j + 1][i + 1], face, g);
                }
        }
}

bool finite(const point &p)
{
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Adds the face's upward triangles; false when it points outside its lumps.
bool add_face(const unsigned char *f, std::uint32_t face, const lump_span &vertices, const lump_span &mesh, map_geometry *g)
{
    const std::int64_t first = load_i32le(f + FACE_FIRST_VERTEX_AT), count = load_i32le(f + FACE_VERTEX_COUNT_AT);
    if (!inside(first, count, vertices.count))
        return false;
    std::vector<point> points(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < points.size(); ++i)
        if (!finite(points[i] = vertex_at(vertices, static_cast<std::size_t>(first) + i)))
            return false;
    if (load_i32le(f + FACE_TYPE_AT) == PATCH_FACE) {
        const std::int64_t width = load_i32le(f + FACE_PATCH_SIZE_AT), height = load_i32le(f + FACE_PATCH_SIZE_AT + 4);
        if (width < 3 || height < 3 || width % 2 == 0 || height % 2 == 0 || width * height > count)
            return false;
        tessellate_patch(points, static_cast<std::size_t>(width), static_cast<std::size_t>(height), face, g);
        return true;
    }
    const std::int64_t first_mesh = load_i32le(f + FACE_FIRST_MESH_VERTEX_AT), mesh_count = load_i32le(f + FACE_MESH_VERTEX_COUNT_AT);
    if (!inside(first_mesh, mesh_count, mesh.count))
        return false;
    const std::size_t kept = g->triangles.size();
    for (std::int64_t k = 0; k + 3 <= mesh_count; k += 3) {
        point corner[3];
        for (int j = 0; j < 3; ++j) {
            const std::int64_t at = load_i32le(mesh.at + MESH_VERTEX_SIZE * static_cast<std::size_t>(first_mesh + k + j));
            if (at < 0 || at >= count) {
                g->triangles.resize(kept);
                return false;
            }
            corner[j] = points[static_cast<std::size_t>(at)];
        }
        keep_if_up(corner[0], corner[1], corner[2], face, g);
    }
    return true;
}

// The next quoted token at *at, or false at the end of the text.
bool next_token(std::string_view text, std::size_t *at, std::string_view *token)
{
    const std::size_t open = text.find_first_of("\"{}", *at);
    if (open == text.npos)
        return false;
    if (text[open] != '"') {
        *token = text.substr(open, 1);
        *at = open + 1;
        return true;
    }
    const std::size_t close = text.find('"', open + 1);
    if (close == text.npos)
        return false;
    *token = text.substr(open + 1, close - open - 1);
    *at = close + 1;
    return true;
}

bool players_reach(std::string_view classname)
{
    for (const std::string_view start : {"info_player_", "weapon_", "item_", "ammo_", "holdable_"})
        if (classname.substr(0, start.size()) == start)
            return true;
    return classname.substr(0, 9) == "team_CTF_" && classname.size() >= 13 &&
           classname.substr(classname.size() - 4) == "flag";
}

// The origins of entities players reach: spawn points, flags and items.
void read_places(std::string_view text, map_geometry *g)
{
    std::size_t at = 0;
    std::string_view token, key, classname, origin;
    bool is_key = true;
    while (next_token(text, &at, &token)) {
        if (token == "{" || token == "}") {
            float x, y, z;
            char end;
            if (token == "}" && players_reach(classname) &&
                std::sscanf(std::string(origin).c_str(), "%f %f %f%c", &x, &y, &z, &end) == 3 && std::isfinite(x) &&
                std::isfinite(y)) {
                g->places.push_back(x);
                g->places.push_back(y);
            }
            classname = origin = {};
            is_key = true;
            continue;
        }
        if (!is_key && key == "classname")
            classname = token;
        if (!is_key && key == "origin")
            origin = token;
        key = token;
        is_key = !is_key;
    }
}

}  // namespace

std::string read_geometry(const std::string &bytes, const char *label, map_geometry *g)
{
    if (std::string why = read_map_bytes(bytes, bytes.size(), label, &g->map); !why.empty())
        return why;
    const lump_span faces = lump_of(bytes, FACES_LUMP, FACE_SIZE), vertices = lump_of(bytes, VERTICES_LUMP, VERTEX_SIZE),
                    mesh = lump_of(bytes, MESH_VERTICES_LUMP, MESH_VERTEX_SIZE), entities = lump_of(bytes, ENTITIES_LUMP, 1);
    g->faces_past_end = faces.past_end;
    g->face_record.assign(faces.count, 0);
    for (std::size_t i = 0; i < faces.count; ++i) {
        const unsigned char *face = faces.at + i * FACE_SIZE;
        const std::int64_t type = load_i32le(face + FACE_TYPE_AT), record = load_i32le(face + FACE_TEXTURE_AT);
        if (!inside(record, 1, g->map.lump.record_count)) {
            ++g->bad_faces;
            continue;
        }
        g->face_record[i] = static_cast<std::uint32_t>(record);
        const std::uint32_t flags = surface_flags_of_record(g->map.lump, g->face_record[i]);
        if ((type != POLYGON_FACE && type != PATCH_FACE && type != MESH_FACE) || (flags & (SKY_SURFACE | NODRAW_SURFACE)) ||
            (content_flags_of_record(g->map.lump, g->face_record[i]) & FOG_CONTENT))
            continue;
        if (g->triangles.size() >= MAX_TRIANGLES || !add_face(face, static_cast<std::uint32_t>(i), vertices, mesh, g))
            ++g->bad_faces;
    }
    read_places(std::string_view(reinterpret_cast<const char *>(entities.at), entities.count), g);
    return "";
}
