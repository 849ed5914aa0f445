// Benchmark: generates maps of 200,000 and 400,000 records with a surface
// file naming every record, then times -si, -se and -tl of the built binary
// against `cat` of the same two files as the floor, and reports the import's
// peak memory. Usage: lumpsmith_bench [runs] [work_dir]
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bsp/bsp_lump.h"
#include "map_builder.h"
#include "surfaces/surfaces.h"

namespace {

struct measurement {
    double median_ms;
    long peak_kib;  // largest resident set of any run
};

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
        execvp(argv[0], argv.data());
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

measurement measure(const std::vector<std::string> &args, int runs)
{
    std::vector<double> times;
    long peak = 0;
    double ms = 0;
    long kib = 0;
    run_once(args, &ms, &kib);  // warms the page cache; not counted
    for (int i = 0; i < runs; ++i) {
        if (!run_once(args, &ms, &kib)) {
            std::fprintf(stderr, "bench: %s %s failed\n", args[0].c_str(), args[1].c_str());
            std::exit(1);
        }
        times.push_back(ms);
        peak = std::max(peak, kib);
    }
    std::sort(times.begin(), times.end());
    return measurement{times[times.size() / 2], peak};
}

const char *const SETS[] = {"base", "outdoor", "industrial", "castle", "city", "sewer", "space", "common"};
const char *const THINGS[] = {"floor", "wall", "ceiling", "trim", "panel", "crate", "pipe", "door", "window",
                              "beam"};

struct generated {
    std::string map_path;
    std::string surface_path;
    std::string shuffled_path;  // the same lines in random order
    std::size_t lump_bytes;
};

void write_map_and_surfaces(const generated &g, std::size_t count)
{
    std::vector<map_record> records;
    records.reserve(count);
    std::string surfaces;
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
        surfaces += lines.back();
    }
    if (!write_bytes(g.map_path, build_map(build_lump(records), 4096, 65536)) ||
        !write_bytes(g.surface_path, bytes(surfaces.begin(), surfaces.end()))) {
        std::fprintf(stderr, "bench: cannot write %s\n", g.map_path.c_str());
        _exit(1);
    }
    std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
    std::string shuffled;
    for (const std::string &line : lines)
        shuffled += line;
    if (!write_bytes(g.shuffled_path, bytes(shuffled.begin(), shuffled.end()))) {
        std::fprintf(stderr, "bench: cannot write %s\n", g.map_path.c_str());
        _exit(1);
    }
}

// Generated in a child process: a child forked later starts out with its
// parent's resident pages in its peak, so the parent stays small.
generated generate(const std::string &dir, std::size_t count)
{
    const std::string stem = dir + "/map" + std::to_string(count);
    const generated g{stem + ".bsp", stem + ".txt", stem + ".shuffled.txt", count * RECORD_SIZE};
    const pid_t pid = fork();
    if (pid == 0) {
        write_map_and_surfaces(g, count);
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::exit(1);
    return g;
}

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::string dir = argc > 2 ? argv[2] : "";
    if (dir.empty()) {
        char pattern[] = "/tmp/lumpsmith-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        dir = pattern;
    }
    const std::string tool = LUMPSMITH_BINARY;
    std::printf("lumpsmith benchmark: median of %d runs, work files in %s\n\n", runs, dir.c_str());
    std::printf("%-8s %-7s %10s %9s %11s\n", "records", "command", "median ms", "x floor", "peak MiB");

    double import_ms[2] = {0, 0};
    double ratios[3] = {0, 0, 0};  // import, export and listing of 200,000 to the floor
    bool memory_within = true;
    const std::size_t counts[2] = {200000, 400000};
    for (int c = 0; c < 2; ++c) {
        const generated g = generate(dir, counts[c]);
        const measurement floor = measure({"cat", g.map_path, g.surface_path}, runs);
        const measurement import = measure({tool, "-si", g.map_path, g.surface_path}, runs);
        const measurement shuffled = measure({tool, "-si", g.map_path, g.shuffled_path}, runs);
        const measurement exported = measure({tool, "-se", g.map_path}, runs);
        const measurement listed = measure({tool, "-tl", g.map_path}, runs);
        const auto row = [&](const char *what, const measurement &m) {
            std::printf("%-8zu %-7s %10.2f %9.2f %11.1f\n", counts[c], what, m.median_ms, m.median_ms / floor.median_ms,
                        m.peak_kib / 1024.0);
        };
        row("cat", floor);
        row("-si", import);
        row("-si*", shuffled);
        row("-se", exported);
        row("-tl", listed);
        const double budget_mib = g.lump_bytes / 1048576.0 + 16;
        std::printf("%-8zu import peak %.1f MiB; lump %.1f MiB + 16 MiB = %.1f MiB: %s\n\n", counts[c],
                    import.peak_kib / 1024.0, g.lump_bytes / 1048576.0, budget_mib,
                    import.peak_kib / 1024.0 <= budget_mib ? "within" : "OVER");
        import_ms[c] = import.median_ms;
        memory_within = memory_within && import.peak_kib / 1024.0 <= budget_mib;
        if (c == 0) {
            ratios[0] = import.median_ms / floor.median_ms;
            ratios[1] = exported.median_ms / floor.median_ms;
            ratios[2] = listed.median_ms / floor.median_ms;
        }
    }
    const double growth = import_ms[1] / import_ms[0];
    std::printf("(-si* imports the same lines shuffled, for comparison; no target)\n\ntargets:\n");
    const auto target = [](const char *what, double value, double limit) {
        std::printf("  %-40s %6.2f  <= %.1f  %s\n", what, value, limit, value <= limit ? "met" : "MISSED");
        return value <= limit;
    };
    bool met = target("import 400000 / import 200000", growth, 2.2);
    met = target("import 200000 / floor", ratios[0], 6) && met;
    met = target("export 200000 / floor", ratios[1], 5) && met;
    met = target("listing 200000 / floor", ratios[2], 5) && met;
    std::printf("  %-40s %s\n", "import peak <= lump + 16 MiB", memory_within ? "met" : "MISSED");
    return met && memory_within ? 0 : 2;
}
