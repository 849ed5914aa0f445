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
