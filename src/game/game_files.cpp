#include "game/game_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <thread>

#include "bsp/bsp_lump.h"
#include "failure.h"

namespace {

constexpr std::uint64_t ENCRYPTED_FLAG = 0x1;  // bit 0 of the general purpose flags
constexpr std::size_t FIRST_READ = 1 << 16;     // what a read grows from, whatever size is claimed

char folded(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool is_game_file(std::string_view key)
{
    return key.substr(0, 5) == "maps/" && key.find('/', 5) == std::string_view::npos &&
           (ends_with(key, ".bsp") || ends_with(key, ".aas"));
}

// Opens the zip at path, checked as a regular file first so that a FIFO
// cannot hang the run; nullptr with *why.
unzFile open_zip(const std::string &path, std::string *why)
{
    struct stat st;
    std::FILE *file = open_regular_file(path, &st, why);
    if (file == nullptr)
        return nullptr;
    // minizip opens by path; this one is the file just checked.
    errno = 0;
    unzFile zip = unzOpen64(("/proc/self/fd/" + std::to_string(fileno(file))).c_str());
    const int error = errno;
    std::fclose(file);
    if (zip == nullptr)
        *why = error == EMFILE || error == ENFILE ? std::strerror(error) : "not a zip archive, or unreadable";
    return zip;
}

struct listed {
    std::string name;
    archive_kind kind;
};

// The archives of a game folder in load order, then the folder itself for
// its own files; false when it cannot be listed. Names the game cannot
// tell apart (k.pk3, K.pk3) keep the order the folder lists them in, as
// the game's own sort keeps it.
bool list_folder(const std::string &folder, game_files *files, std::size_t source)
{
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    std::vector<listed> names;
    struct stat st;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (stat((folder + "/" + name).c_str(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode) && ends_with_folded(name, ".pk3"))
            names.push_back({name, ZIP_ARCHIVE});
        else if (S_ISDIR(st.st_mode) && ends_with_folded(name, ".pk3dir"))
            names.push_back({name, ARCHIVE_FOLDER});
    }
    closedir(dir);
    std::stable_sort(names.begin(), names.end(), [](const listed &a, const listed &b) { return loads_before(a.name, b.name); });
    for (const listed &name : names) {
        files->archives.push_back(folder + "/" + name.name);
        files->kinds.push_back(name.kind);
    }
    files->archives.push_back(folder);
    files->kinds.push_back(LOOSE_FILES);
    files->source.resize(files->archives.size(), source);
    return true;
}

// The maps and bot files of a zip archive; false when its list of files is damaged.
bool list_zip(unzFile zip, std::size_t a, std::vector<archive_entry> *entries)
{
    int at;
    for (at = unzGoToFirstFile(zip); at == UNZ_OK; at = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        char name[65536];
        if ((at = unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0)) != UNZ_OK)
            break;
        // The game reads the name as a C string, so a NUL ends it.
        archive_entry entry{a, std::string(name, strnlen(name, std::min<std::size_t>(info.size_filename, sizeof name - 1))),
                            {}, static_cast<std::uint32_t>(info.crc), info.uncompressed_size, (info.flag & ENCRYPTED_FLAG) != 0,
                            static_cast<int>(info.compression_method), info.compressed_size};
        std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
        if (is_game_file(game_key(entry.name)) && unzGetFilePos64(zip, &entry.position) == UNZ_OK)
            entries->push_back(entry);
    }
    return at == UNZ_END_OF_LIST_OF_FILE;
}

// The maps and bot files under a folder's maps/, which the game opens by path.
void list_tree(const std::string &folder, std::size_t a, std::vector<archive_entry> *entries)
{
    DIR *dir = opendir((folder + "/maps").c_str());
    if (dir == nullptr)
        return;
    struct stat st;
    while (const dirent *found = readdir(dir)) {
        const std::string name = std::string("maps/") + found->d_name;
        if (is_game_file(game_key(name)) && stat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            entries->push_back({a, name, {}, 0, static_cast<std::uint64_t>(st.st_size), false, 0, 0});
    }
    closedir(dir);
}

// Adds the archive's maps and bot files to the winners, over earlier archives' copies.
void index_archive(game_files *files, std::size_t a, std::vector<std::string> *errors)
{
    const std::string &path = files->archives[a];
    std::vector<archive_entry> entries;
    if (files->kinds[a] != ZIP_ARCHIVE) {
        list_tree(path, a, &entries);
    } else {
        std::string why;
        unzFile zip = open_zip(path, &why);
        if (zip == nullptr) {
            errors->push_back("Cannot read " + escaped(path) + ": " + why);
            return;
        }
        if (!list_zip(zip, a, &entries))
            errors->push_back("Cannot read " + escaped(path) + ": its list of files is damaged");
        unzClose(zip);
    }
    std::map<std::string, archive_entry> own;
    for (const archive_entry &entry : entries)
        if (!own.emplace(game_key(entry.name), entry).second)
            errors->push_back("Cannot read " + entry_label(*files, entry) + ": the " +
                              (files->kinds[a] == ZIP_ARCHIVE ? "archive" : "folder") +
                              " holds two files of that name, as the game compares names (case folded, \\ as /)");
    for (auto &[key, entry] : own)
        files->winners[key] = entry;
}

// Reads into *data, from read(buffer, size) that returns the bytes it
// read, 0 at the end or -1, at most wanted bytes; the buffer grows as the
// bytes come, so a size an archive claims is never allocated before it is
// there. False when a read failed.
template <typename Read>
bool read_growing(Read read, std::uint64_t wanted, std::string *data)
{
    data->clear();
    data->resize(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, FIRST_READ)));
    std::size_t got = 0;
    for (;;) {
        if (got == data->size() && got < wanted)
            data->resize(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, 2 * std::uint64_t{got})));
        const long n = got < data->size() ? read(&(*data)[got], std::min<std::size_t>(data->size() - got, 1 << 30)) : 0;
        if (n <= 0) {
            data->resize(got);
            return n == 0;
        }
        got += static_cast<std::size_t>(n);
    }
}

