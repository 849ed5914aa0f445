// Benchmark: generates a map of the size real maps have, with its own
// surface file and a studio-wide one, then maps of 200,000 and 400,000
// records to see how the cost grows; times the built binary's -si, -se and
// -tl on them against io_floor, and checks the targets. Run with --help for
// what it prints.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bsp/map_file.h"
#include "game/game_files.h"
#include "map_builder.h"
#include "surfaces/surfaces.h"

namespace {

const char *const USAGE =
    "usage: lumpsmith_bench [--keep] [runs [work_dir]]\n"
    "\n"
    "Generates a map of 1,024 texture records (real maps hold 10 to 133) with\n"
    "its own surface file and with a 100,000-line studio-wide surface file\n"
    "that names its records among many others, then maps of 200,000 and\n"
    "400,000 records with a surface file in lump order and a shuffled one,\n"
    "and times lumpsmith on them (median of `runs` runs, default 11, after\n"
    "one warm-up round; each round runs every command once). Work files go\n"
    "to work_dir (default: a new directory under /tmp) and are removed at\n"
    "the end unless --keep is given.\n"
    "\n"
    "Each time is compared with a floor, the least any tool must do for the\n"
    "same job (io_floor): for an import, read the map's lump into memory\n"
    "faulted in ahead, stream the surface file through a 64 KiB buffer,\n"
    "write the lump back and sync it; for the export and the listing, read\n"
    "the lump and write it out. 'x floor' is the median time divided by\n"
    "that floor's median. The targets are the real-size import with its own\n"
    "file, and growth: where valgrind is installed, the instructions an\n"
    "import takes a record at 400,000 records over those at 200,000, counted\n"
    "by callgrind so that a busy machine cannot move them (else the time\n"
    "ratios). The studio file and the listing and export have no target.\n"
    "\n"
    "Last, where Debian's openarena-081-maps, zip and unzip are installed,\n"
    "lumpsmith-pk3 on its pak1-maps.pk3 with a file that changes no map,\n"
    "against unzip -p of its maps; and on that pak and on the whole game\n"
    "folder with one that changes every map it can, against unzipping the\n"
    "changed maps and their bot files from the archives the game loads them\n"
    "from and zip -6 of them, by hand. Then lumpsmith-plan drawing every\n"
    "map of pak1-maps.pk3 into a folder, against unzip -p of its maps (the\n"
    "maps must be inflated whole to reach their faces), and the CPU time\n"
    "(user and system) of one 1024-pixel picture of the largest installed\n"
    "map, ctf_compromise.bsp of pak6-patch085.pk3.\n"
    "\n"
    "Exit status: 0 when every target is met, 2 when one is missed, 1 when\n"
    "the benchmark could not run.\n";

struct measurement {
    double median_ms;
    long peak_kib;  // largest resident set of any run
    double median_cpu_ms = 0;  // user and system time
};

std::vector<std::string> work_files;
std::string created_dir;
bool keep_files = false;

void remove_work_files()
{
    if (keep_files)
        return;
    for (const std::string &path : work_files)
        unlink(path.c_str());
    if (!created_dir.empty())
        rmdir(created_dir.c_str());
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "lumpsmith_bench: %s\n", what.c_str());
    std::exit(1);
}

// Runs argv with standard output to /dev/null; false when it did not exit 0.
bool run_once(const std::vector<std::string> &args, double *ms, long *peak_kib, double *cpu_ms)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return false;
    *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    *peak_kib = usage.ru_maxrss;
    *cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs every command once per round, round after round, so that whatever
