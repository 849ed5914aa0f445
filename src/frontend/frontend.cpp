#include "frontend/frontend.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "commands/texture_commands.h"
#include "surfaces/surfaces.h"

namespace {

bool on_terminal(named_file out)
{
    return isatty(fileno(out.stream));
}

struct switch_row {
    const char *what, *switch_text, *arguments;  // the usage line's words
    int min_count, max_count;  // total argument counts accepted, program name included
    command_row command;
};

// -tc is a placeholder, which reads nothing from its map.
const switch_row SWITCHES[] = {
    {"list textures", "-tl", " bsp_file", 3, 3,
     {{{2, MAP}}, [](invocation &inv) { return list_textures(inv.reading, inv.output, on_terminal(inv.output)); }, 1}},
    {"copy textures", "-tc", " bsp_file src_dir dest_dir", 5, 5,
     {{{2, UNREAD_MAP}}, [](invocation &) { std::fputs("Not yet implemented.\n", stderr); return ok(); }, 1}},
    {"export surface file", "-se", " bsp_file [surface_file]", 3, 4,
     {{{2, MAP}, {3, OUTPUT}},
      [](invocation &inv) { return export_surface_file(inv.reading, inv.output, on_terminal(inv.output), stderr); }, 1}},
    {"import surface file", "-si", " bsp_file surface_file", 4, 4,
     {{{2, MAP_TO_UPDATE}, {3, SURFACE_FILE}},
      [](invocation &inv) { return import_surface_file(inv.map, &inv.reading, inv.surfaces, stderr); }, 1}},
    {"surface list", "-sl", "", 2, 2, {{}, [](invocation &) { list_surfaces(stdout); return ok(); }, 1}},
};

int print_usage(const char *program)
{
    std::fputs("lumpsmith:\n\n", stderr);
    for (const switch_row &row : SWITCHES)
        std::fprintf(stderr, "%-20s: %s %s%s\n", row.what, program, row.switch_text, row.arguments);
    return 1;
}

const command_row *find_command(int argc, char **argv)
{
    for (const switch_row &row : SWITCHES)
        if (argc > 1 && std::strcmp(argv[1], row.switch_text) == 0)
            return argc >= row.min_count && argc <= row.max_count ? &row.command : nullptr;
    return nullptr;
}

// With a standard descriptor closed, the next file opened would take its
// number, and what was meant for it would go into the map. False when one stays closed.
bool open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return false;
    return true;
}

// Opens path for its role; "" or why not.
std::string open_file(const char *path, file_role role, named_file *file)
{
    const bool map = role != OUTPUT && role != SURFACE_FILE;
    const int flags = role == OUTPUT ? O_WRONLY | O_CREAT : role == MAP_TO_UPDATE ? O_RDWR : O_RDONLY;
    const int fd = open(path, flags | (map ? O_NONBLOCK : 0) | O_CLOEXEC | O_NOCTTY, 0666);
    struct stat st;
    if (fd >= 0 && map && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        fcntl(fd, F_SETFL, flags);
    *file = named_file{fd < 0 ? nullptr : fdopen(fd, role == OUTPUT ? "w" : role == MAP_TO_UPDATE ? "r+b" : "r"), path};
    if (file->stream == nullptr && fd >= 0)
        close(fd);
    return file->stream == nullptr ? "Cannot open " + escaped(path) : "";
}

int refuse_output_onto_map(const named_file &map, const char *output)
{
    return report("Refusing to write " + escaped(output) + ": it is the same file as " + escaped(map.path));
}

// A map just opened: standard output may not be it, and standard error
// that is the map leaves nowhere safe to say so. 1 when the command must not run.
int guard_standard_streams(const named_file &map)
{
    return is_the_map(map, STDERR_FILENO) ||
           (is_the_map(map, STDOUT_FILENO) && refuse_output_onto_map(map, STANDARD_OUTPUT));
}

// Checks and prepares a file just opened for its role; 0, or 1 after saying
// why the command cannot run. A map to read is left *unread.
int take_file(const file_slot &slot, named_file file, invocation *inv, bool *unread)
{
    switch (slot.role) {
    case SURFACE_FILE:
        inv->surfaces = file;
        return 0;
    case OUTPUT: {
        // Checked on the file opened, so a link changed meanwhile cannot
        // make it empty the map.
        struct stat st;
        if (inv->map.stream != nullptr && is_the_map(inv->map, fileno(file.stream)))
            return refuse_output_onto_map(inv->map, file.path);
        if (fstat(fileno(file.stream), &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fileno(file.stream), 0) != 0))
            return report(describe_failure(failure{OUTPUT_UNWRITABLE, file.path, errno}));
        inv->output = file;
        return 0;
    }
    default:
        inv->map = file;
        *unread = slot.role != UNREAD_MAP;
        return guard_standard_streams(file);
    }
}

