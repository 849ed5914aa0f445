#include "game/game_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "bsp/bsp_lump.h"
#include "failure.h"

namespace {

constexpr std::uint64_t ENCRYPTED_FLAG = 0x1;  // bit 0 of the general purpose flags

bool is_game_file(std::string_view name)
{
    return name.substr(0, 5) == "maps/" && name.find('/', 5) == std::string_view::npos &&
           (ends_with(name, ".bsp") || ends_with(name, ".aas"));
}

// The archives in a folder, in load order; false when it cannot be listed.
bool list_folder(const std::string &folder, std::vector<std::string> *archives)
{
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    std::vector<std::string> names;
    struct stat st;
    while (const dirent *entry = readdir(dir))
        if (ends_with(entry->d_name, ".pk3") && stat((folder + "/" + entry->d_name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode))
            names.push_back(entry->d_name);
    closedir(dir);
    // Names the game cannot tell apart (a.pk3, A.pk3) in byte order, so that every run agrees.
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return loads_before(a, b) || (!loads_before(b, a) && a < b);
    });
    for (const std::string &name : names)
        archives->push_back(folder + "/" + name);
    return true;
}

// Adds the archive's maps and bot files to the winners, over earlier archives' copies.
void index_archive(game_files *files, std::size_t a, std::vector<std::string> *errors)
{
    unzFile zip = files->opened[a];
    std::map<std::string, archive_entry> own;
    int at;
    for (at = unzGoToFirstFile(zip); at == UNZ_OK; at = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        char name[65536];
        if ((at = unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0)) != UNZ_OK)
            break;
        archive_entry entry{a, std::string(name, std::min<std::size_t>(info.size_filename, sizeof name - 1)), {},
                            static_cast<std::uint32_t>(info.crc), info.uncompressed_size, (info.flag & ENCRYPTED_FLAG) != 0};
        if (!is_game_file(entry.name) || unzGetFilePos64(zip, &entry.position) != UNZ_OK)
            continue;
        if (!own.emplace(entry.name, entry).second)
            errors->push_back("Cannot read " + escaped(entry.name) + " in " + escaped(files->archives[a]) +
                              ": the archive holds two files of that name");
    }
    if (at != UNZ_END_OF_LIST_OF_FILE)
        errors->push_back("Cannot read " + escaped(files->archives[a]) + ": its list of files is damaged");
    for (auto &[name, entry] : own)
        files->winners[name] = entry;
}

}  // namespace

bool ends_with(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool loads_before(std::string_view a, std::string_view b)
{
    const auto folded = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return folded(x) < folded(y); });
}

void open_game_files(const std::vector<std::string> &sources, game_files *files, std::vector<std::string> *errors)
{
    for (std::size_t s = 0; s < sources.size(); ++s) {
        struct stat st;
        if (stat(sources[s].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            files->archives.push_back(sources[s]);
        else if (!list_folder(sources[s], &files->archives))
            errors->push_back("Cannot read " + escaped(sources[s]) + ": the folder cannot be listed");
        files->source.resize(files->archives.size(), s);
    }
    for (std::size_t a = 0; a < files->archives.size(); ++a) {
        files->opened.push_back(unzOpen64(files->archives[a].c_str()));
        if (files->opened.back() == nullptr)
            errors->push_back("Cannot read " + escaped(files->archives[a]) + ": not a zip archive, or unreadable");
        else
            index_archive(files, a, errors);
    }
}

std::string read_entry(const game_files &files, const archive_entry &entry, std::uint64_t limit, std::string *data)
{
    unzFile zip = files.opened[entry.archive];
    const std::string where = escaped(entry.name) + " in " + escaped(files.archives[entry.archive]);
    if (entry.encrypted)
        return "Cannot read " + where + ": it is encrypted";
    unz64_file_pos position = entry.position;
    if (unzGoToFilePos64(zip, &position) != UNZ_OK || unzOpenCurrentFile(zip) != UNZ_OK)
        return "Cannot read " + where + ": the archive is damaged";
    const std::uint64_t wanted = std::min(limit, entry.size);
    data->resize(wanted);
    std::uint64_t got = 0;
    int n = 1;
    while (got < wanted && n > 0) {
        n = unzReadCurrentFile(zip, &(*data)[got], static_cast<unsigned>(std::min<std::uint64_t>(wanted - got, 1 << 30)));
        got += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    }
    unzCloseCurrentFile(zip);
    if (n < 0)
        return "Cannot read " + where + ": it cannot be inflated";
    if (got < wanted)
        return "Cannot read " + where + ": it inflates to fewer than the " + std::to_string(entry.size) +
               " bytes the archive says";
    // Read whole, what was inflated must be what was packed.
    if (wanted == entry.size && crc32_z(0, reinterpret_cast<const Bytef *>(data->data()), data->size()) != entry.crc)
        return "Cannot read " + where + ": its CRC is not the one the archive says";
    return "";
}

std::string read_map_entry(const game_files &files, const archive_entry &entry, const char *label, std::string *data,
                           map_reading *reading)
{
    *reading = map_reading{};
    if (std::string why = read_entry(files, entry, HEADER_SIZE, data); !why.empty())
        return why;
    const failure f = check_header(label, reinterpret_cast<const unsigned char *>(data->data()), data->size(), entry.size,
                                   &reading->header);
    if (f.status != NO_FAILURE)
        return describe_failure(f);
    // The header holds the lump inside the entry's size, so it is inflated whole.
    const bsp_header &header = reading->header;
    if (std::string why = read_entry(files, entry, std::uint64_t{header.lump_offset} + header.lump_length, data); !why.empty())
        return why;
    reading->lump = lump_of_size(header.lump_length);
    if (reading->lump.bytes == nullptr)
        return describe_failure(failure{OUT_OF_MEMORY, label, ENOMEM});
    std::memcpy(reading->lump.bytes.get(), data->data() + header.lump_offset, reading->lump.size);
    return "";
}

void close_game_files(game_files *files)
{
    for (unzFile zip : files->opened)
        if (zip != nullptr)
            unzClose(zip);
    files->opened.clear();
}

std::vector<game_map> read_game_maps(const std::vector<std::string> &sources, std::vector<std::string> *errors)
{
    game_files files;
    std::vector<game_map> maps;
    open_game_files(sources, &files, errors);
    for (const auto &[name, entry] : files.winners) {
        if (!ends_with(name, ".bsp"))
            continue;
        game_map map{name + " in " + files.archives[entry.archive], {}};
        std::string bytes;
        const std::string why = read_map_entry(files, entry, map.label.c_str(), &bytes, &map.reading);
        if (why.empty())
            maps.push_back(std::move(map));
        else
            errors->push_back(why);
    }
    close_game_files(&files);
    return maps;
}
