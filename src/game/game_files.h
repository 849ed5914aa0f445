// The game's files as the game finds them: the .pk3 archives of the sources
// in the order it loads them, and for each name under maps/ the copy it
// would use, the one in the archive loaded last. Archives are read with
// minizip (zlib's): we never parse zip ourselves.
#ifndef LUMPSMITH_GAME_FILES_H
#define LUMPSMITH_GAME_FILES_H

#include <minizip/unzip.h>

#include "bsp/map_file.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One file inside an archive, as the archive's central directory describes it.
struct archive_entry {
    std::size_t archive;  // index into game_files::archives
    std::string name;
    unz64_file_pos position;
    std::uint32_t crc;
    std::uint64_t size;  // inflated
    bool encrypted;
};

struct game_files {
    std::vector<std::string> archives;  // paths, in load order: later ones win
    std::vector<std::size_t> source;    // per archive: the index of the source it came from
    std::vector<unzFile> opened;        // the same order
    std::map<std::string, archive_entry> winners;  // maps/*.bsp and maps/*.aas, by name
};

// True when text ends with end.
bool ends_with(std::string_view text, std::string_view end);
// The folder path names a file in: "." for a bare name.
std::string folder_of(const std::string &path);
// True when the game loads an archive named a before one named b: it sorts
// a folder's archives by name with a..z folded to A..Z, so '_' comes after
// every letter.
bool loads_before(std::string_view a, std::string_view b);
// Opens the archives of the sources: each an archive, or a folder whose
// *.pk3 files count (not its subfolders), sources later on the list loading
// later. Appends one Error line's words to *errors for each archive that
// cannot be read and each map or bot file named twice in one archive.
void open_game_files(const std::vector<std::string> &sources, game_files *files, std::vector<std::string> *errors);
// Inflates entry into *data, the first limit bytes of it at most; "" or
// why not. Read whole, its size and CRC must be the directory's.
std::string read_entry(const game_files &files, const archive_entry &entry, std::uint64_t limit, std::string *data);
// Inflates the map entry named label into *data as far as the end of its
// texture lump, and reads that as read_map reads a file; "" or why not.
std::string read_map_entry(const game_files &files, const archive_entry &entry, const char *label, std::string *data,
                           map_reading *reading);
void close_game_files(game_files *files);

// A map the game would load, read as far as its lump.
struct game_map {
    std::string label;  // "maps/NAME.bsp in ARCHIVE"
    map_reading reading;
};
// Opens the sources and reads the game's copy of each map in them, in name
// order; appends an Error line's words to *errors for each that cannot be.
std::vector<game_map> read_game_maps(const std::vector<std::string> &sources, std::vector<std::string> *errors);

#endif
