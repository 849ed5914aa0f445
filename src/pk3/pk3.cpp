// lumpsmith-pk3 SOURCE... SURFACE_FILE OUTPUT: imports SURFACE_FILE into the
// copy of every map the game would load from the sources, and writes the
// maps that change, with their bot files kept in step, into OUTPUT, a new
// override archive. Each SOURCE is a .pk3 archive, a .pk3dir folder or a
// game folder, read as the game reads it (src/game); later sources override
// earlier ones, as a mod folder given after the base folder does. Nothing is
// written unless the whole mod can be made as meant, and OUTPUT is refused
// where the game would not load it over every copy it overrides.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <climits>
#include <cstdio>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "game/bot_file.h"
#include "game/game_files.h"
#include "game/matching.h"
#include "pk3/override_archive.h"
#include "pk3/splice.h"

namespace {

struct run {
    std::vector<std::string> sources;
    std::string surfaces;  // the surface file's text
    const char *surfaces_path;
    std::string output;
    game_files files;
    std::vector<packed_file> packed;
    std::vector<const archive_entry *> overridden;  // the copies the packed files override
    std::size_t maps = 0, bots = 0, unchanged = 0;
};

// What came of one map: nothing when it stays as it is; else the edited map
// and its bot file, deflated, with the lines that say so.
struct map_result {
    std::string error;  // an Error line's words, or ""
    std::vector<packed_file> packed;
    std::vector<const archive_entry *> overridden;  // the copies they override
    std::string map_line, bot_line;
};

// A file the run edits: its bytes and, for a deflated entry of a zip, the
// deflate stream they came from and its blocks, to splice the edit into.
struct whole_file {
    std::string bytes, stream;
    std::vector<block_boundary> blocks;
};

// Reads the entry whole, keeping its deflate stream where it has one; "" or
// an Error line's words.
std::string read_whole(const run &r, game_reader *reader, const archive_entry &entry, whole_file *file)
{
    if (r.files.kinds[entry.archive] != ZIP_ARCHIVE || entry.method != Z_DEFLATED)
        return read_entry(r.files, reader, entry, entry.size, &file->bytes);
    if (std::string why = read_raw_entry(r.files, reader, entry, &file->stream); !why.empty())
        return why;
    const std::string why = inflate_noting_blocks(file->stream, entry.size, entry.crc, &file->bytes, &file->blocks);
    return why.empty() ? "" : "Cannot read " + entry_label(r.files, entry) + ": " + why;
}

// Packs the file as name, edited before changed_end: spliced into its
// stream where that is sound, else deflated whole. False after an Error
// line's words.
bool pack_file(const run &r, const std::string &name, whole_file *file, std::uint64_t changed_end, map_result *result)
{
    result->packed.emplace_back();
    packed_file &packed = result->packed.back();
    std::string spliced;
    if (!file->stream.empty() && splice_stream(file->stream, file->blocks, file->bytes, changed_end, &spliced)) {
        packed = {name, std::move(spliced),
                  static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef *>(file->bytes.data()), file->bytes.size())),
                  file->bytes.size()};
        return true;
    }
    if (deflate_file(name, file->bytes, &packed))
        return true;
    result->error = "Cannot write " + escaped(r.output) + ": zlib could not deflate " + escaped(name);
    return false;
}

// The bot file of a map just edited, with the edited map's checksum,
// found by the name the game looks it up by.
void take_bot_file(const run &r, game_reader *reader, const archive_entry &map_entry, const std::string &map,
                   map_result *result)
{
    const auto found = r.files.winners.find(bot_file_of(game_key(map_entry.name)));
    if (found == r.files.winners.end())
        return;
    const archive_entry &bot = found->second;
    whole_file file;
    if ((result->error = read_whole(r, reader, bot, &file)) != "")
        return;
    auto *header = reinterpret_cast<unsigned char *>(file.bytes.data());
    std::uint32_t recorded;
    if (!recorded_checksum(header, file.bytes.size(), &recorded)) {
        result->error = "Cannot read " + entry_label(r.files, bot) + ": it is not a bot file (no EAAS header of version 4 or 5)";
        return;
    }
    record_checksum(header, map_checksum(reinterpret_cast<const unsigned char *>(map.data()), map.size()));
    result->bot_line = escaped(bot.name) + ": map checksum updated\n";
    if (pack_file(r, bot.name, &file, BOT_FILE_HEADER_SIZE, result))
        result->overridden.push_back(&bot);
}

