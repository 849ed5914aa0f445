// The game's files as the game finds them. A game folder holds archives:
// its *.pk3 files and its *.pk3dir folders (names in any case), which the
// game loads in the order of loads_before, and its own files under maps/,
// which beat every archive of the folder. Sources later on the command line
// load over earlier ones. Names are compared as the game compares them
// (game_key), so each map name has one winning copy: the one in the archive
// loaded last. Zip archives are read with minizip (zlib's): we never parse
// zip ourselves.
#ifndef LUMPSMITH_GAME_FILES_H
#define LUMPSMITH_GAME_FILES_H

#include <minizip/unzip.h>

#include "bsp/map_file.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

enum archive_kind {
    ZIP_ARCHIVE,     // a .pk3
    ARCHIVE_FOLDER,  // a .pk3dir: a folder the game reads as an archive
    LOOSE_FILES,     // a game folder's own files, which beat all its archives
};

// One file inside an archive. In a zip, the central directory describes it,
// and its size is a claim checked as it inflates.
struct archive_entry {
    std::size_t archive;  // index into game_files::archives
    std::string name;     // as the game reads it: '\' as '/', cut at a NUL, case kept
    unz64_file_pos position;  // in a zip
    std::uint32_t crc;        // in a zip
    std::uint64_t size;
    bool encrypted;
    int method;                    // in a zip: 8 deflated, 0 stored
    std::uint64_t compressed_size; // in a zip, as it claims
};

struct game_files {
    std::vector<std::string> archives;  // paths, in load order: later ones win; a game folder for its loose files
    std::vector<archive_kind> kinds;    // the same order
    std::vector<std::size_t> source;    // per archive: the index of the source it came from
    std::map<std::string, archive_entry> winners;  // maps/*.bsp and maps/*.aas, by game_key
};

// Reads entries one archive at a time, keeping only the last zip open, so
// that a reader holds one descriptor however many archives there are.
struct game_reader {
    std::size_t archive = SIZE_MAX;
    unzFile zip = nullptr;
};

// True when text ends with end; ends_with_folded folds a..z to A..Z first.
bool ends_with(std::string_view text, std::string_view end);
bool ends_with_folded(std::string_view text, std::string_view end);
// The folder path names a file in: "." for a bare name.
std::string folder_of(const std::string &path);
// Opens path for reading ("rb"), or for reading and writing ("r+b"),
// refusing at once what is not a regular file, which could block or never
// end; nullptr with *why, and st->st_mode left as it was when the open
// itself failed.
std::FILE *open_regular_file(const std::string &path, struct stat *st, std::string *why, bool for_update = false);
// Reads from file's descriptor into *data until its end, or wanted bytes,
// the buffer growing as the bytes come, so that no size claimed is
// allocated before the bytes are there; false, with errno, when a read failed.
bool read_file_bytes(std::FILE *file, std::uint64_t wanted, std::string *data);
// A name as the game compares names: cut at a NUL, '\' as '/', A..Z as a..z.
std::string game_key(std::string_view name);
// True when the game loads an archive named a before one named b: it
// compares names with a..z folded to A..Z (so '_' comes after every
// letter) and '\' and ':' as '/'.
bool loads_before(std::string_view a, std::string_view b);
// Reads the sources as the game reads them: each a .pk3 archive, a .pk3dir
// folder, or a game folder (its *.pk3 files, *.pk3dir folders and maps/, no
// other subfolder). Appends one Error line's words to *errors for each
// archive that cannot be read and each map or bot file named twice in one
// archive. Opens one archive at a time.
void open_game_files(const std::vector<std::string> &sources, game_files *files, std::vector<std::string> *errors);
// The label of an entry in messages: "NAME in ARCHIVE", escaped.
std::string entry_label(const game_files &files, const archive_entry &entry);
// Reads entry into *data, the first limit bytes of it at most, growing the
// buffer as the data comes; "" or why not. A zip entry read whole must have
// the size and CRC its archive claims; a file of a folder, the size it had
// when the folder was read.
std::string read_entry(const game_files &files, game_reader *reader, const archive_entry &entry, std::uint64_t limit,
                       std::string *data);
// Reads the compressed bytes of a zip entry into *data as they stand, growing
// the buffer as they come; "" or why not.
std::string read_raw_entry(const game_files &files, game_reader *reader, const archive_entry &entry, std::string *data);
// Reads the map entry as far as the end of its texture lump, and reads that
// as read_map reads a file; "" or why not.
std::string read_map_entry(const game_files &files, game_reader *reader, const archive_entry &entry, std::string *data,
                           map_reading *reading);
// Reads the header and texture lump of a map of size bytes whose first
// bytes data holds, as far as its lump at least, with read_map's checks;
// "" or an Error line's words.
std::string read_map_bytes(const std::string &data, std::uint64_t size, const char *label, map_reading *reading);
// Closes the reader's zip, if one is open.
void close_reader(game_reader *reader);
// Runs take(reader, i) for each i below archives.size() on every core, each
// thread with a reader of its own. Items are handed out in the order of
// archives[i], the archive each is read from, so that a reader mostly keeps
// the one it has open and a run holds one descriptor a thread. Where take
// runs out of memory, out_of_memory(i) runs instead.
void take_on_every_core(const std::vector<std::size_t> &archives, const std::function<void(game_reader *, std::size_t)> &take,
                        const std::function<void(std::size_t)> &out_of_memory);

// A map the game would load, read as far as its lump.
struct game_map {
    std::string label;  // "maps/NAME.bsp in ARCHIVE"
    map_reading reading;
};
// Opens the sources and reads the game's copy of each map in them, in name
// order; appends an Error line's words to *errors for each that cannot be.
std::vector<game_map> read_game_maps(const std::vector<std::string> &sources, std::vector<std::string> *errors);

#endif
