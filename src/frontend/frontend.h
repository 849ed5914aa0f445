// The command line: picks one command by its switch, opens the files it
// works on, runs it, closes them and decides the exit status.
#ifndef LUMPSMITH_FRONTEND_H
#define LUMPSMITH_FRONTEND_H

#include <cstdio>

// Runs one whole invocation; returns the exit status, 0 or 1.
int run_command_line(int argc, char **argv);
// Writes the usage text, naming the program as invoked, to stderr; returns 1.
int print_usage(const char *program);
// Writes "Error: Cannot open <path>" to stderr; returns 1.
int report_open_failure(const char *path);
// The -tc placeholder: says "Not yet implemented." on stderr; returns 0.
int copy_textures(std::FILE *bsp, const char *src_dir, const char *dest_dir);

#endif
