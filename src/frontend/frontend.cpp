#include "frontend/frontend.h"

#include <sys/stat.h>

#include <cstring>

#include "bsp/bsp_lump.h"
#include "commands/texture_commands.h"
#include "surfaces/surfaces.h"

namespace {

constexpr int MAX_FILES = 2;

struct file_slot {
    int arg;           // index into argv; the file is skipped when argc is not above it
    const char *mode;  // fopen mode; nullptr marks an unused slot
};

// What a command is handed: the streams of its row's files, in row order,
// null where an optional file was not given.
struct invocation {
    char **argv;
    std::FILE *streams[MAX_FILES];
};

struct command_row {
    const char *switch_text;
    int min_count;  // total argument counts accepted, program name included
    int max_count;
    file_slot files[MAX_FILES];  // opened in this order
    map_lock lock;               // taken on the first file as soon as it is open
    lump_status (*run)(const invocation &);
};

lump_status run_list_textures(const invocation &inv)
{
    return list_textures(inv.streams[0], stdout);
}

lump_status run_copy_textures(const invocation &inv)
{
    copy_textures(inv.streams[0], inv.argv[3], inv.argv[4]);
    return LUMP_OK;
}

lump_status run_export(const invocation &inv)
{
    return export_surface_file(inv.streams[0], inv.streams[1] ? inv.streams[1] : stdout, stderr);
}

lump_status run_import(const invocation &inv)
{
    return import_surface_file(inv.streams[0], inv.argv[2], inv.streams[1], stderr);
}

lump_status run_list_surfaces(const invocation &)
{
    list_surfaces(stdout);
    return LUMP_OK;
}

// The map, when a row has one, is always its first file. Readers share it;
// the import has it to itself from before it reads the header until its
// write-back is synced, so that no reader sees half an import and no two
// imports undo each other's edits.
const command_row COMMANDS[] = {
    {"-tl", 3, 3, {{2, "rb"}, {0, nullptr}}, MAP_SHARED_LOCK, run_list_textures},
    {"-tc", 5, 5, {{2, "rb"}, {0, nullptr}}, MAP_UNLOCKED, run_copy_textures},
    {"-se", 3, 4, {{2, "rb"}, {3, "w"}}, MAP_SHARED_LOCK, run_export},
    {"-si", 4, 4, {{2, "r+b"}, {3, "r"}}, MAP_EXCLUSIVE_LOCK, run_import},
    {"-sl", 2, 2, {{0, nullptr}, {0, nullptr}}, MAP_UNLOCKED, run_list_surfaces},
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

bool writes_file(const char *mode)
{
    return std::strchr(mode, 'w') != nullptr || std::strchr(mode, '+') != nullptr;
}

int report(const char *what, const char *path, const char *why)
{
    if (why)
        std::fprintf(stderr, "Error: %s %s: %s\n", what, path, why);
    else
        std::fprintf(stderr, "Error: %s %s\n", what, path);
    return 1;
}

// Opening a file with "w" empties it at once, so before that happens the map
// must be known to be readable and the output must not be the map itself,
// under whatever name or link it was given.
int check_before_truncating(const invocation &inv, int opened, const command_row &row, const char *path)
{
    struct stat target;
    if (stat(path, &target) == 0) {
        for (int f = 0; f < opened; ++f) {
            struct stat open_file;
            if (fstat(fileno(inv.streams[f]), &open_file) == 0 && open_file.st_dev == target.st_dev &&
                open_file.st_ino == target.st_ino) {
                std::fprintf(stderr, "Error: Refusing to write %s: it is the same file as %s\n", path,
                             inv.argv[row.files[f].arg]);
                return 1;
            }
        }
    }
    const lump_status status = check_map(inv.streams[0]);
    return status == LUMP_OK ? 0 : report("Cannot read", inv.argv[row.files[0].arg], describe_lump_status(status));
}

// Closes every opened stream, latest first. Returns 1 after reporting the
// first stream that failed, unless an earlier failure was already reported.
int close_streams(const invocation &inv, int opened, const command_row &row, int failed)
{
    for (int f = opened - 1; f >= 0; --f) {
        bool ok = !std::ferror(inv.streams[f]);
        ok = std::fclose(inv.streams[f]) == 0 && ok;
        if (!ok && !failed) {
            const file_slot &slot = row.files[f];
            failed = report(writes_file(slot.mode) ? "Cannot write" : "Cannot read", inv.argv[slot.arg], nullptr);
        }
    }
    return failed;
}

// Names the file a failed command's status is about: the map, or the
// command's other file (the import's surface file, the export's output,
// which is standard output when not given).
int report_status(lump_status status, const invocation &inv, int argc, const command_row &row)
{
    const bool other_file = status == LUMP_INPUT_FAILED || status == LUMP_OUTPUT_FAILED;
    const char *path = inv.argv[row.files[0].arg];
    if (other_file)
        path = row.files[1].mode != nullptr && row.files[1].arg < argc ? inv.argv[row.files[1].arg]
                                                                       : "standard output";
    const bool writing = status == LUMP_OUTPUT_FAILED || status == LUMP_MAP_CHANGED || status == LUMP_NO_SPACE ||
                         status == LUMP_WRITE_FAILED || status == LUMP_SYNC_FAILED;
    return report(writing ? "Cannot write" : "Cannot read", path, other_file ? nullptr : describe_lump_status(status));
}

int run_command(const command_row &row, int argc, char **argv)
{
    invocation inv{argv, {nullptr, nullptr}};
    int opened = 0;
    int failed = 0;
    for (const file_slot &slot : row.files) {
        if (slot.mode == nullptr || slot.arg >= argc)
            break;
        if (std::strchr(slot.mode, 'w') && check_before_truncating(inv, opened, row, argv[slot.arg]))
            return close_streams(inv, opened, row, 1);
        inv.streams[opened] = std::fopen(argv[slot.arg], slot.mode);
        if (inv.streams[opened] == nullptr)
            return close_streams(inv, opened, row, report_open_failure(argv[slot.arg]));
        ++opened;
        if (opened == 1 && lock_map(inv.streams[0], row.lock) != LUMP_OK)
            return close_streams(inv, opened, row, report_status(LUMP_LOCK_FAILED, inv, argc, row));
    }
    const lump_status status = row.run(inv);
    if (status != LUMP_OK)
        failed = report_status(status, inv, argc, row);
    failed = close_streams(inv, opened, row, failed);
    // Standard output stays open, but what could not be written to it is
    // lost all the same.
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && !failed)
        failed = report("Cannot write", "standard output", nullptr);
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
    const command_row *row = find_command(argc, argv);
    if (row == nullptr)
        return print_usage(argc > 0 && argv[0] ? argv[0] : "lumpsmith");
    return run_command(*row, argc, argv);
}
