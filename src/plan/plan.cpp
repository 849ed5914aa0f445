// lumpsmith-plan [--surfaces FILE] [--heights LOW:HIGH] [--frame all]
// [--size N] SOURCE... OUTPUT: draws each map the sources hold as the game
// loads it, seen from above and coloured by material, and says on standard
// output what share of the picture each material covers. A SOURCE is a
// map, a .pk3 archive or a game folder (src/game); with one map OUTPUT is
// its picture, a .png or an .svg, with several a folder that gets NAME.png
// for each. A picture is written whole or not at all, and replaces only a
// picture. Exit status: 0, 1 after an Error line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "game/game_files.h"
#include "game/matching.h"
#include "game/whole_output.h"
#include "plan/picture.h"
#include "surfaces/surfaces.h"

namespace {

constexpr int MIN_SIZE = 16, MAX_SIZE = 4096;
constexpr const char *USAGE = "[--surfaces FILE] [--heights LOW:HIGH] [--frame all] [--size N] SOURCE... OUTPUT";

struct plan_options {
    bool surfaces = false, sliced = false, whole = false;
    std::int64_t low = 0, high = 0;  // in height steps
    int size = 1024;
};
plan_options options;

// A map to draw: an entry of the game's files, or a map file given itself.
struct map_job {
    std::string label, name;  // name: the file name without its folder and .bsp
    const archive_entry *entry = nullptr;
    const char *path = nullptr;
};

struct run {
    std::string surfaces;  // the surface file's text
    const char *surfaces_path = nullptr;
    std::string output;
    bool into_folder = false;
    game_files files;
    std::vector<struct stat> sources;  // what a picture must never replace
};

struct map_result {
    std::string lines, error, bad_faces;
};

bool same_inode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Replaces path with bytes, whole or not at all (write_whole). Only a
// picture is replaced, never a source or another file.
std::string write_picture(const run &r, const std::string &path, const std::string &bytes)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        char start[8] = {};
        struct stat opened;
        std::string why;
        std::FILE *old = S_ISREG(st.st_mode) ? open_regular_file(path, &opened, &why) : nullptr;
        const bool picture = old != nullptr && std::fread(start, 1, sizeof start, old) > 0 &&
                             (std::memcmp(start, "\x89PNG", 4) == 0 || std::memcmp(start, "<svg", 4) == 0);
        if (old != nullptr)
            std::fclose(old);
        const bool source = std::any_of(r.sources.begin(), r.sources.end(), [&](const struct stat &s) { return same_inode(s, st); });
        if (!picture || source)
            return "Refusing to write " + escaped(path) + ": it exists and is " + (source ? "a source" : "not a picture");
    }
    return write_whole(path, true, [&](int fd, const std::string &) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno != EINTR)
                return std::string(std::strerror(errno));
            done += n > 0 ? std::size_t(n) : 0;
        }
        return std::string();
    }, &st);
}

// Reads a map file given as a source whole, under a shared lock as the
// import's readers take; "" or an Error line's words.
std::string read_map_file(const char *path, std::string *bytes)
{
    struct stat st;
    std::string why;
    named_file map{open_regular_file(path, &st, &why), path};
    if (map.stream == nullptr)
        return "Cannot read " + escaped(path) + ": " + why;
    failure f = lock_map(map, F_RDLCK, stderr);
    if (f.status == NO_FAILURE && fstat(fileno(map.stream), &st) != 0)
        f = failure{MAP_READ_FAILED, path, errno};
    // The size is the file's own, taken under the lock, not an archive's
    // claim: allocated at once, a large map is not copied as a buffer grows.
    if (f.status == NO_FAILURE) {
        bytes->resize(static_cast<std::size_t>(st.st_size));
        if (std::fread(bytes->data(), 1, bytes->size(), map.stream) != bytes->size())
            f = failure{MAP_READ_FAILED, path, std::ferror(map.stream) ? errno : 0};
    }
    std::fclose(map.stream);
    return f.status == NO_FAILURE ? "" : describe_failure(f);
}