std::string read_tree_entry(const game_files &files, const archive_entry &entry, std::uint64_t limit, std::string *data)
{
    const std::string label = entry_label(files, entry);
    std::string why;
    struct stat st;
    std::FILE *file = open_regular_file(files.archives[entry.archive] + "/" + entry.name, &st, &why);
    if (file == nullptr)
        return "Cannot read " + label + ": " + why;
    const std::uint64_t wanted = std::min(limit, entry.size);
    const bool read = read_file_bytes(file, wanted, data);
    const int error = errno;
    std::fclose(file);
    if (!read)
        return "Cannot read " + label + ": " + std::strerror(error);
    if (data->size() < wanted || static_cast<std::uint64_t>(st.st_size) != entry.size)
        return "Cannot read " + label + ": it changed while it was read";
    return "";
}

// Opens the entry's archive in the reader, unless it is the one open, and
// the entry in it, raw or to inflate; "" or why not.
std::string open_entry(const game_files &files, game_reader *reader, const archive_entry &entry, bool raw)
{
    if (entry.encrypted)
        return "it is encrypted";
    if (reader->archive != entry.archive) {
        close_reader(reader);
        std::string why;
        if ((reader->zip = open_zip(files.archives[entry.archive], &why)) == nullptr)
            return why;
        reader->archive = entry.archive;
    }
    unz64_file_pos position = entry.position;
    int method, level;
    if (unzGoToFilePos64(reader->zip, &position) != UNZ_OK ||
        unzOpenCurrentFile2(reader->zip, &method, &level, raw ? 1 : 0) != UNZ_OK)
        return "the archive is damaged";
    return "";
}

}  // namespace

