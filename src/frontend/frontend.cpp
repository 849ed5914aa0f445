#include "frontend/frontend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "bsp/file_io.h"
#include "commands/texture_commands.h"
#include "surfaces/surfaces.h"

namespace {

constexpr std::size_t SURFACE_FILE_BUFFER = 1 << 16;
const char *const STANDARD_OUTPUT = "standard output";
constexpr file_slot NONE = {0, 0, nullptr};

int print_usage(const char *program)
{
    std::fputs("lumpsmith:\n\n", stderr);
    std::fprintf(stderr, "list textures       : %s -tl bsp_file\n", program);
    std::fprintf(stderr, "copy textures       : %s -tc bsp_file src_dir dest_dir\n", program);
    std::fprintf(stderr, "export surface file : %s -se bsp_file [surface_file]\n", program);
    std::fprintf(stderr, "import surface file : %s -si bsp_file surface_file\n", program);
    std::fprintf(stderr, "surface list        : %s -sl\n", program);
    return 1;
}

// -tl and -se write to the second file or standard output, escaping names for a terminal.
template <failure (*write_lines)(const map_reading &, named_file, bool, std::FILE *)>
failure write_record_lines(const invocation &inv)
{
    const named_file out = inv.files[1].stream ? inv.files[1] : named_file{stdout, STANDARD_OUTPUT};
    return write_lines(inv.map, out, isatty(fileno(out.stream)), stderr);
}

// -tc is a placeholder (copy_textures), which reads nothing from its map.
const command_row COMMANDS[] = {
    {"-tl", 3, 3, {map_to_read(2), NONE}, true, write_record_lines<list_textures>},
    {"-tc", 5, 5, {map_to_read(2), NONE}, false,
     [](const invocation &) { std::fputs("Not yet implemented.\n", stderr); return ok(); }},
    {"-se", 3, 4, {map_to_read(2), output_at(3)}, true, write_record_lines<export_surface_file>},
    {"-si", 4, 4, {map_to_update(2), surfaces_at(3)}, false,
     [](const invocation &inv) { return import_surface_file(inv.files[0], inv.files[1], stderr); }},
    {"-sl", 2, 2, {NONE, NONE}, false, [](const invocation &) { list_surfaces(stdout); return ok(); }},
};

const command_row *find_command(int argc, char **argv)
{
    for (const command_row &row : COMMANDS)
        if (argc > 1 && std::strcmp(argv[1], row.switch_text) == 0)
            return argc >= row.min_count && argc <= row.max_count ? &row : nullptr;
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

std::FILE *open_file(const char *path, const file_slot &slot)
{
    const int fd = open(path, slot.flags | O_CLOEXEC | O_NOCTTY, 0666);
    struct stat st;
    if (fd >= 0 && (slot.flags & O_NONBLOCK) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        fcntl(fd, F_SETFL, slot.flags & ~O_NONBLOCK);
    std::FILE *stream = fd < 0 ? nullptr : fdopen(fd, slot.mode);
    if (stream == nullptr && fd >= 0)
        close(fd);
    return stream;
}

int refuse_output_onto_map(const named_file &map, const char *output)
{
    return report("Refusing to write " + escaped(output) + ": it is the same file as " + escaped(map.path));
}

// A map just opened: standard output may not be it, and standard error
// that is the map leaves nowhere safe to say so.
int guard_standard_streams(const named_file &map)
{
    return is_the_map(map, STDERR_FILENO) ||
           (is_the_map(map, STDOUT_FILENO) && refuse_output_onto_map(map, STANDARD_OUTPUT));
}

// Opens the row's files and reads the map where it wants; 0, or 1 after saying why not.
int open_files(const command_row &row, int argc, invocation *inv)
{
    for (const file_slot &slot : row.files) {
        if (slot.mode == nullptr || slot.arg >= argc)
            break;
        const char *path = inv->argv[slot.arg];
        const named_file &file = inv->files[inv->opened] = named_file{open_file(path, slot), path};
        if (file.stream == nullptr)
            return report("Cannot open " + escaped(path));
        ++inv->opened;
        const named_file &map = inv->files[0];
        struct stat st;
        if (slot.flags & O_NONBLOCK) {
            if (guard_standard_streams(map) != 0)
                return 1;
            // Read whole before an output is opened, so that no output is
            // created or emptied for a map that cannot be read.
            const failure f = row.reads_map ? read_map_shared(map, stderr, &inv->map) : ok();
            if (f.status != NO_FAILURE)
                return report(describe_failure(f));
        } else if (slot.flags & O_CREAT) {
            // Checked on the file opened, so a link changed meanwhile cannot
            // make it empty the map.
            if (is_the_map(map, fileno(file.stream)))
                return refuse_output_onto_map(map, path);
            if (fstat(fileno(file.stream), &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fileno(file.stream), 0) != 0))
                return report(describe_failure(failure{OUTPUT_UNWRITABLE, path, errno}));
        } else {
            // Left to glibc, a surface file is read 4 KiB a system call: it
            // ignores the size asked for unless it is given the buffer too.
            static char buffer[SURFACE_FILE_BUFFER];
            std::setvbuf(file.stream, buffer, _IOFBF, sizeof buffer);
            populate(buffer, sizeof buffer);
        }
    }
    return 0;
}

// Closes the streams; 1 after reporting the first that failed, if nothing was reported yet.
int close_streams(const command_row &row, const invocation &inv, int failed)
{
    for (int f = inv.opened - 1; f >= 0; --f) {
        const failure_status status = row.files[f].flags & (O_WRONLY | O_RDWR) ? OUTPUT_UNWRITABLE : INPUT_UNREADABLE;
        const bool had_error = std::ferror(inv.files[f].stream);
        errno = 0;
        const bool closed = std::fclose(inv.files[f].stream) == 0;
        if ((had_error || !closed) && !failed)
            failed = report(describe_failure(failure{status, inv.files[f].path, closed ? 0 : errno}));
    }
    return failed;
}

}  // namespace

int report(const std::string &what)
{
    std::fprintf(stderr, "Error: %s\n", what.c_str());
    return 1;
}

int open_map(const char *path, named_file *map)
{
    *map = named_file{open_file(path, map_to_read(0)), path};
    if (map->stream == nullptr)
        return report("Cannot open " + escaped(path));
    if (guard_standard_streams(*map) == 0)
        return 0;
    std::fclose(map->stream);
    return 1;
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
    invocation inv{argc, argv, {{nullptr, nullptr}, {nullptr, nullptr}}, 0, {}};
    int failed = 1;
    // Memory runs out only for a file too large for this process, before the map is written.
    try {
        if (open_files(row, argc, &inv) == 0) {
            const failure f = row.run(inv);
            failed = f.status == NO_FAILURE ? 0 : report(describe_failure(f));
        }
    } catch (const std::bad_alloc &) {
        failed = report(describe_failure(failure{OUT_OF_MEMORY, inv.opened ? inv.files[0].path : argv[0], ENOMEM}));
    }
    failed = close_streams(row, inv, failed);
    // Standard output stays open, but what could not be written to it is lost all the same.
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && !failed)
        failed = report(describe_failure(failure{OUTPUT_UNWRITABLE, STANDARD_OUTPUT, errno}));
    return failed;
}
