// lumpsmith-check SURFACE_FILE [MAP|ARCHIVE|FOLDER...]: finds what would make
// an import of the surface file do other than its author meant, and says
// where, as "FILE:LINE: message" lines on standard output. It reads the file
// as the import does, in the same pieces (read_surface_piece), so the two
// cannot disagree on what a line says. First what would stop an import doing
// what was meant: unknown surface names, near misses of the " = " separator,
// byte-order marks, Windows line ends, lines the import reads in pieces, a
// texture given two surfaces, a texture name a map holds only in another
// case; then notes: texture names no given map holds in any case. Then bot
// files out of date beside given maps, and one "MAP: N records would
// change" line per map, counted by the same code as lumpsmith-preview. Fix
// commands quote paths as shell words.
// Exit status: 0 when nothing was found, 1 when anything was, 2 after an
// Error line.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "game/bot_file.h"
#include "game/findings.h"
#include "game/hints.h"
#include "game/matching.h"
#include "game/sources.h"
#include "surfaces/surfaces.h"

namespace {

const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";
constexpr std::size_t MOST_NOTES = 10;  // of one kind; more are counted in one line

// One line as the import acts on it (a piece of a file line), kept.
struct checked_line {
    std::size_t number;  // of its file line, from 1
    bool first;          // the first piece of its file line
    std::size_t line_length;
    bool has_separator;
    std::string text, texture, surface;
    int index;  // surface_index_of the surface, or -1
};

bool starts_with(const std::string &text, const char *start)
{
    return text.compare(0, std::strlen(start), start) == 0;
}

// The surface file as the check reads it.
struct checked_file {
    std::vector<checked_line> lines;
    std::string text;  // its bytes, which each map is matched against
    bool nul = false;  // it holds a NUL byte: a map, most likely
};

// Reads the file whole, and cuts it as the import does unless it holds a NUL.
failure read_lines(named_file surfaces, checked_file *file)
{
    // A NUL says more than a read that failed after it.
    const failure f = read_surface_text(surfaces, &file->text);
    file->nul = file->text.find('\0') != std::string::npos;
    if (file->nul || f.status != NO_FAILURE)
        return file->nul ? ok() : f;
    for_each_surface_piece(file->text, [file](const surface_piece &piece) {
        const std::string surface(piece.surface);
        const std::size_t line_length = piece.line.size() - (piece.line.back() == '\n');
        file->lines.push_back({piece.line_number, piece.first, line_length, piece.has_separator, std::string(piece.text),
                               std::string(piece.texture), surface, piece.has_separator ? surface_index_of(surface) : -1});
    });
    return ok();
}

std::string quoted(const std::string &text)
{
    return "\"" + escaped(text) + "\"";
}

// A line with '=' but no " = " between its texture and surface, which the
// import skips; with the line as it would read with the separator mended.
std::string near_miss(const checked_line &l)
{
    const std::size_t equals = l.text.find('=');
    if (l.has_separator || equals == std::string::npos)
        return "";
    const std::string texture = trimmed(l.text.substr(0, equals));
    const char *meant = meant_surface(l.text.substr(l.text.find_first_not_of('=', equals) == std::string::npos
                                                        ? l.text.size() : l.text.find_first_not_of('=', equals)));
    return "the import skips this line: no ' = ' between the texture and the surface" +
           (texture.empty() || meant == nullptr ? std::string() : "; mended, it reads: " + quoted(texture + " = " + meant));
}

// word is the surface file's path as a shell word, for the fix commands.
void find_in_lines(const std::vector<checked_line> &lines, const std::string &word, std::vector<finding> *found)
{
    const std::size_t crlf = std::count_if(lines.begin(), lines.end(),
                                           [](const checked_line &l) { return !l.text.empty() && l.text.back() == '\r'; });
    std::unordered_map<std::string, const checked_line *> last_known, previous;
    for (const checked_line &l : lines)
        if (l.index >= 0)
            last_known[l.texture] = &l;
    bool crlf_said = false;
    for (const checked_line &l : lines) {
        const bool cr = !l.text.empty() && l.text.back() == '\r';
        if (l.first && starts_with(l.text, BYTE_ORDER_MARK))
            found->push_back({l.number, "the line starts with a UTF-8 byte-order mark, so its texture name matches "
                                        "nothing; remove every one: sed -i 's/^\\xEF\\xBB\\xBF//' " + word});
        if (cr && !crlf_said) {
            crlf_said = true;
            found->push_back({l.number, std::to_string(crlf) + " line(s) end in CR LF (Windows line ends), so their "
                                        "surface names are unknown; convert them: sed -i 's/\\r$//' " + word});
        }
        if (l.first && l.line_length > LINE_BUFFER_SIZE - 1)
            found->push_back({l.number, "the line is " + std::to_string(l.line_length) +
                                            " bytes long; the import reads it in pieces of 127 bytes, each as a line"});
        if (const std::string miss = near_miss(l); !miss.empty())
            found->push_back({l.number, miss});
        if (!l.has_separator)
            continue;
        // One cause, one finding: a surface that only its carriage return
        // makes unknown is the CR LF finding's.
        if (l.index < 0 && !(cr && surface_index_of(l.surface.substr(0, l.surface.size() - 1)) >= 0))
            found->push_back({l.number, unknown_surface(l.surface)});
        if (l.index < 0)
            continue;
        const checked_line *&before = previous[l.texture];
        if (before != nullptr && before->index != l.index) {
            const checked_line &winner = *last_known[l.texture];
            found->push_back({l.number, quoted(l.texture) + " was given " + quoted(before->surface) + " on line " +
                                            std::to_string(before->number) + "; the last line for it wins: " +
                                            quoted(winner.surface) + " on line " + std::to_string(winner.number)});
        }
        before = &l;
    }
}

// Notes of texture names no given map holds, more than MOST_NOTES
// collapsed into one line; a name a map holds in another case is a likely
// slip, so it is a finding with its hint, never lost in that count.
void note_unknown_textures(const std::vector<checked_line> &lines, const std::unordered_set<std::string> &names,
                           std::vector<finding> *found, std::vector<finding> *notes)
{
    std::unordered_map<std::string, std::string> by_lower;
    for (const std::string &name : names)
        by_lower.emplace(lower(name), name);
    std::unordered_set<std::string> named;
    for (const checked_line &l : lines) {
        if (names.empty() || !l.has_separator || starts_with(l.text, BYTE_ORDER_MARK) || !named.insert(l.texture).second ||
            names.count(l.texture) != 0)
            continue;
        const auto other_case = by_lower.find(lower(l.texture));
        (other_case == by_lower.end() ? notes : found)
            ->push_back({l.number, "no given map has a texture named " + quoted(l.texture) +
                                       (other_case == by_lower.end() ? "" : " (did you mean " + quoted(other_case->second) + "?)")});
    }
    if (notes->size() <= MOST_NOTES)
        return;
    std::string first;
    for (std::size_t n = 0; n < MOST_NOTES; ++n)
        first += (n ? ", " : "") + std::to_string((*notes)[n].line);
    *notes = {{notes->front().line, std::to_string(notes->size()) + " texture names that no given map has, on lines " +
                                        first + " and " + std::to_string(notes->size() - MOST_NOTES) + " more"}};
}

// "MAP: ..." when a bot file lies beside the map and records another map's
// checksum, which makes the game's server refuse it; "" otherwise. Only
// regular files are read, and the map a piece at a time, whatever its size.
std::string bot_file_finding(const char *map_path)
{
    const std::string bot = bot_file_of(map_path);
    struct stat map_stat, bot_stat;
    std::string why;
    std::FILE *map = open_regular_file(map_path, &map_stat, &why);
    std::FILE *aas = map ? open_regular_file(bot, &bot_stat, &why) : nullptr;
    unsigned char header[BOT_FILE_HEADER_SIZE];
    std::uint32_t recorded = 0, checksum = 0;
    const bool stale = aas != nullptr && io_read_at(aas, header, sizeof header, 0) == 0 &&
                       recorded_checksum(header, sizeof header, &recorded) &&
                       file_checksum(map, static_cast<std::uint64_t>(map_stat.st_size), &checksum) == 0 &&
                       checksum != recorded;
    for (std::FILE *f : {map, aas})
        if (f != nullptr)
            std::fclose(f);
    return stale ? escaped(map_path) + ": the bot file " + escaped(bot) +
                       " was made for another version of this map, so bots will not play on it; update it: lumpsmith-aas " +
                       escaped(shell_word(map_path))
                 : "";
}

// Notes the names the records of every map bear, and counts what an import
// of the file would change in each. The import's own Error lines are not
// wanted here, where unknown surfaces are findings of their own.
std::vector<std::string> check_maps(invocation &inv, const std::vector<source_map> &maps, const std::string &text,
                                    std::unordered_set<std::string> *names)
{
    std::vector<std::string> summary;
    for (const auto &[path, reading] : maps) {
        texture_lump edited;
        std::size_t changed = 0;
        const failure f = match_surface_text(*reading, path, text, inv.argv[1], &edited, &changed, nullptr);
        if (f.status != NO_FAILURE) {
            report(describe_failure(f));
            inv.status = 2;
            continue;
        }
        for (std::size_t i = 0; i < reading->lump.record_count; ++i)
            names->insert(std::string(name_of_record(reading->lump, i)));
        summary.push_back(escaped(path) + ": " + std::to_string(changed) + " records would change");
    }
    return summary;
}

failure check(invocation &inv)
{
    given_sources given;
    if (!read_sources(inv, 2, &given))
        return ok();
    checked_file file;
    if (const failure f = read_lines(inv.surfaces, &file); f.status != NO_FAILURE)
        return f;
    // A map given first: no advice to edit it, and nothing else said.
    if (file.nul) {
        inv.status = report("Cannot read " + escaped(inv.surfaces.path) + ": it holds NUL bytes, so it looks like a "
                            "map, not a surface file; the surface file comes first") + 1;
        return ok();
    }
    for (const std::string &error : given.errors)
        inv.status = report(error) + 1;  // 2: an Error line
    std::vector<finding> found, notes;
    find_in_lines(file.lines, escaped(shell_word(inv.surfaces.path)), &found);
    std::vector<std::string> stale_bot_files;  // printed after the findings
    for (const given_map &map : given.maps)
        if (std::string finding = bot_file_finding(map.path); !finding.empty())
            stale_bot_files.push_back(finding);
    std::unordered_set<std::string> names;
    const std::vector<std::string> summary = check_maps(inv, maps_of(given), file.text, &names);
    note_unknown_textures(file.lines, names, &found, &notes);
    print_findings(stdout, inv.surfaces.path, found);
    print_findings(stdout, inv.surfaces.path, notes);
    for (const std::vector<std::string> *list : {&std::as_const(stale_bot_files), &summary})
        for (const std::string &line : *list)
            std::printf("%s\n", line.c_str());
    const bool anything = !found.empty() || !notes.empty() || !stale_bot_files.empty();
    inv.status = std::max(inv.status, anything ? 1 : 0);
    return ok();
}

const command_row CHECK = {{{1, SURFACE_FILE}}, check, 2};

}  // namespace

int main(int argc, char **argv)
{
    return run_companion(CHECK, argc, argv, 2, INT_MAX, "SURFACE_FILE [MAP|ARCHIVE|FOLDER...]");
}