// the machine does meanwhile (writeback, memory compaction) falls on all of
// them alike rather than on whichever ran then; one warm-up round first.
std::vector<measurement> measure_together(const std::vector<std::vector<std::string>> &commands, int runs)
{
    std::vector<std::vector<double>> times(commands.size()), cpu_times(commands.size());
    std::vector<measurement> results(commands.size(), measurement{0, 0});
    for (int round = 0; round <= runs; ++round) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            double ms = 0, cpu_ms = 0;
            long kib = 0;
            if (!run_once(commands[c], &ms, &kib, &cpu_ms))
                fail(commands[c][0] + " " + commands[c][1] + " " + commands[c][2] + " failed");
            if (round == 0)
                continue;
            times[c].push_back(ms);
            cpu_times[c].push_back(cpu_ms);
            results[c].peak_kib = std::max(results[c].peak_kib, kib);
        }
    }
    for (std::size_t c = 0; c < commands.size(); ++c) {
        std::sort(times[c].begin(), times[c].end());
        std::sort(cpu_times[c].begin(), cpu_times[c].end());
        results[c].median_ms = times[c][times[c].size() / 2];
        results[c].median_cpu_ms = cpu_times[c][cpu_times[c].size() / 2];
    }
    return results;
}

const char *const SETS[] = {"base", "outdoor", "industrial", "castle", "city", "sewer", "space", "common"};
const char *const THINGS[] = {"floor", "wall", "ceiling", "trim", "panel", "crate", "pipe", "door", "window",
                              "beam"};

// One map and the surface files imported into it.
struct scenario {
    std::size_t records;
    std::size_t studio_lines;  // 0: no studio-wide file
    std::string map_path;
    std::vector<std::string> surface_paths;
    std::vector<std::string> labels;
};

bool write_lines(const std::string &path, const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line;
    return write_bytes(path, bytes(text.begin(), text.end()));
}

std::string texture_name(std::size_t i, unsigned material)
{
    char name[NAME_SIZE + 1];
    std::snprintf(name, sizeof name, "textures/%s/%s_%s_%zu", SETS[i % 8], THINGS[(i / 8) % 10],
                  surface_names[material], i);
    return name;
}

// The map, a surface file naming every record in lump order and one
// shuffled; with studio lines, instead of the shuffled file a studio-wide
// file that names the map's records among many others, shuffled. The two
// files give every record different surfaces, and a round imports both,
// so that every import changes the map and writes it back: an import that
// changes nothing writes nothing.
void write_map_and_surfaces(const scenario &s)
{
    std::vector<map_record> records;
    std::vector<std::string> lines;
    std::vector<std::string> other_lines;
    for (std::size_t i = 0; i < s.records; ++i) {
        const unsigned material = static_cast<unsigned>(i % SURFACE_COUNT);
        const std::uint32_t low = static_cast<std::uint32_t>(i * 2654435761u) & 0xFFF7B;
        records.push_back({texture_name(i, material), set_surface_index(low, material), 0x1});
        lines.push_back(records.back().name + " = " + surface_names[(material + 7) % SURFACE_COUNT] + "\n");
        other_lines.push_back(records.back().name + " = " + surface_names[(material + 13) % SURFACE_COUNT] + "\n");
    }
    bool written = write_bytes(s.map_path, build_map(build_lump(records), 4096, 65536)) &&
                   write_lines(s.surface_paths[0], lines);
    lines = other_lines;
    for (std::size_t i = s.records; i < s.studio_lines; ++i)
        lines.push_back(texture_name(i, static_cast<unsigned>(i % SURFACE_COUNT)) + " = stucco\n");
    std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
    written = written && write_lines(s.surface_paths[1], lines);
    _exit(written ? 0 : 1);
}

// Generated in a child process: a child forked later starts out with its
// parent's resident pages in its peak, so the parent stays small.
scenario generate(const std::string &dir, std::size_t records, std::size_t studio_lines)
{
    const std::string stem = dir + "/map" + std::to_string(records);
    scenario s{records, studio_lines, stem + ".bsp", {stem + ".txt", stem + (studio_lines ? ".studio.txt" : ".shuffled.txt")},
               {"-si", studio_lines ? "-si studio" : "-si shuf"}};
    work_files.push_back(s.map_path);
    for (const std::string &path : s.surface_paths)
        work_files.push_back(path);
    const pid_t pid = fork();
    if (pid == 0)
        write_map_and_surfaces(s);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("cannot write the work files in " + dir);
    return s;
}

struct scenario_times {
    std::vector<double> ratios;  // each import's time over its floor's
};

