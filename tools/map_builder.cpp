#include "map_builder.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bsp/bsp_lump.h"

bytes build_lump(const std::vector<map_record> &records, std::size_t tail)
{
    bytes lump(records.size() * RECORD_SIZE + tail);
    for (std::size_t i = 0; i < records.size(); ++i) {
        unsigned char *record = lump.data() + i * RECORD_SIZE;
        std::memcpy(record, records[i].name.data(), std::min(records[i].name.size(), NAME_SIZE));
        store_u32le(record + SURFACE_FLAGS_AT, records[i].surface_flags);
        store_u32le(record + CONTENT_FLAGS_AT, records[i].content_flags);
    }
    for (std::size_t i = records.size() * RECORD_SIZE; i < lump.size(); ++i)
        lump[i] = static_cast<unsigned char>(0xA0 + i % 32);
    return lump;
}

bytes build_map_claiming(const bytes &lump, std::uint32_t lump_offset, std::uint32_t claimed_length,
                         std::size_t trailing)
{
    bytes map(std::max<std::size_t>(HEADER_SIZE, lump_offset) + lump.size() + trailing);
    for (std::size_t i = 0; i < map.size(); ++i)
        map[i] = static_cast<unsigned char>(i * 7 + 3);
    std::memcpy(map.data(), "IBSP", 4);
    store_u32le(map.data() + LUMP_OFFSET_AT, lump_offset);
    store_u32le(map.data() + LUMP_LENGTH_AT, claimed_length);
    if (lump_offset + lump.size() <= map.size())
        std::copy(lump.begin(), lump.end(), map.begin() + lump_offset);
    return map;
}

bytes build_map(const bytes &lump, std::uint32_t lump_offset, std::size_t trailing)
{
    return build_map_claiming(lump, lump_offset, static_cast<std::uint32_t>(lump.size()), trailing);
}

bytes build_map_with_faces(const std::vector<map_record> &records, const std::vector<map_face> &faces,
                           const std::string &entities)
{
    bytes vertices, mesh, face_lump;
    const auto put = [](bytes *to, std::uint32_t value) {
        to->resize(to->size() + 4);
        store_u32le(to->data() + to->size() - 4, value);
    };
    const auto put_float = [&](bytes *to, float value) {
        std::uint32_t u;
        std::memcpy(&u, &value, sizeof u);
        put(to, u);
    };
    for (const map_face &f : faces) {
        bytes face;
        for (const std::int32_t field : {f.record, -1, f.type, std::int32_t(vertices.size() / 44), std::int32_t(f.vertices.size()),
                                         std::int32_t(mesh.size() / 4), std::int32_t(f.mesh.size())})
            put(&face, static_cast<std::uint32_t>(field));
        face.resize(96);  // lightmap fields and the stored normal, all zero
        put(&face, static_cast<std::uint32_t>(f.patch_width));
        put(&face, static_cast<std::uint32_t>(f.patch_height));
        face_lump.insert(face_lump.end(), face.begin(), face.end());
        for (const auto &v : f.vertices) {
            for (const float c : v)
                put_float(&vertices, c);
            vertices.resize(vertices.size() + 32);
        }
        for (const std::int32_t m : f.mesh)
            put(&mesh, static_cast<std::uint32_t>(m));
    }
    const bytes lumps[] = {bytes(entities.begin(), entities.end()), build_lump(records), vertices, mesh, face_lump};
    const int entries[] = {0, 1, 10, 11, 13};
    bytes map(HEADER_SIZE);
    std::memcpy(map.data(), "IBSP\x2e\0\0\0", 8);
    for (int l = 0; l < 5; ++l) {
        store_u32le(map.data() + 8 + 8 * entries[l], static_cast<std::uint32_t>(map.size()));
        store_u32le(map.data() + 12 + 8 * entries[l], static_cast<std::uint32_t>(lumps[l].size()));
        map.insert(map.end(), lumps[l].begin(), lumps[l].end());
    }
    return map;
}

bool write_bytes(const std::string &path, const bytes &data)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && written;
}

bytes read_bytes(const std::string &path)
{
    bytes data;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return data;
    unsigned char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return data;
}

bool write_archive(const std::string &path, const std::vector<archive_file> &files)
{
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    bool ok = zip != nullptr;
    for (const archive_file &f : files) {
        const zip_fileinfo info = {};
        const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(f.data.data()), static_cast<uInt>(f.data.size()));
        // A wrong CRC is stored as given, so that no reader can notice before it inflates.
        ok = ok && zipOpenNewFileInZip3_64(zip, f.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           f.wrong_crc || f.stored ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION, f.wrong_crc,
                                           -MAX_WBITS, 8,
                                           Z_DEFAULT_STRATEGY, f.encrypted ? "x" : nullptr, crc, 0) == ZIP_OK &&
             zipWriteInFileInZip(zip, f.data.data(), static_cast<unsigned>(f.data.size())) == ZIP_OK &&
             (f.wrong_crc ? zipCloseFileInZipRaw(zip, f.data.size(), crc ^ 1) : zipCloseFileInZip(zip)) == ZIP_OK;
    }
    return zip != nullptr && zipClose(zip, nullptr) == ZIP_OK && ok;
}