// Draws one map and writes its picture.
void take_map(const run &r, game_reader *reader, const map_job &job, map_result *result)
{
    std::string bytes;
    result->error = job.entry != nullptr ? read_entry(r.files, reader, *job.entry, job.entry->size, &bytes)
                                         : read_map_file(job.path, &bytes);
    map_geometry g;
    if (!result->error.empty() || !(result->error = read_geometry(bytes, job.label.c_str(), &g)).empty())
        return;
    bytes = std::string();
    plan_page page{&g, nullptr, {}, std::vector<bool>(g.map.lump.record_count), job.name, r.surfaces_path ? r.surfaces_path : "",
                   options.sliced};
    for (std::size_t i = 0; i < g.map.lump.record_count; ++i)
        page.surface_of_record.push_back(surface_flags_of_record(g.map.lump, i) >> SURFACE_SHIFT);
    if (r.surfaces_path != nullptr) {
        texture_lump edited;
        std::size_t changed;
        const failure f = match_surface_text(g.map, job.label.c_str(), r.surfaces, r.surfaces_path, &edited, &changed, nullptr);
        if (f.status != NO_FAILURE) {
            result->error = describe_failure(f);
            return;
        }
        for (std::size_t i = 0; i < g.map.lump.record_count; ++i) {
            page.surface_of_record[i] = surface_flags_of_record(edited, i) >> SURFACE_SHIFT;
            page.changed_record[i] = page.surface_of_record[i] != surface_flags_of_record(g.map.lump, i) >> SURFACE_SHIFT;
        }
    }
    floor_plan plan;
    draw_plan(g, page.surface_of_record, frame_plan(g, options.whole, options.size), options.sliced, options.low,
              options.high, &plan);
    page.plan = &plan;
    const std::string path = r.into_folder ? r.output + "/" + job.name + ".png" : r.output;
    std::string picture;
    if (ends_with_folded(path, ".svg"))
        plan_svg(page, &picture);
    else if (const std::string why = plan_png(page, &picture); !why.empty()) {
        result->error = "Cannot write " + escaped(path) + ": " + why;
        return;
    }
    if ((result->error = write_picture(r, path, picture)) != "")
        return;
    char size[96];
    std::snprintf(size, sizeof size, ", %dx%d pixels, %.2f units a pixel\n", plan.view.width, plan.view.height, plan.view.scale);
    result->lines = job.label + ": " + escaped(path) + size;
    for (const material_share &share : plan.shares)
        result->lines += share_line(plan, share) + "\n";
    if (g.faces_past_end)
        result->bad_faces = "Cannot draw the faces of " + job.label + ": its faces lump reaches past the end of the file";
    else if (g.bad_faces > 0)
        result->bad_faces = "Cannot draw every face of " + job.label + ": " + std::to_string(g.bad_faces) +
                            " left out, pointing outside the map's lumps";
}

// Draws every map on every core; a map that runs out of memory gets an
// Error line of its own.
void take_maps(const run &r, const std::vector<map_job> &jobs, std::vector<map_result> *results)
{
    results->resize(jobs.size());
    std::vector<std::size_t> archives;
    for (const map_job &job : jobs)
        archives.push_back(job.entry != nullptr ? job.entry->archive : SIZE_MAX);
    take_on_every_core(archives, [&](game_reader *reader, std::size_t m) { take_map(r, reader, jobs[m], &(*results)[m]); },
                       [&](std::size_t m) { (*results)[m] = {"", "Cannot read " + jobs[m].label + ": " + std::strerror(ENOMEM), ""}; });
}

std::string map_name(const std::string &path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    return ends_with_folded(name, ".bsp") ? name.substr(0, name.size() - 4) : name;
}

// The maps of the sources: map files as given, and the game's copy of each
// map in the archives and folders; appends Error lines' words for the rest.
std::vector<map_job> find_maps(run *r, char **sources, int count, std::vector<std::string> *errors)
{
    std::vector<map_job> jobs;
    std::vector<std::string> archives;
    for (int a = 0; a < count; ++a) {
        struct stat st;
        if (stat(sources[a], &st) != 0) {
            errors->push_back("Cannot open " + escaped(sources[a]) + ": " + std::strerror(errno));
            continue;
        }
        r->sources.push_back(st);
        // A zip archive is told from a map as the map's reader tells it.
        unsigned char start[HEADER_SIZE];
        bsp_header header;
        struct stat opened;
        std::string why;
        std::FILE *file = S_ISREG(st.st_mode) ? open_regular_file(sources[a], &opened, &why) : nullptr;
        const bool zip = file != nullptr &&
                         check_header(sources[a], start, std::fread(start, 1, sizeof start, file), 0, &header).status == MAP_ZIP_ARCHIVE;
        if (file != nullptr)
            std::fclose(file);
        if (S_ISDIR(st.st_mode) || zip)
            archives.push_back(sources[a]);
        else
            jobs.push_back({escaped(sources[a]), map_name(sources[a]), nullptr, sources[a]});
    }
    open_game_files(archives, &r->files, errors);
    for (const auto &[key, entry] : r->files.winners)
        if (ends_with(key, ".bsp"))
            jobs.push_back({entry_label(r->files, entry), map_name(entry.name), &entry, nullptr});
    for (std::size_t a = 0; a < r->files.archives.size(); ++a) {
        struct stat st;
        if (stat(r->files.archives[a].c_str(), &st) == 0)
            r->sources.push_back(st);
    }
    return jobs;
}