// Edits one map as the import would and, when it changes, its bot file, and
// packs both; only the packed bytes are kept.
void take_map(const run &r, game_reader *reader, const archive_entry &entry, map_result *result)
{
    whole_file file;
    // Only as far as the lump: most maps stay as they are.
    map_reading map;
    if ((result->error = read_map_entry(r.files, reader, entry, &file.bytes, &map)) != "")
        return;
    texture_lump edited;
    std::size_t changed = 0;
    // Its Error lines were refused before any map was read.
    const std::string label = entry_label(r.files, entry);
    const failure f = match_surface_text(map, label.c_str(), r.surfaces, r.surfaces_path, &edited, &changed, nullptr);
    if (f.status != NO_FAILURE)
        result->error = describe_failure(f);
    if (changed == 0 || !result->error.empty() || (result->error = read_whole(r, reader, entry, &file)) != "")
        return;
    std::size_t last = edited.size;
    while (last > 0 && edited.bytes[last - 1] == map.lump.bytes[last - 1])
        --last;
    std::copy(edited.bytes.get(), edited.bytes.get() + edited.size, file.bytes.begin() + map.header.lump_offset);
    result->map_line = escaped(entry.name) + ": " + std::to_string(changed) + " records changed (" +
                       escaped(r.files.archives[entry.archive]) + ")\n";
    if (!pack_file(r, entry.name, &file, std::uint64_t{map.header.lump_offset} + last, result))
        return;
    result->overridden.push_back(&entry);
    take_bot_file(r, reader, entry, file.bytes, result);
}

// Takes every map on every core; a map that runs out of memory gets an
// Error line of its own.
void take_maps(const run &r, std::vector<map_result> *results)
{
    std::vector<const archive_entry *> maps;
    std::vector<std::size_t> archives;
    for (const auto &[key, entry] : r.files.winners)
        if (ends_with(key, ".bsp")) {
            maps.push_back(&entry);
            archives.push_back(entry.archive);
        }
    results->resize(maps.size());
    take_on_every_core(archives, [&](game_reader *reader, std::size_t m) { take_map(r, reader, *maps[m], &(*results)[m]); },
                       [&](std::size_t m) {
                           (*results)[m] = {"Cannot read " + entry_label(r.files, *maps[m]) + ": " + std::strerror(ENOMEM), {}, {}, "", ""};
                       });
}

