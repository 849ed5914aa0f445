// libFuzzer target: arbitrary bytes as a map and a surface file, through
// the listing, the export, the import and the whole command line, each
// checked against a plain reading of the same bytes written here without
// the tool's code. Any file operation may be made to fail on the way.
//
// Input layout:
//   byte 0      which command line to run (an index into COMMAND_LINES)
//   byte 1      which file operation fails: phase (byte % 4: listing,
//               export, import, command line) and call number (byte / 4;
//               0 means none fails)
//   bytes 2..3  the map's length, little-endian, capped at what is there
//   then the map, then the surface file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/texture_commands.h"
#include "frontend/frontend.h"
#include "io_faults.h"
#include "map_builder.h"
#include "plain_reading.h"
#include "surfaces/surfaces.h"

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

// ---- Running the tool ----

struct memory_file {
    int fd;
};

std::FILE *stream_over(memory_file file, const bytes &data, const char *mode)
{
    require(ftruncate(file.fd, 0) == 0);
    require(pwrite(file.fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size()));
    std::FILE *stream = fdopen(dup(file.fd), mode);
    require(stream != nullptr && fseek(stream, 0, SEEK_SET) == 0);
    return stream;
}

bytes contents(memory_file file)
{
    struct stat st;
    require(fstat(file.fd, &st) == 0);
    bytes data(static_cast<std::size_t>(st.st_size));
    require(pread(file.fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size()));
    return data;
}

std::string text(const bytes &data)
{
    return std::string(data.begin(), data.end());
}

bytes bytes_of(const std::string &text)
{
    return bytes(text.begin(), text.end());
}

struct files {
    memory_file map, surfaces, out, err;
    std::string dir;  // real files for the command line
};

enum phase { LISTING, EXPORT, IMPORT, COMMAND_LINE };

// Arms the failure of the input's chosen call if it is for this phase.
void arm(int fault, phase p)
{
    disarm_io();
    if (fault % 4 == p && fault / 4 != 0)
        fail_io(IO_ANY, static_cast<unsigned long>(fault / 4));
}

bool disarm()
{
    const bool failed = io_fault_happened();
    disarm_io();
    return failed;
}

// Reads the map, then runs the listing or export on it; returns its output
// and status, or the reading's failure with no output.
failure_status run_lines(const files &f, const bytes &map, bool listing, std::string *out, std::string *err)
{
    std::FILE *bsp = stream_over(f.map, map, "rb");
    std::FILE *o = stream_over(f.out, bytes(), "w");
    std::FILE *e = stream_over(f.err, bytes(), "w");
    map_reading reading;
    failure_status status = read_map(named_file{bsp, "map.bsp"}, &reading).status;
    const named_file out_file{o, "out.txt"};
    if (status == NO_FAILURE)
        status = (listing ? list_textures(reading, out_file, false) : export_surface_file(reading, out_file, false, e)).status;
    require(std::fclose(e) == 0 && std::fclose(o) == 0 && std::fclose(bsp) == 0);
    *out = text(contents(f.out));
    *err = text(contents(f.err));
    return status;
}

failure_status run_import(const files &f, const bytes &map, const bytes &surfaces, bytes *after,
                       std::string *err)
{
    std::FILE *bsp = stream_over(f.map, map, "r+b");
    std::FILE *in = stream_over(f.surfaces, surfaces, "r");
    std::FILE *e = stream_over(f.err, bytes(), "w");
    // The import checks that its path still names the map it writes.
    const std::string path = "/proc/self/fd/" + std::to_string(f.map.fd);
    const named_file map_file{bsp, path.c_str()};
    map_reading reading;
    failure_status status = read_map_shared(map_file, e, &reading).status;
    if (status == NO_FAILURE)
        status = import_surface_file(map_file, &reading, named_file{in, "text.txt"}, e).status;
    require(std::fclose(e) == 0 && std::fclose(in) == 0);
    require(std::fclose(bsp) == 0);
    *after = contents(f.map);
    *err = text(contents(f.err));
    return status;
}

// Command lines over the files map.bsp (M), text.txt (T), out.txt (O) and
// a missing one (X), with the status each must end with.
enum outcome { USAGE, OK_ALWAYS, OK_IF_READABLE, FAILS };
struct command_line {
    std::vector<const char *> args;
    outcome expected;
};
const command_line COMMAND_LINES[] = {
    {{"-tl", "M"}, OK_IF_READABLE},      {{"-se", "M"}, OK_IF_READABLE},
    {{"-se", "M", "O"}, OK_IF_READABLE}, {{"-si", "M", "T"}, OK_IF_READABLE},
    {{"-si", "M", "M"}, OK_IF_READABLE}, {{"-se", "M", "M"}, FAILS},
    {{"-se", "X", "O"}, FAILS},          {{"-si", "X", "T"}, FAILS},
    {{"-si", "M", "X"}, FAILS},          {{"-tl", "X"}, FAILS},
    {{"-sl"}, OK_ALWAYS},                {{"-tc", "M", "a", "b"}, OK_ALWAYS},
    {{"-tc", "X", "a", "b"}, FAILS},     {{}, USAGE},
    {{"-tl"}, USAGE},                    {{"-tl", "M", "M"}, USAGE},
    {{"-si", "M"}, USAGE},               {{"-se", "M", "O", "T"}, USAGE},
    {{"-sl", "M"}, USAGE},               {{"-TL", "M"}, USAGE},
    {{"-tlx", "M"}, USAGE},              {{"-", "M"}, USAGE},
    {{"M"}, USAGE},                      {{"", "M"}, USAGE},
};

