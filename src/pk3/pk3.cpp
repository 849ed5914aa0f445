// lumpsmith-pk3 SOURCE... SURFACE_FILE OUTPUT: imports SURFACE_FILE into the
// copy of every map the game would load from the sources, and writes the
// maps that change, with their bot files kept in step, into OUTPUT, a new
// override archive. Each SOURCE is a .pk3 archive or a game folder; later
// sources override earlier ones, as a mod folder given after the base folder
// does. Nothing is written unless the whole mod can be made as meant.
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <climits>
#include <cstdio>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "game/bot_file.h"
#include "game/game_files.h"
#include "game/matching.h"
#include "pk3/override_archive.h"

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

// The Error lines an import of the surface file would print, whatever the map.
std::string surface_file_errors(const run &r)
{
    map_reading nothing{};
    nothing.lump = lump_of_size(0);
    texture_lump edited;
    std::size_t changed;
    std::string said;
    match_surface_text(nothing, r.surfaces_path, r.surfaces, r.surfaces_path, &edited, &changed, &said);
    return said;
}

// What came of one map: nothing when it stays as it is; else the edited map
// and its bot file, deflated, with the lines that say so.
struct map_result {
    std::string error;  // an Error line's words, or ""
    std::vector<packed_file> packed;
    std::vector<const archive_entry *> overridden;  // the copies they override
    std::string map_line, bot_line;
};

// The bot file of a map just edited, with the edited map's checksum.
void take_bot_file(const run &r, const game_files &files, map_result *result)
{
    const packed_file &map = result->packed.front();
    const std::string name = bot_file_of(map.name);
    const auto found = r.files.winners.find(name);
    if (found == r.files.winners.end())
        return;
    std::string bytes;
    if ((result->error = read_entry(files, found->second, found->second.size, &bytes)) != "")
        return;
    auto *header = reinterpret_cast<unsigned char *>(bytes.data());
    std::uint32_t recorded;
    if (!recorded_checksum(header, bytes.size(), &recorded)) {
        result->error = "Cannot read " + escaped(name) + " in " + escaped(files.archives[found->second.archive]) +
                        ": it is not a bot file (no EAAS header of version 4 or 5)";
        return;
    }
    record_checksum(header, map_checksum(reinterpret_cast<const unsigned char *>(map.data.data()), map.data.size()));
    result->bot_line = escaped(name) + ": map checksum updated\n";
    result->packed.push_back({name, std::move(bytes), "", 0});
    result->overridden.push_back(&found->second);
}

// Edits one map as the import would and, when it changes, its bot file, and
// deflates both.
void take_map(const run &r, const game_files &files, const archive_entry &entry, map_result *result)
{
    const std::string where = entry.name + " in " + files.archives[entry.archive];
    std::string bytes;
    // Only as far as the lump: most maps stay as they are.
    map_reading map;
    if ((result->error = read_map_entry(files, entry, where.c_str(), &bytes, &map)) != "")
        return;
    texture_lump edited;
    std::size_t changed = 0;
    // Its Error lines were refused before any map was read.
    const failure f = match_surface_text(map, where.c_str(), r.surfaces, r.surfaces_path, &edited, &changed, nullptr);
    if (f.status != NO_FAILURE)
        result->error = describe_failure(f);
    if (changed == 0 || !result->error.empty() || (result->error = read_entry(files, entry, entry.size, &bytes)) != "")
        return;
    std::copy(edited.bytes.get(), edited.bytes.get() + edited.size, bytes.begin() + map.header.lump_offset);
    result->map_line = escaped(entry.name) + ": " + std::to_string(changed) + " records changed (" +
                       escaped(files.archives[entry.archive]) + ")\n";
    result->packed.push_back({entry.name, std::move(bytes), "", 0});
    result->overridden.push_back(&entry);
    take_bot_file(r, files, result);
    for (packed_file &file : result->packed)
        if (result->error.empty() && !deflate_file(&file))
            result->error = "Cannot write " + escaped(r.output) + ": zlib could not deflate " + escaped(file.name);
}