// Times every import of the scenario against the floor for its surface
// file, and the export and listing against reading the lump; prints a row
// for each.
scenario_times run_scenario(const scenario &s, int runs)
{
    const std::string tool = LUMPSMITH_BINARY;
    const std::string floor_tool = IO_FLOOR_BINARY;
    std::vector<std::vector<std::string>> commands = {{floor_tool, "read", s.map_path},
                                                      {tool, "-se", s.map_path},
                                                      {tool, "-tl", s.map_path}};
    for (const std::string &path : s.surface_paths) {
        commands.push_back({floor_tool, "import", s.map_path, path});
        commands.push_back({tool, "-si", s.map_path, path});
    }
    const std::vector<measurement> m = measure_together(commands, runs);
    const auto row = [&](const std::string &what, const measurement &taken, const measurement &floor) {
        std::printf("%-8zu %-11s %10.2f %9.2f %10.1f\n", s.records, what.c_str(), taken.median_ms,
                    taken.median_ms / floor.median_ms, taken.peak_kib / 1024.0);
        return taken.median_ms / floor.median_ms;
    };
    scenario_times times;
    for (std::size_t f = 0; f < s.surface_paths.size(); ++f) {
        row("floor " + s.labels[f].substr(1), m[3 + 2 * f], m[3 + 2 * f]);
        times.ratios.push_back(row(s.labels[f], m[4 + 2 * f], m[3 + 2 * f]));
    }
    row("floor read", m[0], m[0]);
    row("-se", m[1], m[0]);
    row("-tl", m[2], m[0]);
    std::printf("\n");
    return times;
}

bool target(const std::string &what, double value, double limit, bool at_least = false);

// The instructions an import of the scenario's surface file into a copy of
// its map takes, counted by callgrind.
double instructions(const scenario &s, std::size_t file)
{
    const std::string copy = s.map_path + ".counted";
    work_files.push_back(copy);
    const std::string command = "cp '" + s.map_path + "' '" + copy + "' && valgrind --tool=callgrind "
                                "--callgrind-out-file=/dev/null '" LUMPSMITH_BINARY "' -si '" + copy + "' '" +
                                s.surface_paths[file] + "' 2>&1 >/dev/null | sed -n 's/.*Collected : //p'";
    std::FILE *counted = popen(command.c_str(), "r");
    double count = 0;
    if (counted == nullptr || std::fscanf(counted, "%lf", &count) != 1 || pclose(counted) != 0 || count <= 0)
        fail("callgrind could not count " + command);
    return count;
}

const char *const GAME = "/usr/share/games/openarena/baseoa";
const char *const PAK = "/usr/share/games/openarena/baseoa/pak1-maps.pk3";

// A surface file that gives the first texture of every map of the sources
// another surface, so that every map it can change changes.
bool write_every_map_file(const std::string &source, const std::string &path)
{
    std::vector<std::string> errors;
    std::string text;
    std::set<std::string> named;
    for (const game_map &map : read_game_maps({source}, &errors)) {
        const texture_lump &lump = map.reading.lump;
        if (lump.record_count == 0 || !named.insert(std::string(name_of_record(lump, 0))).second)
            continue;
        const std::uint32_t surface = (surface_flags_of_record(lump, 0) >> SURFACE_SHIFT) + 1;
        text += std::string(name_of_record(lump, 0)) + " = " + surface_names[surface % SURFACE_COUNT] + "\n";
    }
    return errors.empty() && write_bytes(path, bytes(text.begin(), text.end()));
}