// Where OUTPUT cannot take the pictures of these maps, the words why; "".
std::string output_fault(run *r, const std::vector<map_job> &jobs)
{
    struct stat st;
    const bool folder = stat(r->output.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const std::string refusing = "Refusing to write " + escaped(r->output) + ": ";
    if (jobs.size() == 1 && !folder)
        return ends_with_folded(r->output, ".png") || ends_with_folded(r->output, ".svg")
                   ? ""
                   : refusing + "a picture's name ends in .png or .svg";
    r->into_folder = true;
    std::vector<std::string> names;
    for (const map_job &job : jobs)
        names.push_back(game_key(job.name));
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end())
        return refusing + "two maps of the sources have the name " + escaped(*std::adjacent_find(names.begin(), names.end()));
    if (!folder && mkdir(r->output.c_str(), 0777) != 0)
        return errno == EEXIST ? refusing + "the sources hold " + std::to_string(jobs.size()) + " maps, so it must be a folder"
                               : "Cannot make the folder " + escaped(r->output) + ": " + std::strerror(errno);
    return "";
}

failure draw(invocation &inv)
{
    run r;
    r.output = inv.argv[inv.argc - 1];
    const int first = options.surfaces ? 2 : 1;
    if (options.surfaces) {
        r.surfaces_path = inv.surfaces.path;
        if (const failure f = read_surface_text(inv.surfaces, &r.surfaces); f.status != NO_FAILURE)
            return f;
    }
    std::vector<std::string> errors;
    const std::string said = options.surfaces ? surface_text_errors(r.surfaces, r.surfaces_path) : "";
    std::fputs(said.c_str(), stderr);
    if (!said.empty())
        errors.push_back("Refusing to write " + escaped(r.output) +
                         ": the surface file has errors (above), so the plan would not show what an import leaves");
    if (const std::string why = open_legend_font(); errors.empty() && !why.empty())
        errors.push_back(why);
    const std::vector<map_job> jobs = errors.empty() ? find_maps(&r, inv.argv + first, inv.argc - 1 - first, &errors)
                                                     : std::vector<map_job>{};
    if (errors.empty() && jobs.empty())
        errors.push_back("Refusing to write " + escaped(r.output) + ": the sources hold no map");
    if (const std::string why = errors.empty() ? output_fault(&r, jobs) : ""; !why.empty())
        errors.push_back(why);
    std::vector<map_result> results;
    if (errors.empty())
        take_maps(r, jobs, &results);
    for (const map_result &result : results) {
        std::fputs(result.lines.c_str(), stdout);
        for (const std::string *error : {&result.error, &result.bad_faces})
            if (!error->empty())
                errors.push_back(*error);
    }
    for (const std::string &error : errors)
        inv.status = report(error);
    return ok();
}

// Reads a number from text to its end; false when it is none or not finite.
bool read_number(const char *text, char end, double *value, const char **rest)
{
    char *stop;
    errno = 0;
    *value = std::strtod(text, &stop);
    *rest = stop;
    return stop != text && *stop == end && errno == 0 && std::isfinite(*value);
}

// Takes the options from the front of argv; false on one it cannot use.
bool take_options(int argc, char **argv, int *at, const char **surfaces)
{
    for (; *at < argc && argv[*at][0] == '-' && argv[*at][1] == '-'; ++*at) {
        const std::string option = argv[*at];
        if (option == "--")
            return ++*at, true;
        if (*at + 1 >= argc)
            return false;
        const char *value = argv[++*at];
        double low, high;
        const char *rest;
        if (option == "--surfaces")
            *surfaces = value;
        else if (option == "--frame" && std::strcmp(value, "all") == 0)
            options.whole = true;
        else if (option == "--size") {
            char *stop;
            const long size = std::strtol(value, &stop, 10);
            if (*stop != '\0' || size < MIN_SIZE || size > MAX_SIZE)
                return false;
            options.size = static_cast<int>(size);
        } else if (option == "--heights" && read_number(value, ':', &low, &rest) && read_number(rest + 1, '\0', &high, &rest) &&
                   low <= high && std::fabs(high) < 1e8 && std::fabs(low) < 1e8) {
            options.sliced = true;
            options.low = std::llround(low * HEIGHT_STEPS);
            options.high = std::llround(high * HEIGHT_STEPS);
        } else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    command_row row = {{}, draw, 1};
    int at = 1;
    const char *surfaces = nullptr;
    // A bad option is answered as a wrong count is: with the usage line.
    if (!take_options(argc, argv, &at, &surfaces))
        return run_companion(row, 1, argv, 3, INT_MAX, USAGE);
    std::vector<char *> args = {argv[0]};
    if ((options.surfaces = surfaces != nullptr)) {
        args.push_back(const_cast<char *>(surfaces));
        row.files[0] = {1, SURFACE_FILE};
    }
    args.insert(args.end(), argv + at, argv + argc);
    args.push_back(nullptr);
    const int count = static_cast<int>(args.size()) - 1;
    return run_companion(row, count, args.data(), options.surfaces ? 4 : 3, INT_MAX, USAGE);
}
