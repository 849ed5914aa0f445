// Benchmark: generates maps of 200,000 and 400,000 records with surface
// files naming every record (in lump order, sorted by name, and shuffled),
// times the built binary's -si, -se and -tl on them against io_floor, and
// checks the targets. Run with --help for what it prints.
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
#include <random>
#include <string>
#include <vector>

#include "bsp/bsp_lump.h"
#include "map_builder.h"
#include "surfaces/surfaces.h"

namespace {

const char *const USAGE =
    "usage: lumpsmith_bench [--keep] [runs [work_dir]]\n"
    "\n"
    "Generates maps of 200,000 and 400,000 texture records with surface files\n"
    "naming every record, in lump order, sorted by name and shuffled, and\n"
    "times lumpsmith on them (median of `runs` runs, default 11, after one\n"
    "warm-up round; each round runs every command once). Work files go to work_dir (default: a new directory under\n"
    "/tmp) and are removed at the end unless --keep is given.\n"
    "\n"
    "Each time is compared with a floor, the least any tool must do for the\n"
    "same job (io_floor): for an import, read the map's lump and the surface\n"
    "file, write the lump back and sync it; for the export and the listing,\n"
    "read the lump and write it out. 'x floor' is the median time divided by\n"
    "that floor's median.\n"
    "\n"
    "Exit status: 0 when every target is met, 2 when one is missed, 1 when\n"
    "the benchmark could not run.\n";

struct measurement {
    double median_ms;
    long peak_kib;  // largest resident set of any run
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
bool run_once(const std::vector<std::string> &args, double *ms, long *peak_kib)
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
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs every command once per round, round after round, so that whatever
// the machine does meanwhile (writeback, memory compaction) falls on all of
// them alike rather than on whichever ran then; one warm-up round first.
std::vector<measurement> measure_together(const std::vector<std::vector<std::string>> &commands, int runs)
{
    std::vector<std::vector<double>> times(commands.size());
    std::vector<measurement> results(commands.size(), measurement{0, 0});
    for (int round = 0; round <= runs; ++round) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            double ms = 0;
            long kib = 0;
            if (!run_once(commands[c], &ms, &kib))
                fail(commands[c][0] + " " + commands[c][1] + " " + commands[c][2] + " failed");
            if (round == 0)
                continue;
            times[c].push_back(ms);
            results[c].peak_kib = std::max(results[c].peak_kib, kib);
        }
    }
    for (std::size_t c = 0; c < commands.size(); ++c) {
        std::sort(times[c].begin(), times[c].end());
        results[c].median_ms = times[c][times[c].size() / 2];
    }
    return results;
}

const char *const SETS[] = {"base", "outdoor", "industrial", "castle", "city", "sewer", "space", "common"};
const char *const THINGS[] = {"floor", "wall", "ceiling", "trim", "panel", "crate", "pipe", "door", "window",
                              "beam"};

enum line_order { IN_LUMP_ORDER, SORTED, SHUFFLED, ORDER_COUNT };
const char *const ORDER_LABELS[ORDER_COUNT] = {"-si", "-si sort", "-si shuf"};

struct generated {
    std::string map_path;
    std::string surface_paths[ORDER_COUNT];
    std::size_t lump_bytes;
};

bool write_lines(const std::string &path, const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line;
    return write_bytes(path, bytes(text.begin(), text.end()));
}

void write_map_and_surfaces(const generated &g, std::size_t count)
{
    std::vector<map_record> records;
    records.reserve(count);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned material = static_cast<unsigned>(i % SURFACE_COUNT);
        char name[NAME_SIZE + 1];
        std::snprintf(name, sizeof name, "textures/%s/%s_%s_%zu", SETS[i % 8], THINGS[(i / 8) % 10],
                      surface_names[material], i);
        const std::uint32_t low = static_cast<std::uint32_t>(i * 2654435761u) & 0xFFF7B;
        records.push_back({name, set_surface_index(low, material), 0x1});
        // Every line names its record and gives it another surface.
        lines.push_back(std::string(name) + " = " + surface_names[(material + 7) % SURFACE_COUNT] + "\n");
    }
    bool written = write_bytes(g.map_path, build_map(build_lump(records), 4096, 65536)) &&
                   write_lines(g.surface_paths[IN_LUMP_ORDER], lines);
    // No name is a prefix of another followed by " = ", so sorting the lines sorts the names.
    std::sort(lines.begin(), lines.end());
    written = written && write_lines(g.surface_paths[SORTED], lines);
    std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
    written = written && write_lines(g.surface_paths[SHUFFLED], lines);
    _exit(written ? 0 : 1);
}