// The least a modder would do by hand for the files lumpsmith-pk3 said it
// packed (its output in listing): inflate each from the archive the game
// loads it from, then deflate them all with zip -6. The shell command, and
// how many maps.
std::string by_hand(const std::string &dir, const std::string &source, const std::string &listing, long *maps)
{
    game_files files;
    std::vector<std::string> errors;
    open_game_files({source}, &files, &errors);
    std::map<std::string, std::string> names_by_archive;
    std::string all;
    const bytes text = read_bytes(listing);
    std::string line;
    *maps = 0;
    for (const unsigned char c : text) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        const std::size_t colon = line.find(": ");
        const bool map = line.find(" records changed (") != std::string::npos;
        const auto found = files.winners.find(game_key(line.substr(0, colon)));
        if (colon != std::string::npos && (map || ends_with(line, ": map checksum updated")) && found != files.winners.end()) {
            names_by_archive[files.archives[found->second.archive]] += " '" + found->second.name + "'";
            all += " '" + found->second.name + "'";
            *maps += map;
        }
        line.clear();
    }
    std::string command = "cd '" + dir + "' && rm -rf hand hand.zip && mkdir hand && cd hand";
    for (const auto &[archive, names] : names_by_archive)
        command += " && unzip -q -o '" + archive + "'" + names;
    return command + " && zip -q -6 ../hand.zip" + all + " && cd .. && rm -rf hand";
}

// lumpsmith-pk3 with every map of source changed, against the same by hand;
// for the pak, also with no map changed, against unzip -p of its maps.
bool run_pk3(const std::string &dir, const std::string &label, const std::string &source, double limit, int runs)
{
    const std::string pk3 = LUMPSMITH_PK3_BINARY, none = dir + "/none.txt", every = dir + "/every.txt",
                      listing = dir + "/listing.txt";
    for (const std::string &file : {none, every, listing, dir + "/out.pk3", dir + "/none.pk3", dir + "/hand.zip"})
        work_files.push_back(file);
    if (!write_bytes(none, {'x', ' ', '=', ' ', 'r', 'o', 'c', 'k', '\n'}) || !write_every_map_file(source, every))
        fail("cannot write the surface files for lumpsmith-pk3");
    const std::string list = "cd '" + dir + "' && rm -f out.pk3 && '" + pk3 + "' '" + source + "' every.txt out.pk3 >listing.txt";
    if (std::system(list.c_str()) != 0)
        fail("lumpsmith-pk3 failed on " + source);
    long maps = 0;
    std::vector<std::vector<std::string>> commands = {
        {"/bin/sh", "-c", "rm -f '" + dir + "/out.pk3' && exec '" + pk3 + "' '" + source + "' '" + every + "' '" + dir + "/out.pk3'"},
        {"/bin/sh", "-c", by_hand(dir, source, listing, &maps)}};
    const bool pak = source == PAK;
    if (pak) {
        commands.push_back({pk3, PAK, none, dir + "/none.pk3"});
        commands.push_back({"/bin/sh", "-c", std::string("unzip -p ") + PAK + " 'maps/*.bsp' >/dev/null"});
    }
    const std::vector<measurement> m = measure_together(commands, runs);
    const char *const rows[] = {"pk3 every", "by hand", "pk3 none", "unzip -p"};
    for (std::size_t r = 0; r < m.size(); ++r)
        std::printf("%-8s %-11s %10.2f %9s %10.1f\n", label.c_str(), rows[r], m[r].median_ms, "", m[r].peak_kib / 1024.0);
    std::printf("\n");
    bool met = target(label + " pk3, " + std::to_string(maps) + " maps changed / by hand", m[0].median_ms / m[1].median_ms, limit);
    if (pak)
        met = target("pk3, no map changed / unzip -p of the maps", m[2].median_ms / m[3].median_ms, 0.05) && met;
    return met;
}

