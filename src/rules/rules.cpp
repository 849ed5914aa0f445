// lumpsmith-rules RULES SOURCE...: writes a mod's surface file from rules.
// RULES lines are "PATTERN = SURFACE", "#" comments and blank lines; a
// pattern is a shell pattern (fnmatch(3), '*' crossing '/' too), matched
// against each texture name exactly as the import compares names. SOURCEs
// are maps, archives and game folders, read as lumpsmith-pk3 reads them. On
// standard output, "NAME = SURFACE" for every texture name the maps hold that
// a rule matches, the first matching rule winning, sorted, once each: an
// ordinary surface file, records the export leaves out (water, sky)
// included. Findings go to standard error as "RULES:LINE: message" lines:
// unknown surfaces, rules that match no name, and rules that never win.
// Exit status: 0, 1 after findings, 2 after an Error line.
#include <fnmatch.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "game/findings.h"
#include "game/hints.h"
#include "game/sources.h"
#include "surfaces/surfaces.h"

namespace {

struct rule {
    std::size_t line;
    std::string pattern, surface;
    std::size_t matched, won;  // texture names it matches, and those it gives a surface
};

// The rules of the file; a finding for each line that is no rule, or names an unknown surface.
failure read_rules(named_file file, std::vector<rule> *rules, std::vector<finding> *found)
{
    char *line = nullptr;
    std::size_t capacity = 0, length = 0, number = 0;
    int error;
    while ((error = io_read_line(&line, &capacity, &length, file.stream)) == 0) {
        std::string text(line, length);
        ++number;
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        const std::size_t start = text.find_first_not_of(" \t\r");
        const std::size_t separator = text.find(" = ");
        if (start == std::string::npos || text[start] == '#')
            continue;
        const std::string surface = separator == std::string::npos ? "" : text.substr(separator + 3);
        if (separator == std::string::npos)
            found->push_back({number, "not a rule: no ' = ' between the pattern and the surface"});
        else if (surface_index_of(surface) < 0)
            found->push_back({number, unknown_surface(surface)});
        else
            rules->push_back({number, text.substr(0, separator), surface, 0, 0});
    }
    std::free(line);
    return error == IO_END ? ok() : failure{INPUT_UNREADABLE, file.path, error};
}

// Every texture name the maps hold that a surface file can name.
std::set<std::string> texture_names(const given_sources &given)
{
    std::set<std::string> names;
    for (const auto &[label, reading] : maps_of(given))
        for (std::size_t i = 0; i < reading->lump.record_count; ++i) {
            const std::string_view name = name_of_record(reading->lump, i);
            if (!is_noshader(name) && name_read_back_fault(name) == nullptr)
                names.emplace(name);
        }
    return names;
}

failure write_surface_file(invocation &inv)
{
    given_sources given;
    if (!read_sources(inv, 2, &given))
        return ok();
    std::vector<rule> rules;
    std::vector<finding> found;
    if (const failure f = read_rules(inv.surfaces, &rules, &found); f.status != NO_FAILURE)
        return f;
    // A name can hold any byte: at a terminal, one that could drive it is
    // escaped, as the listing escapes it; into a file, every byte stays.
    const bool for_terminal = isatty(STDOUT_FILENO);
    for (const std::string &name : texture_names(given)) {
        rule *winner = nullptr;
        for (rule &r : rules)
            if (fnmatch(r.pattern.c_str(), name.c_str(), 0) == 0) {
                ++r.matched;
                winner = winner ? winner : &r;
            }
        if (winner == nullptr)
            continue;
        ++winner->won;
        std::printf("%s = %s\n", (for_terminal ? escaped(name) : name).c_str(), winner->surface.c_str());
    }
    for (const rule &r : rules)
        if (r.won == 0)
            found.push_back({r.line, r.matched == 0 ? "the rule matches no texture name in the maps"
                                                    : "the rule never wins: earlier rules match every name it matches"});
    for (const std::string &error : given.errors)
        report(error);
    print_findings(stderr, inv.surfaces.path, found);
    inv.status = !given.errors.empty() ? 2 : found.empty() ? 0 : 1;
    return ok();
}

// The rules file is opened as a surface file is; read_rules reads it line by line.
const command_row RULES = {{{1, SURFACE_FILE}}, write_surface_file, 2};

}  // namespace

int main(int argc, char **argv)
{
    return run_companion(RULES, argc, argv, 3, INT_MAX, "RULES SOURCE...");
}