// Takes every map on every core, each thread reading through its own open
// archives; what a thread throws, it keeps as its map's Error line.
void take_maps(run *r, std::vector<map_result> *results)
{
    std::vector<const archive_entry *> maps;
    for (const auto &[name, entry] : r->files.winners)
        if (ends_with(name, ".bsp"))
            maps.push_back(&entry);
    results->resize(maps.size());
    const auto work = [&](std::size_t first, std::size_t step) {
        game_files own;
        std::vector<std::string> ignored;  // said already, when the sources were first opened
        if (first != 0)
            open_game_files(r->sources, &own, &ignored);
        for (std::size_t m = first; m < maps.size(); m += step) {
            try {
                take_map(*r, first == 0 ? r->files : own, *maps[m], &(*results)[m]);
            } catch (const std::bad_alloc &) {
                (*results)[m] = {"Cannot read " + escaped(maps[m]->name) + ": Cannot allocate memory", {}, {}, "", ""};
            }
        }
        close_game_files(&own);
    };
    const std::size_t step = std::max<std::size_t>(1, std::min<std::size_t>(std::thread::hardware_concurrency(), maps.size()));
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < step; ++t)
        threads.emplace_back(work, t, step);
    work(0, step);
    for (std::thread &thread : threads)
        thread.join();
}

bool same_folder(const std::string &a, const std::string &b)
{
    struct stat x, y;
    return stat(folder_of(a).c_str(), &x) == 0 && stat(folder_of(b).c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

// Where the game would load OUTPUT before a copy it overrides, the words of
// the refusal; "" where it would load it after every one. Beside an
// archive the two names decide; in a folder no source shares, any name does.
std::string load_order_fault(const run &r)
{
    std::size_t last_source_beside = SIZE_MAX;  // of the sources whose folder OUTPUT shares
    for (std::size_t a = 0; a < r.files.archives.size(); ++a)
        if (same_folder(r.files.archives[a], r.output))
            last_source_beside = r.files.source[a];
    const std::string output_name = r.output.substr(r.output.rfind('/') + 1);
    for (const archive_entry *entry : r.overridden) {
        const std::string &archive = r.files.archives[entry->archive];
        const bool beside = same_folder(archive, r.output);
        const std::string archive_name = archive.substr(archive.rfind('/') + 1);
        if (beside ? !loads_before(archive_name, output_name)
                   : last_source_beside != SIZE_MAX && r.files.source[entry->archive] > last_source_beside)
            return "Refusing to write " + escaped(r.output) + ": the game would load it before " + escaped(archive) +
                   ", whose " + escaped(entry->name) + " it must override" +
                   (beside ? "; give it a name that sorts after (a..z count as A..Z, so _ comes after every letter)" : "");
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
    take_maps(r, &results);
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
    if (const std::string why = errors->empty() ? load_order_fault(*r) : ""; !why.empty())
        errors->push_back(why);
}

failure pack(invocation &inv)
{
    run r;
    r.sources.assign(inv.argv + 1, inv.argv + inv.argc - 2);
    r.surfaces_path = inv.surfaces.path;
    r.output = inv.argv[inv.argc - 1];
    for (int c; (c = std::getc(inv.surfaces.stream)) != EOF;)
        r.surfaces += static_cast<char>(c);
    if (std::ferror(inv.surfaces.stream))
        return failure{INPUT_UNREADABLE, r.surfaces_path, errno};
    std::vector<std::string> errors;
    struct stat st;
    if (lstat(r.output.c_str(), &st) == 0)
        errors.push_back("Refusing to write " + escaped(r.output) + ": it exists");
    const std::string said = errors.empty() ? surface_file_errors(r) : "";
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
    close_game_files(&r.files);
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