// lumpsmith-plan on every map of the pak, against unzip -p of its maps;
// and the CPU time of one picture of the largest installed map.
bool run_plan(const std::string &dir, int runs)
{
    const std::string plan = LUMPSMITH_PLAN_BINARY, largest = dir + "/ctf_compromise.bsp";
    work_files.push_back(largest);
    const std::string extract = std::string("unzip -p ") + GAME + "/pak6-patch085.pk3 maps/ctf_compromise.bsp >'" + largest + "'";
    if (std::system(extract.c_str()) != 0)
        fail("cannot unzip the largest installed map");
    const std::vector<measurement> m = measure_together(
        {{"/bin/sh", "-c", "rm -rf '" + dir + "/plans' && exec '" + plan + "' " + PAK + " '" + dir + "/plans'"},
         {"/bin/sh", "-c", std::string("unzip -p ") + PAK + " 'maps/*.bsp' >/dev/null"},
         {plan, largest, dir + "/largest.png"}},
        runs);
    if (std::system(("rm -rf '" + dir + "/plans' '" + dir + "/largest.png'").c_str()) != 0)
        fail("cannot remove the plans");
    const char *const rows[] = {"plan every", "unzip -p", "plan one"};
    for (std::size_t r = 0; r < m.size(); ++r)
        std::printf("%-8s %-11s %10.2f %9s %10.1f   cpu %.1f ms\n", "pak1", rows[r], m[r].median_ms, "", m[r].peak_kib / 1024.0,
                    m[r].median_cpu_ms);
    std::printf("\n");
    const bool met = target("plan, every map of the pak / unzip -p of the maps", m[0].median_ms / m[1].median_ms, 1.5);
    return target("plan, largest map at 1024 pixels, ms of CPU", m[2].median_cpu_ms, 60) && met;
}

bool target(const std::string &what, double value, double limit, bool at_least)
{
    const bool met = at_least ? value >= limit : value <= limit;
    std::printf("  %-52s %6.2f  %s %.2f  %s\n", what.c_str(), value, at_least ? ">=" : "<=", limit, met ? "met" : "MISSED");
    return met;
}

bool parse_runs(const char *text, int *runs)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 1000)
        return false;
    *runs = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 11;
    std::string dir;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (arg == "--keep") {
            keep_files = true;
        } else if (arg[0] != '-' && positional == 0 && parse_runs(argv[i], &runs)) {
            positional = 1;
        } else if (arg[0] != '-' && positional == 1) {
            dir = arg;
            positional = 2;
        } else {
            std::fprintf(stderr, "lumpsmith_bench: bad argument '%s'\n%s", argv[i], USAGE);
            return 1;
        }
    }
    if (dir.empty()) {
        char pattern[] = "/tmp/lumpsmith-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            fail("cannot create a work directory under /tmp");
        dir = created_dir = pattern;
    }
    std::atexit(remove_work_files);
    std::printf("lumpsmith benchmark: median of %d runs; work files in %s (%s)\n\n", runs, dir.c_str(),
                keep_files ? "kept" : "removed at the end");
    std::printf("%-8s %-11s %10s %9s %10s\n", "records", "command", "median ms", "x floor", "peak MiB");
    // The sizes real maps have (10 to 133 records) and a studio-wide
    // surface file; then two large lumps, to see how the cost grows.
    const scenario real_size = generate(dir, 1024, 100000), at200 = generate(dir, 200000, 0), at400 = generate(dir, 400000, 0);
    const scenario_times real = run_scenario(real_size, runs);
    const scenario_times large200 = run_scenario(at200, runs);
    const scenario_times large400 = run_scenario(at400, runs);
    bool met = target("1024 records, own file / floor", real.ratios[0], 1.2);
    const bool counted = std::system("command -v valgrind >/dev/null") == 0;
    for (std::size_t f = 0; f < 2; ++f) {
        const std::string what = std::string(f == 0 ? "growth in lump order" : "growth shuffled") +
                                 (counted ? ", instructions a record" : ", time") + " at 400000 / at 200000";
        const double growth = counted ? (instructions(at400, f) / 400000) / (instructions(at200, f) / 200000)
                                      : large400.ratios[f] / large200.ratios[f];
        met = target(what, growth, 1.25) && met;
    }
    std::printf("\n");
    if (access(PAK, R_OK) != 0 || std::system("command -v zip >/dev/null && command -v unzip >/dev/null") != 0) {
        std::printf("  %-52s skipped: no %s, or no zip and unzip\n", "lumpsmith-pk3", PAK);
    } else {
        met = run_pk3(dir, "pak1", PAK, 0.1, runs) && met;
        met = run_pk3(dir, "baseoa", GAME, 0.2, runs) && met;
        met = run_plan(dir, runs) && met;
    }
    std::printf("\n%s\n", met ? "all targets met" : "a target was MISSED (exit status 2)");
    return met ? 0 : 2;
}
