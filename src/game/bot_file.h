// The game's bot navigation file, maps/NAME.aas, records the checksum of the
// map it was made for, and the server refuses it for any other map: after an
// edit it must record the edited map's. Header, all little-endian:
//   0        4         8               12
//   +--------+---------+---------------+----
//   | "EAAS" | version | map checksum  | ...
//   +--------+---------+---------------+----
// Version 5 stores the header from byte 8 on XORed with (k * 119) mod 256,
// k counting from 0 at byte 8; version 4 stores it plain.
#ifndef LUMPSMITH_BOT_FILE_H
#define LUMPSMITH_BOT_FILE_H

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t BOT_FILE_HEADER_SIZE = 12;
constexpr std::size_t BOT_CHECKSUM_AT = 8;

// The bot file beside a map: the same path with .aas for a final .bsp, or added.
std::string bot_file_of(std::string_view map_path);
// The game's checksum of a whole map file: its MD4 digest (libmd's) read as
// four little-endian 32-bit words, XORed together.
std::uint32_t map_checksum(const unsigned char *map, std::size_t size);
// The same of the first size bytes of the stream's file, read a piece at a
// time, so that no map is too large for it; 0, or the read's error (IO_END
// when the file ends first).
int file_checksum(std::FILE *stream, std::uint64_t size, std::uint32_t *checksum);
// The checksum the bot file's header records; false when the header is no
// bot file's ("EAAS", version 4 or 5).
bool recorded_checksum(const unsigned char *header, std::size_t size, std::uint32_t *checksum);
// Records checksum in a bot file's header as its version stores it.
void record_checksum(unsigned char *header, std::uint32_t checksum);

#endif
