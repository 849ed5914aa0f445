// lumpsmith-check SURFACE_FILE [MAP...]: finds what would make an import of
// the surface file do other than its author meant, and says where, as
// "FILE:LINE: message" lines on standard output: unknown surface names,
// Windows line ends, a byte-order mark, a texture given two surfaces, lines
// the import reads in pieces, and, with maps, texture names no map holds.
// Then one "MAP: N records would change" line per map, counted by the same
// code as lumpsmith-preview. Exit status: 0 when nothing was found, 1 when
// anything was, 2 after an Error line.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "game/bot_file.h"
#include "game/game_files.h"
#include "surfaces/surfaces.h"

namespace {

constexpr std::size_t LONGEST_WHOLE_LINE = LINE_BUFFER_SIZE - 1;
const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

struct surface_line {
    std::size_t number;   // from 1
    std::string text;     // without its line feed, cut at its first NUL
    std::size_t length;   // bytes before the line feed
    bool crlf;
    bool has_separator;
    std::string texture;
    std::string surface;  // as the import reads it: a carriage return stays part of it
    int index;            // surface_index_of the surface as the import reads it, or -1
};

struct finding {
    std::size_t line;
    std::string message;
};

std::vector<surface_line> read_lines(std::FILE *in, std::string *whole)
{
    std::vector<surface_line> lines;
    char *buffer = nullptr;
    std::size_t capacity = 0;
    ssize_t got;
    while ((got = getline(&buffer, &capacity, in)) > 0) {
        whole->append(buffer, static_cast<std::size_t>(got));
        surface_line l{lines.size() + 1, std::string(buffer, static_cast<std::size_t>(got)), 0, false, false, "", "", -1};
        if (!l.text.empty() && l.text.back() == '\n')
            l.text.pop_back();
        l.length = l.text.size();
        l.text.resize(std::min(l.text.size(), l.text.find('\0')));
        l.crlf = !l.text.empty() && l.text.back() == '\r';
        const std::size_t separator = l.text.find(" = ");
        l.has_separator = separator != std::string::npos;
        if (l.has_separator) {
            // A byte-order mark is found on its own; the name is checked without it.
            const std::size_t mark = l.number == 1 && l.text.compare(0, 3, BYTE_ORDER_MARK) == 0 ? 3 : 0;
            l.texture = l.text.substr(mark, separator - std::min(mark, separator));
            l.surface = l.text.substr(separator + 3);
            l.index = surface_index_of(l.surface);
        }
        lines.push_back(l);
    }
    std::free(buffer);
    return lines;
}

// The known surface name that text would be without its case, or without
// trailing blanks and carriage returns; nullptr when there is none.
const char *meant_surface(std::string text)
{
    text.erase(text.find_last_not_of(" \t\r") + 1);
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const int index = surface_index_of(text);
    return index < 0 ? nullptr : surface_names[index];
}

std::string quoted(const std::string &text)
{
    return "\"" + escaped(text) + "\"";
}

void find_in_lines(const std::vector<surface_line> &lines, const std::string &file, std::vector<finding> *found)
{
    const std::size_t crlf = std::count_if(lines.begin(), lines.end(), [](const surface_line &l) { return l.crlf; });
    std::unordered_map<std::string, const surface_line *> last_known;
    for (const surface_line &l : lines)
        if (l.index >= 0)
            last_known[l.texture] = &l;
    std::unordered_map<std::string, const surface_line *> previous;
    bool crlf_said = false;
    for (const surface_line &l : lines) {
        if (l.number == 1 && l.text.compare(0, 3, BYTE_ORDER_MARK) == 0)
            found->push_back({1, "the file starts with a UTF-8 byte-order mark, so its first texture name matches "
                                 "nothing; remove it: sed -i '1s/^\\xEF\\xBB\\xBF//' " + file});
        if (l.crlf && !crlf_said) {
            crlf_said = true;
            found->push_back({l.number, std::to_string(crlf) + " line(s) end in CR LF (Windows line ends), so their "
                                        "surface names are unknown; convert them: sed -i 's/\\r$//' " + file});
        }
        if (l.length > LONGEST_WHOLE_LINE)
            found->push_back({l.number, "the line is " + std::to_string(l.length) +
                                            " bytes long; the import reads it in pieces of 127 bytes, each as a line"});
        if (!l.has_separator)
            continue;
        if (l.index < 0) {
            const char *meant = meant_surface(l.surface);
            found->push_back({l.number, "unknown surface " + quoted(l.surface) +
                                            (meant ? std::string(" (did you mean \"") + meant + "\"?)" : "")});
            continue;
        }
        const surface_line *&before = previous[l.texture];
        if (before != nullptr && before->index != l.index) {
            const surface_line &winner = *last_known[l.texture];
            found->push_back({l.number, quoted(l.texture) + " was given " + quoted(before->surface) + " on line " +
                                            std::to_string(before->number) + "; the last line for it wins: " +
                                            quoted(winner.surface) + " on line " + std::to_string(winner.number)});
        }
        before = &l;
    }
}

// The game's copy of each map in the archives and folders given, read as far
// as its lump and named "maps/NAME.bsp in ARCHIVE" by a label kept in *labels.
void read_game_maps(invocation &inv, std::deque<std::string> *labels, std::vector<given_map> *maps)
{
    game_files files;
    std::vector<std::string> errors;
    open_game_files(inv.sources, &files, &errors);
    for (const auto &[name, entry] : files.winners) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".bsp") != 0)
            continue;
        labels->push_back(name + " in " + files.archives[entry.archive]);
        given_map map{labels->back().c_str(), {}};
        std::string bytes;
        std::string why = read_map_entry(files, entry, &bytes);
        const failure f = why.empty() ? read_map_bytes(map.path, reinterpret_cast<const unsigned char *>(bytes.data()),
                                                       bytes.size(), entry.size, &map.reading)
                                      : ok();
        if (why.empty() && f.status != NO_FAILURE)
            why = describe_failure(f);
        if (why.empty())
            maps->push_back(std::move(map));
        else
            errors.push_back(why);
    }
    close_game_files(&files);
    for (const std::string &error : errors)
        inv.status = report(error) + 1;  // 2: an Error line
}