void check_command_line(const files &f, const command_line &row, int fault, const bytes &map,
                        const plain_map &m, const bytes &surfaces)
{
    const std::string map_path = f.dir + "/map.bsp";
    const std::string text_path = f.dir + "/text.txt";
    const std::string out_path = f.dir + "/out.txt";
    require(write_bytes(map_path, map));
    require(write_bytes(text_path, surfaces));
    require(write_bytes(out_path, {'o', 'l', 'd'}));
    std::vector<std::string> args = {"lumpsmith"};
    bool imports = false;
    for (const char *arg : row.args) {
        const std::string a = arg;
        args.push_back(a == "M" ? map_path : a == "T" ? text_path : a == "O" ? out_path : a == "X" ? f.dir + "/x" : a);
        imports = imports || a == "-si";
    }
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    arm(fault, COMMAND_LINE);
    const int status = run_command_line(static_cast<int>(args.size()), argv.data());
    const bool failed = disarm();
    const bytes after = read_bytes(map_path);
    int expected = row.expected == OK_ALWAYS || (row.expected == OK_IF_READABLE && m.readable) ? 0 : 1;
    if (failed)
        expected = 1;
    require(status == expected);
    if (imports && status == 0) {
        const bytes &applied = row.args[2][0] == 'M' ? map : surfaces;
        require(after == import_plainly(map, m, applied).map);
    } else {
        require(after == map);
    }
    // A failed export may leave part of its output; nothing else touches it.
    const std::string out = text(read_bytes(out_path));
    std::size_t refused;
    if (row.args.size() == 3 && std::strcmp(row.args[2], "O") == 0 && status == 0)
        require(out == expected_export(m, &refused));
    else if (!failed)
        require(out == "old");
}

std::string work_dir;

void remove_work_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(work_dir, ignored);
}

files open_files()
{
    files f{{memfd_create("map", 0)}, {memfd_create("surfaces", 0)}, {memfd_create("out", 0)},
            {memfd_create("err", 0)}, ""};
    require(f.map.fd >= 0 && f.surfaces.fd >= 0 && f.out.fd >= 0 && f.err.fd >= 0);
    // A filesystem in memory: the command line syncs what it imports.
    char pattern[] = "/dev/shm/lumpsmith-fuzz-XXXXXX";
    char fallback[] = "/tmp/lumpsmith-fuzz-XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (dir == nullptr)
        dir = mkdtemp(fallback);
    require(dir != nullptr);
    f.dir = work_dir = dir;
    std::atexit(remove_work_dir);
    // What the command line prints is checked through its files; the
    // listing on standard output goes nowhere.
    const int null = open("/dev/null", O_WRONLY);
    require(null >= 0 && dup2(null, 1) == 1);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const files f = open_files();
    if (size < 4)
        return 0;
    const int fault = data[1];
    const std::size_t map_size = std::min<std::size_t>(data[2] | static_cast<std::size_t>(data[3]) << 8, size - 4);
    const bytes map(data + 4, data + 4 + map_size);
    const bytes surfaces(data + 4 + map_size, data + size);
    const plain_map m = read_plainly(map);

    std::string out;
    std::string err;
    arm(fault, LISTING);
    failure_status status = run_lines(f, map, true, &out, &err);
    bool failed = disarm();
    require(failed ? status != NO_FAILURE : (status == NO_FAILURE) == m.readable);
    require(failed || !m.readable || out == expected_listing(m));
    require(m.readable || out.empty());

    std::size_t refused = 0;
    const std::string exported = expected_export(m, &refused);
    arm(fault, EXPORT);
    status = run_lines(f, map, false, &out, &err);
    failed = disarm();
    require(failed ? status != NO_FAILURE : (status == NO_FAILURE) == m.readable);
    if (!failed && m.readable) {
        require(out == exported);
        // Counted at line starts: a refused name may quote the phrase itself.
        std::size_t lines = 0;
        for (std::size_t at = 0; (at = err.find("Error: Not exporting record ", at)) != std::string::npos; ++at)
            lines += at == 0 || err[at - 1] == '\n';
        require(lines == refused);
    }

    bytes after;
    if (m.readable) {
        // The unedited export reads back: it changes nothing, unless records
        // that share a name have different surfaces, when the last line wins.
        require(run_import(f, map, bytes_of(exported), &after, &err) == NO_FAILURE);
        const plain_import own = import_plainly(map, m, bytes_of(exported));
        require(after == own.map);
        bool names_agree = true;
        for (const plain_record &a : m.records)
            for (const plain_record &b : m.records)
                names_agree = names_agree && (a.name != b.name || a.flags >> 20 == b.flags >> 20);
        require(!names_agree || after == map);
    }

    arm(fault, IMPORT);
    status = run_import(f, map, surfaces, &after, &err);
    failed = disarm();
    if (failed || !m.readable) {
        require(status != NO_FAILURE && after == map);
    } else {
        const plain_import expected = import_plainly(map, m, surfaces);
        require(status == NO_FAILURE && after == expected.map && err == expected.err);
        require(only_named_surfaces_changed(map, after, m, expected.named));
    }

    const std::size_t rows = sizeof COMMAND_LINES / sizeof COMMAND_LINES[0];
    check_command_line(f, COMMAND_LINES[data[0] % rows], fault, map, m, surfaces);
    return 0;
}