// Generated in a child process: a child forked later starts out with its
// parent's resident pages in its peak, so the parent stays small.
generated generate(const std::string &dir, std::size_t count)
{
    const std::string stem = dir + "/map" + std::to_string(count);
    const generated g{stem + ".bsp", {stem + ".txt", stem + ".sorted.txt", stem + ".shuffled.txt"}, count * RECORD_SIZE};
    work_files.push_back(g.map_path);
    for (const std::string &path : g.surface_paths)
        work_files.push_back(path);
    const pid_t pid = fork();
    if (pid == 0)
        write_map_and_surfaces(g, count);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("cannot write the work files in " + dir);
    return g;
}

bool target(const std::string &what, double value, double limit)
{
    std::printf("  %-44s %6.2f  <= %.2f  %s\n", what.c_str(), value, limit, value <= limit ? "met" : "MISSED");
    return value <= limit;
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
    const std::string tool = LUMPSMITH_BINARY;
    const std::string floor_tool = IO_FLOOR_BINARY;
    std::printf("lumpsmith benchmark: median of %d runs; work files in %s (%s)\n\n", runs, dir.c_str(),
                keep_files ? "kept" : "removed at the end");
    std::printf("%-8s %-9s %10s %9s %10s\n", "records", "command", "median ms", "x floor", "peak MiB");

    const std::size_t counts[2] = {200000, 400000};
    double import_ratio[2][ORDER_COUNT];
    bool met = true;
    for (int c = 0; c < 2; ++c) {
        const generated g = generate(dir, counts[c]);
        enum { IMPORT_FLOOR, READ_FLOOR, EXPORT, LISTING, FIRST_IMPORT };
        std::vector<std::vector<std::string>> commands = {{floor_tool, "import", g.map_path, g.surface_paths[0]},
                                                          {floor_tool, "read", g.map_path},
                                                          {tool, "-se", g.map_path},
                                                          {tool, "-tl", g.map_path}};
        for (int o = 0; o < ORDER_COUNT; ++o)
            commands.push_back({tool, "-si", g.map_path, g.surface_paths[o]});
        const std::vector<measurement> m = measure_together(commands, runs);
        const auto row = [&](const char *what, const measurement &taken, const measurement &floor) {
            std::printf("%-8zu %-9s %10.2f %9.2f %10.1f\n", counts[c], what, taken.median_ms,
                        taken.median_ms / floor.median_ms, taken.peak_kib / 1024.0);
            return taken.median_ms / floor.median_ms;
        };
        row("floor -si", m[IMPORT_FLOOR], m[IMPORT_FLOOR]);
        const double budget_mib = g.lump_bytes / 1048576.0 + 16;
        long import_peak = 0;
        for (int o = 0; o < ORDER_COUNT; ++o) {
            import_ratio[c][o] = row(ORDER_LABELS[o], m[FIRST_IMPORT + o], m[IMPORT_FLOOR]);
            import_peak = std::max(import_peak, m[FIRST_IMPORT + o].peak_kib);
        }
        row("floor -se", m[READ_FLOOR], m[READ_FLOOR]);
        const double export_ratio = row("-se", m[EXPORT], m[READ_FLOOR]);
        const double listing_ratio = row("-tl", m[LISTING], m[READ_FLOOR]);
        std::printf("\n");
        const std::string n = std::to_string(counts[c]);
        met = target("import in lump order " + n + " / floor", import_ratio[c][IN_LUMP_ORDER], 1.3) && met;
        met = target("import sorted " + n + " / floor", import_ratio[c][SORTED], 2) && met;
        met = target("import shuffled " + n + " / floor", import_ratio[c][SHUFFLED], 2) && met;
        met = target("export " + n + " / floor", export_ratio, 2) && met;
        met = target("listing " + n + " / floor", listing_ratio, 2) && met;
        met = target("import peak MiB " + n + " (lump + 16 MiB)", import_peak / 1024.0, budget_mib) && met;
        std::printf("\n");
    }
    for (int o = 0; o < ORDER_COUNT; ++o)
        met = target(std::string("growth of ") + ORDER_LABELS[o] + " x floor, 400000 / 200000",
                     import_ratio[1][o] / import_ratio[0][o], 1.2) && met;
    std::printf("\n%s\n", met ? "all targets met" : "a target was MISSED (exit status 2)");
    return met ? 0 : 2;
}