bool same_file(const std::string &a, const std::string &b)
{
    struct stat x, y;
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// The game folder whose search the archive takes part in.
std::string folder_of_archive(const game_files &files, std::size_t a)
{
    return files.kinds[a] == LOOSE_FILES ? files.archives[a] : folder_of(files.archives[a]);
}

std::string name_in_folder(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Where the game would not read OUTPUT, or not over every copy it
// overrides, the words of the refusal; "" where it would. In a folder the
// game reads, only a .pk3 is loaded; beside an archive the names decide,
// and a folder's own files beat every archive in it; in a folder no source
// shares, any name does.
std::string load_order_fault(const run &r)
{
    const std::string refusing = "Refusing to write " + escaped(r.output) + ": ";
    const std::string output_folder = folder_of(r.output);
    std::size_t last_source_beside = SIZE_MAX;  // of the sources whose folder OUTPUT shares
    for (std::size_t a = 0; a < r.files.archives.size(); ++a)
        if (same_file(folder_of_archive(r.files, a), output_folder))
            last_source_beside = r.files.source[a];
    if (last_source_beside != SIZE_MAX && !ends_with_folded(r.output, ".pk3"))
        return refusing + "the game loads only .pk3 archives from " + escaped(output_folder) +
               ", so it would never read it; give it a name that ends in .pk3";
    for (const archive_entry *entry : r.overridden) {
        const std::string &archive = r.files.archives[entry->archive];
        const bool beside = same_file(folder_of_archive(r.files, entry->archive), output_folder);
        const bool loose = r.files.kinds[entry->archive] == LOOSE_FILES;
        if (beside ? loose || !loads_before(name_in_folder(archive), name_in_folder(r.output))
                   : last_source_beside != SIZE_MAX && r.files.source[entry->archive] > last_source_beside)
            return refusing + "the game would load it before " + escaped(archive) + ", whose " + escaped(entry->name) +
                   " it must override" +
                   (!beside ? ""
                    : loose ? "; a game folder's own files beat every archive in it, so write it into a folder the game "
                              "loads later"
                            : "; give it a name that sorts after (a..z count as A..Z, so _ comes after every letter)");
    }
    return "";
}

// Beside an archive given as a source, the game reads the folder's other
// archives too: the words of the refusal where the copy it would load of
// a file the override holds is not the copy that was edited; "".
std::string folder_fault(const run &r, std::vector<std::string> *errors)
{
    const std::string output_folder = folder_of(r.output);
    bool beside_archive = false;
    for (std::size_t a = 0; a < r.files.archives.size(); ++a) {
        const bool beside = same_file(folder_of_archive(r.files, a), output_folder);
        if (beside && r.files.kinds[a] == LOOSE_FILES)
            return "";  // the folder is a source: every archive in it counts already
        beside_archive = beside_archive || beside;
    }
    if (!beside_archive)
        return "";
    game_files folder;
    open_game_files({output_folder}, &folder, errors);
    for (const archive_entry *entry : r.overridden) {
        const auto found = folder.winners.find(game_key(entry->name));
        if (found == folder.winners.end())
            continue;
        const std::string &loaded = folder.archives[found->second.archive];
        const std::string &edited = r.files.archives[entry->archive];
        if (!same_file(loaded, edited) || folder.kinds[found->second.archive] == LOOSE_FILES)
            return "Refusing to write " + escaped(r.output) + ": the game loads " + escaped(found->second.name) + " from " +
                   escaped(loaded) + ", not from " + escaped(edited) + ", whose copy the archive would hold; give the folder " +
                   escaped(output_folder) + " as the source";
    }
    return "";
}

// Edits the maps and their bot files, with an Error line's words for each
// thing that stops the mod being made as meant.
void collect(run *r, std::vector<std::string> *errors)
{
    open_game_files(r->sources, &r->files, errors);
    if (!errors->empty())
        return;
    std::vector<map_result> results;
    take_maps(*r, &results);
    std::string bot_lines;
    for (map_result &result : results) {
        if (!result.error.empty())
            errors->push_back(result.error);
        r->unchanged += result.packed.empty();
        r->maps += !result.packed.empty();
        r->bots += result.packed.size() > 1;
        std::fputs(result.map_line.c_str(), stdout);
        bot_lines += result.bot_line;
        std::move(result.packed.begin(), result.packed.end(), std::back_inserter(r->packed));
        r->overridden.insert(r->overridden.end(), result.overridden.begin(), result.overridden.end());
    }
    std::fputs(bot_lines.c_str(), stdout);
    std::string why = errors->empty() ? load_order_fault(*r) : "";
    if (why.empty() && errors->empty())
        why = folder_fault(*r, errors);
    if (!why.empty())
        errors->push_back(why);
}

failure pack(invocation &inv)
{
    run r;
    r.sources.assign(inv.argv + 1, inv.argv + inv.argc - 2);
    r.surfaces_path = inv.surfaces.path;
    r.output = inv.argv[inv.argc - 1];
    if (const failure f = read_surface_text(inv.surfaces, &r.surfaces); f.status != NO_FAILURE)
        return f;
    std::vector<std::string> errors;
    struct stat st;
    if (lstat(r.output.c_str(), &st) == 0)
        errors.push_back("Refusing to write " + escaped(r.output) + ": it exists");
    const std::string said = errors.empty() ? surface_text_errors(r.surfaces, r.surfaces_path) : "";
    std::fputs(said.c_str(), stderr);
    if (!said.empty())
        errors.push_back("Refusing to write " + escaped(r.output) +
                         ": the surface file has errors (above), so the mod would not be what it says");
    if (errors.empty()) {
        // The long step: every map read, and those that change edited and deflated.
        std::printf("reading the game's maps, and packing those that change\n");
        std::fflush(stdout);
        collect(&r, &errors);
    }
    std::uint64_t size = 0;
    if (errors.empty() && r.maps > 0) {
        std::printf("writing %zu maps and %zu bot files into %s\n", r.maps, r.bots, escaped(r.output).c_str());
        std::fflush(stdout);
        if (const std::string why = write_override(r.output, &r.packed, &size); !why.empty())
            errors.push_back(why);
    }
    for (const std::string &error : errors)
        inv.status = report(error);
    if (inv.status != 0)
        return ok();
    if (r.maps == 0) {
        std::printf("lumpsmith-pk3: no map changed; %s not made\n", escaped(r.output).c_str());
        return ok();
    }
    std::printf("%s: %zu maps and %zu bot files, %llu bytes; %zu maps unchanged\n", escaped(r.output).c_str(), r.maps,
                r.bots, static_cast<unsigned long long>(size), r.unchanged);
    return ok();
}

const command_row PK3 = {{{-2, SURFACE_FILE}}, pack, 1};

}  // namespace

int main(int argc, char **argv)
{
    // A file-size limit then makes the write fail, and the run say so,
    // rather than killing it without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    return run_companion(PK3, argc, argv, 4, INT_MAX, "SOURCE... SURFACE_FILE OUTPUT");
}
