// Helpers shared by the tests: streams over bytes, temporary directories and
// a runner for the real binary.
#ifndef LUMPSMITH_TEST_SUPPORT_H
#define LUMPSMITH_TEST_SUPPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "bsp/map_file.h"
#include "map_builder.h"

// A name that fills its whole 64-byte field, with no NUL.
inline const std::string NAME64(64, 'n');

// A temporary file holding data, positioned at its start. The caller closes it.
std::FILE *stream_of(const bytes &data);
std::FILE *stream_of(const std::string &text);
// Everything in a stream, from its start.
bytes contents_of(std::FILE *stream);
std::string text_of(std::FILE *stream);
std::string text_of(const bytes &data);
// Writes text to path; false when it could not.
bool write_text(const std::string &path, const std::string &text);

// A lump holding a copy of data, and the bytes a lump holds.
texture_lump lump_of(const bytes &data);
bytes bytes_of(const texture_lump &lump);
// map with the surface flags of the record i of the lump at lump_offset set
// to flags: what the tests expect a map to become.
bytes with_flags(bytes map, std::uint32_t lump_offset, std::size_t i, std::uint32_t flags);

// Reads the map under its shared lock, as the front end does, then imports
// the surface file into it.
failure read_and_import(named_file map, named_file surfaces, std::FILE *err);

// The names and data of an archive's files, in order; empty when it cannot be read.
std::vector<std::pair<std::string, std::string>> read_archive(const std::string &path);

// A fresh directory, removed with everything in it when the object goes.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

struct run_result {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct run_options {
    std::string program = "lumpsmith";  // or a companion command built beside it
    std::string argv0 = "lumpsmith";
    std::string stdout_path;  // where standard output goes instead of being captured
    bool as_nobody = false;   // drop root privileges first, so that file modes bite; runs a copy of the binary in dir
    int gate = -1;            // when set, the child reads one byte from it before it starts
    std::string redirections; // shell redirections applied last, such as "2>&-" or "1<>map.bsp"
    unsigned deadline = 0;    // seconds after which SIGALRM ends a run that hangs (status 142); 0: none
    unsigned long address_space = 0;  // RLIMIT_AS in bytes; 0: no limit
    unsigned long file_size = 0;      // RLIMIT_FSIZE in bytes; 0: no limit
    int umask = -1;                   // the run's umask; -1: this process's
};

// A run of the binary that has started and not yet been waited for.
struct started_tool {
    int pid;
    std::string out_path;  // empty when standard output is not captured
    std::string err_path;
};

// Starts the built binary in dir with the given arguments after argv[0].
started_tool start_tool(const temp_dir &dir, const std::vector<std::string> &args, const run_options &options = {});
// Waits for it and collects what it printed.
run_result finish_tool(const started_tool &tool);
// True once the run has said text on standard error; false when it ended
// without saying it, or had not said it within seconds.
bool says_on_stderr(const started_tool &tool, const std::string &text, unsigned seconds = 60);
// Opens the FIFO at path for writing once the run has opened it for
// reading; -1 when the run ended first or did not open it within seconds.
int open_fifo_for(const started_tool &tool, const std::string &path, unsigned seconds = 60);
// std::system of a shell command that is ended after seconds; its exit status.
int run_shell(const std::string &command, unsigned seconds = 120);
// start_tool then finish_tool.
run_result run_tool(const temp_dir &dir, const std::vector<std::string> &args, const run_options &options = {});

// The usage text as printed for an invocation named program.
std::string usage_for(const std::string &program);

#endif