// Reads the row's map, if one waits to be read; 0, or 1 after saying why
// not. A map that holds text where a surface file follows was most likely
// given in its place, and the Error line says so.
int read_waiting_map(const command_row &row, invocation *inv, bool *unread)
{
    if (!*unread)
        return 0;
    *unread = false;
    failure f = read_map_shared(inv->map, stderr, &inv->reading);
    f.holds_text = f.holds_text && std::any_of(std::begin(row.files), std::end(row.files),
                                               [](const file_slot &s) { return s.role == SURFACE_FILE; });
    return f.status == NO_FAILURE ? 0 : report(describe_failure(f));
}

// A file the front end opened, and what it is to the command.
struct opened_file {
    named_file file;
    file_role role;
};

// Opens the row's files in order, recording them in opened[] for closing,
// and reads the map once they are open, but before an output is: the files
// open in the row's order, and no output is created or emptied for a map
// that cannot be read. 0, or 1 after saying why the command cannot run.
int open_files(const command_row &row, invocation *inv, opened_file opened[], int *count)
{
    bool unread = false;
    for (const file_slot &slot : row.files) {
        const int arg = slot.arg < 0 ? inv->argc + slot.arg : slot.arg;
        if (slot.role == NO_FILE || arg >= inv->argc)
            continue;
        if (slot.role == OUTPUT && read_waiting_map(row, inv, &unread) != 0)
            return 1;
        opened[*count].role = slot.role;
        if (const std::string why = open_file(inv->argv[arg], slot.role, &opened[*count].file); !why.empty())
            return report(why);
        if (take_file(slot, opened[(*count)++].file, inv, &unread) != 0)
            return 1;
    }
    return read_waiting_map(row, inv, &unread);
}

// Closes the streams, the last opened first; 1 after reporting the first
// that failed, if nothing was reported yet.
int close_streams(const opened_file opened[], int count, int failed)
{
    for (int f = count - 1; f >= 0; --f) {
        const named_file &file = opened[f].file;
        const bool written = opened[f].role == OUTPUT || opened[f].role == MAP_TO_UPDATE;
        const bool had_error = std::ferror(file.stream);
        errno = 0;
        const bool closed = std::fclose(file.stream) == 0;
        if ((had_error || !closed) && !failed)
            failed = report(describe_failure(failure{written ? OUTPUT_UNWRITABLE : INPUT_UNREADABLE, file.path,
                                                     closed ? 0 : errno}));
    }
    return failed;
}

}  // namespace

int report(const std::string &what)
{
    std::fprintf(stderr, "Error: %s\n", what.c_str());
    return 1;
}

int run_companion(const command_row &row, int argc, char **argv, int min_count, int max_count, const char *words)
{
    if (argc >= min_count && argc <= max_count)
        return run_command(row, argc, argv);
    std::fprintf(stderr, "usage: %s %s\n", argc > 0 ? argv[0] : "lumpsmith", words);
    return row.error_status;
}

int run_command_line(int argc, char **argv)
{
    const command_row *row = find_command(argc, argv);
    if (row == nullptr && open_standard_descriptors())
        return print_usage(argc > 0 && argv[0] ? argv[0] : "lumpsmith");
    return row == nullptr ? 1 : run_command(*row, argc, argv);
}

int run_command(const command_row &row, int argc, char **argv)
{
    if (!open_standard_descriptors())
        return 1;
    invocation inv;
    inv.argc = argc;
    inv.argv = argv;
    opened_file opened[MAX_FILES];
    int count = 0, failed = 1;
    // Memory runs out only for a file too large for this process, before the map is written.
    try {
        if (open_files(row, &inv, opened, &count) == 0) {
            const failure f = row.run(inv);
            failed = f.status == NO_FAILURE ? 0 : report(describe_failure(f));
        }
    } catch (const std::bad_alloc &) {
        const char *path = inv.map.stream ? inv.map.path : inv.surfaces.stream ? inv.surfaces.path : argv[0];
        failed = report(describe_failure(failure{OUT_OF_MEMORY, path, ENOMEM}));
    }
    failed = close_streams(opened, count, failed);
    // Standard output stays open, but what could not be written to it is lost all the same.
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && !failed)
        failed = report(describe_failure(failure{OUTPUT_UNWRITABLE, STANDARD_OUTPUT, errno}));
    return failed ? row.error_status : inv.status;
}
