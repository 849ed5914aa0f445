#include "frontend/frontend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bsp/map_file.h"
#include "commands/texture_commands.h"
#include "surfaces/surfaces.h"

namespace {

constexpr int MAX_FILES = 2;
constexpr std::size_t SURFACE_FILE_BUFFER = 1 << 16;
const char *const STANDARD_OUTPUT = "standard output";

struct file_slot {
    int arg;           // index into argv; the file is skipped when argc is not above it
    const char *mode;  // fopen mode; nullptr marks an unused slot
};

// What a command is handed: its row's files, in row order, with null
// streams where an optional file was not given.
struct invocation {
    char **argv;
    named_file files[MAX_FILES];
};

struct command_row {
    const char *switch_text;
    int min_count;  // total argument counts accepted, program name included
    int max_count;
    file_slot files[MAX_FILES];  // opened in this order; the map, where there is one, first
    bool prints;                 // writes its data to standard output unless given a file for it
    failure (*run)(const invocation &);
};

// -tl and -se write to the row's second file when given, otherwise to
// standard output; names are escaped where that is a terminal.
failure run_record_lines(const invocation &inv, failure (*command)(named_file, named_file, bool, std::FILE *))
{
    const named_file out = inv.files[1].stream ? inv.files[1] : named_file{stdout, STANDARD_OUTPUT};
    return command(inv.files[0], out, isatty(fileno(out.stream)), stderr);
}

failure run_list_textures(const invocation &inv)
{
    return run_record_lines(inv, list_textures);
}

failure run_copy_textures(const invocation &inv)
{
    copy_textures(inv.files[0].stream, inv.argv[3], inv.argv[4]);
    return failure{LUMP_OK, nullptr, 0};
}

failure run_export(const invocation &inv)
{
    return run_record_lines(inv, export_surface_file);
}

failure run_import(const invocation &inv)
{
    return import_surface_file(inv.files[0], inv.files[1], stderr);
}

failure run_list_surfaces(const invocation &)
{
    list_surfaces(stdout);
    return failure{LUMP_OK, nullptr, 0};
}

const command_row COMMANDS[] = {
    {"-tl", 3, 3, {{2, "rb"}, {0, nullptr}}, true, run_list_textures},
    {"-tc", 5, 5, {{2, "rb"}, {0, nullptr}}, false, run_copy_textures},
    {"-se", 3, 4, {{2, "rb"}, {3, "w"}}, true, run_export},
    {"-si", 4, 4, {{2, "r+b"}, {3, "r"}}, false, run_import},
    {"-sl", 2, 2, {{0, nullptr}, {0, nullptr}}, true, run_list_surfaces},
};

const command_row *find_command(int argc, char **argv)
{
    if (argc <= 1 || argv[1][0] != '-')
        return nullptr;
    for (const command_row &row : COMMANDS)
        if (std::strcmp(argv[1], row.switch_text) == 0)
            return argc >= row.min_count && argc <= row.max_count ? &row : nullptr;
    return nullptr;
}

int report(const std::string &what)
{
    std::fprintf(stderr, "Error: %s\n", what.c_str());
    return 1;
}

// With a standard descriptor closed, the next file opened would take its
// number, and messages or the listing meant for it would go into the map.
void open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;
}

bool same_file(int fd, const struct stat &other)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == other.st_dev && st.st_ino == other.st_ino;
}

// A command's output must never land in the map it reads, under whatever
// name, link or descriptor it was given. Opening a file with "w" empties it
// at once, so before that the map must also be known to be readable.
int refuse_output_onto_map(const invocation &inv, const char *output_path, int output_fd)
{
    struct stat output;
    const bool exists = output_path ? stat(output_path, &output) == 0 : fstat(output_fd, &output) == 0;
    if (exists && same_file(fileno(inv.files[0].stream), output))
        return report(std::string("Refusing to write ") + (output_path ? output_path : STANDARD_OUTPUT) +
                      ": it is the same file as " + inv.files[0].path);
    if (output_path == nullptr)
        return 0;
    map_reading reading;
    const failure f = read_header(inv.files[0], &reading);
    return f.status == LUMP_OK ? 0 : report(describe_failure(f));
}

// Closes every opened stream, latest first. Returns 1 after reporting the
// first stream that failed, unless an earlier failure was already reported.
int close_streams(const invocation &inv, int opened, const command_row &row, int failed)
{
    for (int f = opened - 1; f >= 0; --f) {
        const bool had_error = std::ferror(inv.files[f].stream);
        errno = 0;
        const bool closed = std::fclose(inv.files[f].stream) == 0;
        if ((had_error || !closed) && !failed) {
            const bool writes = std::strpbrk(row.files[f].mode, "w+") != nullptr;
            failed = report(describe_failure(failure{writes ? LUMP_OUTPUT_FAILED : LUMP_INPUT_FAILED,
                                                     inv.files[f].path, closed ? 0 : errno}));
        }
    }
    return failed;
}

int run_command(const command_row &row, int argc, char **argv)
{
    invocation inv{argv, {{nullptr, nullptr}, {nullptr, nullptr}}};
    int opened = 0;
    for (const file_slot &slot : row.files) {
        if (slot.mode == nullptr || slot.arg >= argc)
            break;
        if (std::strchr(slot.mode, 'w') && refuse_output_onto_map(inv, argv[slot.arg], -1))
            return close_streams(inv, opened, row, 1);
        inv.files[opened] = named_file{std::fopen(argv[slot.arg], slot.mode), argv[slot.arg]};
        if (inv.files[opened].stream == nullptr)
            return close_streams(inv, opened, row, report_open_failure(argv[slot.arg]));
        // A surface file is read line by line; in 4 KiB reads, a large one
        // took a system call per 4 KiB.
        if (std::strcmp(slot.mode, "r") == 0)
            std::setvbuf(inv.files[opened].stream, nullptr, _IOFBF, SURFACE_FILE_BUFFER);
        ++opened;
    }
    if (row.prints && opened == 1 && refuse_output_onto_map(inv, nullptr, STDOUT_FILENO))
        return close_streams(inv, opened, row, 1);
    const failure f = row.run(inv);
    int failed = f.status == LUMP_OK ? 0 : report(describe_failure(f));
    failed = close_streams(inv, opened, row, failed);
    // Standard output stays open, but what could not be written to it is
    // lost all the same.
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && !failed)
        failed = report(describe_failure(failure{LUMP_OUTPUT_FAILED, STANDARD_OUTPUT, errno}));
    return failed;
}

}  // namespace

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

int report_open_failure(const char *path)
{
    std::fprintf(stderr, "Error: Cannot open %s\n", path);
    return 1;
}

int copy_textures(std::FILE *, const char *, const char *)
{
    std::fputs("Not yet implemented.\n", stderr);
    return 0;
}

int run_command_line(int argc, char **argv)
{
    open_standard_descriptors();
    const command_row *row = find_command(argc, argv);
    if (row == nullptr)
        return print_usage(argc > 0 && argv[0] ? argv[0] : "lumpsmith");
    return run_command(*row, argc, argv);
}