// "MAP: ..." when a bot file lies beside the map and records another map's
// checksum, which makes the game's server refuse it; "" otherwise.
std::string bot_file_finding(const char *map_path)
{
    const std::string path = map_path;
    const std::string bot = (path.size() > 4 && path.compare(path.size() - 4, 4, ".bsp") == 0 ? path.substr(0, path.size() - 4) : path) + ".aas";
    std::FILE *map = std::fopen(map_path, "rb");
    std::FILE *aas = map ? std::fopen(bot.c_str(), "rb") : nullptr;
    std::string bytes;
    unsigned char header[BOT_FILE_HEADER_SIZE];
    std::uint32_t recorded = 0;
    bool stale = aas != nullptr && std::fread(header, 1, sizeof header, aas) == sizeof header &&
                 recorded_checksum(header, sizeof header, &recorded);
    for (int c; stale && (c = std::getc(map)) != EOF;)
        bytes += static_cast<char>(c);
    stale = stale && !std::ferror(map) &&
            map_checksum(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()) != recorded;
    for (std::FILE *f : {map, aas})
        if (f != nullptr)
            std::fclose(f);
    return stale ? escaped(map_path) + ": the bot file " + escaped(bot) +
                       " was made for another version of this map, so bots will not play on it; update it: lumpsmith-aas " +
                       escaped(map_path)
                 : "";
}

// Notes the names the records of every map bear, and counts what an import
// of the file would change in each. The import's own Error lines are not
// wanted here, where unknown surfaces are findings of their own.
std::vector<std::string> check_maps(invocation &inv, const std::vector<given_map> &maps, const std::string &text,
                                    std::unordered_set<std::string> *names)
{
    std::vector<std::string> summary;
    for (const given_map &map : maps) {
        char *said = nullptr;
        std::size_t said_size = 0;
        std::FILE *surfaces = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        std::FILE *ignored = open_memstream(&said, &said_size);
        texture_lump edited;
        failure f = failure{OUT_OF_MEMORY, map.path, ENOMEM};
        try {
            if (surfaces != nullptr && ignored != nullptr)
                f = preview_surface_file(map.reading, named_file{surfaces, inv.argv[1]}, ignored, &edited);
        } catch (const std::bad_alloc &) {
            f = failure{OUT_OF_MEMORY, map.path, ENOMEM};
        }
        for (std::FILE *stream : {surfaces, ignored})
            if (stream != nullptr)
                std::fclose(stream);
        std::free(said);
        if (f.status != NO_FAILURE) {
            report(describe_failure(f));
            inv.status = 2;
            continue;
        }
        std::size_t changed = 0;
        for (std::size_t i = 0; i < map.reading.lump.record_count; ++i) {
            names->insert(std::string(name_of_record(map.reading.lump, i)));
            changed += surface_flags_of_record(map.reading.lump, i) != surface_flags_of_record(edited, i);
        }
        summary.push_back(escaped(map.path) + ": " + std::to_string(changed) + " records would change");
    }
    return summary;
}

failure check(invocation &inv)
{
    std::string text;
    const std::vector<surface_line> lines = read_lines(inv.surfaces.stream, &text);
    if (std::ferror(inv.surfaces.stream))
        return failure{INPUT_UNREADABLE, inv.surfaces.path, errno};
    const std::string file = escaped(inv.surfaces.path);
    std::vector<finding> found;
    find_in_lines(lines, file, &found);
    std::deque<std::string> labels;
    std::vector<given_map> maps = std::move(inv.maps);
    std::vector<std::string> stale_bot_files;
    for (const given_map &map : maps)
        if (std::string finding = bot_file_finding(map.path); !finding.empty())
            stale_bot_files.push_back(finding);
    read_game_maps(inv, &labels, &maps);
    std::unordered_set<std::string> names;
    const std::vector<std::string> summary = check_maps(inv, maps, text, &names);
    std::unordered_set<std::string> named;
    for (const surface_line &l : lines)
        if (!names.empty() && l.has_separator && named.insert(l.texture).second && names.count(l.texture) == 0)
            found.push_back({l.number, "no given map has a texture named " + quoted(l.texture)});
    std::stable_sort(found.begin(), found.end(), [](const finding &a, const finding &b) { return a.line < b.line; });
    for (const finding &f : found)
        std::printf("%s:%zu: %s\n", file.c_str(), f.line, f.message.c_str());
    for (const std::string &line : stale_bot_files)
        std::printf("%s\n", line.c_str());
    for (const std::string &line : summary)
        std::printf("%s\n", line.c_str());
    inv.status = std::max(inv.status, found.empty() && stale_bot_files.empty() ? 0 : 1);
    return ok();
}

const command_row CHECK = {{{1, SURFACE_FILE}, {2, SOURCES}}, check, 2};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SURFACE_FILE [MAP...]\n", argc > 0 ? argv[0] : "lumpsmith-check");
        return 2;
    }
    return run_command(CHECK, argc, argv);
}