bool read_file_bytes(std::FILE *file, std::uint64_t wanted, std::string *data)
{
    return read_growing([&](char *at, std::size_t size) {
        return retry_interrupted([&] { return ::read(fileno(file), at, size); });
    }, wanted, data);
}

std::FILE *open_regular_file(const std::string &path, struct stat *st, std::string *why, bool for_update)
{
    const int fd = open(path.c_str(), (for_update ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    std::FILE *file = nullptr;
    if (fd < 0)
        *why = std::strerror(errno);
    else if (fstat(fd, st) != 0)
        *why = std::strerror(errno);
    else if (!S_ISREG(st->st_mode))
        *why = S_ISDIR(st->st_mode) ? "is a directory" : "not a regular file";
    else if ((file = fdopen(fd, for_update ? "r+b" : "rb")) == nullptr)
        *why = std::strerror(errno);
    if (file == nullptr && fd >= 0)
        close(fd);
    return file;
}

bool ends_with(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool ends_with_folded(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && std::equal(end.begin(), end.end(), text.end() - end.size(),
                                                   [](char x, char y) { return folded(x) == folded(y); });
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string game_key(std::string_view name)
{
    std::string key(name.substr(0, name.find('\0')));
    for (char &c : key)
        c = c == '\\' ? '/' : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return key;
}

bool loads_before(std::string_view a, std::string_view b)
{
    const auto order = [](char c) { return static_cast<unsigned char>(c == '\\' || c == ':' ? '/' : folded(c)); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return order(x) < order(y); });
}

void open_game_files(const std::vector<std::string> &sources, game_files *files, std::vector<std::string> *errors)
{
    for (std::size_t s = 0; s < sources.size(); ++s) {
        struct stat st;
        const bool folder = stat(sources[s].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (!folder || ends_with_folded(sources[s], ".pk3dir")) {
            files->archives.push_back(sources[s]);
            files->kinds.push_back(folder ? ARCHIVE_FOLDER : ZIP_ARCHIVE);
            files->source.push_back(s);
        } else if (!list_folder(sources[s], files, s)) {
            errors->push_back("Cannot read " + escaped(sources[s]) + ": the folder cannot be listed");
        }
    }
    for (std::size_t a = 0; a < files->archives.size(); ++a)
        index_archive(files, a, errors);
}

std::string entry_label(const game_files &files, const archive_entry &entry)
{
    return escaped(entry.name) + " in " + escaped(files.archives[entry.archive]);
}

std::string read_entry(const game_files &files, game_reader *reader, const archive_entry &entry, std::uint64_t limit,
                       std::string *data)
{
    if (files.kinds[entry.archive] != ZIP_ARCHIVE)
        return read_tree_entry(files, entry, limit, data);
    const std::string where = entry_label(files, entry);
    if (std::string why = open_entry(files, reader, entry, false); !why.empty())
        return "Cannot read " + where + ": " + why;
    const std::uint64_t wanted = std::min(limit, entry.size);
    const bool inflated = read_growing([&](char *at, std::size_t size) {
        return static_cast<long>(unzReadCurrentFile(reader->zip, at, static_cast<unsigned>(size)));
    }, wanted, data);
    unzCloseCurrentFile(reader->zip);
    if (!inflated)
        return "Cannot read " + where + ": it cannot be inflated";
    if (data->size() < wanted)
        return "Cannot read " + where + ": it inflates to fewer than the " + std::to_string(entry.size) +
               " bytes the archive says";
    // Read whole, what was inflated must be what was packed.
    if (wanted == entry.size && crc32_z(0, reinterpret_cast<const Bytef *>(data->data()), data->size()) != entry.crc)
        return "Cannot read " + where + ": its CRC is not the one the archive says";
    return "";
}

std::string read_raw_entry(const game_files &files, game_reader *reader, const archive_entry &entry, std::string *data)
{
    const std::string where = entry_label(files, entry);
    if (std::string why = open_entry(files, reader, entry, true); !why.empty())
        return "Cannot read " + where + ": " + why;
    const bool read = read_growing([&](char *at, std::size_t size) {
        return static_cast<long>(unzReadCurrentFile(reader->zip, at, static_cast<unsigned>(size)));
    }, entry.compressed_size, data);
    unzCloseCurrentFile(reader->zip);
    return !read || data->size() < entry.compressed_size ? "Cannot read " + where + ": the archive is damaged" : "";
}

std::string read_map_entry(const game_files &files, game_reader *reader, const archive_entry &entry, std::string *data,
                           map_reading *reading)
{
    *reading = map_reading{};
    if (std::string why = read_entry(files, reader, entry, HEADER_SIZE, data); !why.empty())
        return why;
    const std::string label = entry_label(files, entry);
    const failure f = check_header(label.c_str(), reinterpret_cast<const unsigned char *>(data->data()), data->size(),
                                   entry.size, &reading->header);
    if (f.status != NO_FAILURE)
        return describe_failure(f);
    // The header holds the lump inside the size the archive claims, which
    // the read checks.
    const bsp_header &header = reading->header;
    if (std::string why = read_entry(files, reader, entry, std::uint64_t{header.lump_offset} + header.lump_length, data);
        !why.empty())
        return why;
    return read_map_bytes(*data, entry.size, label.c_str(), reading);
}

std::string read_map_bytes(const std::string &data, std::uint64_t size, const char *label, map_reading *reading)
{
    *reading = map_reading{};
    const failure f = check_header(label, reinterpret_cast<const unsigned char *>(data.data()), data.size(), size, &reading->header);
    if (f.status != NO_FAILURE)
        return describe_failure(f);
    const bsp_header &header = reading->header;
    if (std::uint64_t{header.lump_offset} + header.lump_length > data.size())
        return describe_failure(failure{MAP_OUTSIDE_FILE, label, 0});
    reading->lump = lump_of_size(header.lump_length);
    if (reading->lump.bytes == nullptr)
        return describe_failure(failure{OUT_OF_MEMORY, label, ENOMEM});
    std::memcpy(reading->lump.bytes.get(), data.data() + header.lump_offset, reading->lump.size);
    return "";
}

void close_reader(game_reader *reader)
{
    if (reader->zip != nullptr)
        unzClose(reader->zip);
    *reader = game_reader{};
}

std::vector<game_map> read_game_maps(const std::vector<std::string> &sources, std::vector<std::string> *errors)
{
    game_files files;
    game_reader reader;
    std::vector<game_map> maps;
    open_game_files(sources, &files, errors);
    for (const auto &[key, entry] : files.winners) {
        if (!ends_with(key, ".bsp"))
            continue;
        game_map map{entry_label(files, entry), {}};
        std::string bytes, why;
        try {
            why = read_map_entry(files, &reader, entry, &bytes, &map.reading);
        } catch (const std::bad_alloc &) {
            why = "Cannot read " + map.label + ": " + std::strerror(ENOMEM);
        }
        if (why.empty())
            maps.push_back(std::move(map));
        else
            errors->push_back(why);
    }
    close_reader(&reader);
    return maps;
}

void take_on_every_core(const std::vector<std::size_t> &archives, const std::function<void(game_reader *, std::size_t)> &take,
                        const std::function<void(std::size_t)> &out_of_memory)
{
    std::vector<std::size_t> order(archives.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return archives[a] < archives[b]; });
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        game_reader reader;
        for (std::size_t at; (at = next++) < order.size();) {
            try {
                take(&reader, order[at]);
            } catch (const std::bad_alloc &) {
                out_of_memory(order[at]);
            }
        }
        close_reader(&reader);
    };
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(std::thread::hardware_concurrency(), order.size()));
    std::vector<std::thread> others;
    for (std::size_t t = 1; t < threads; ++t)
        others.emplace_back(work);
    work();
    for (std::thread &thread : others)
        thread.join();
}
