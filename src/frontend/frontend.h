// The command line: picks one command by its switch, opens the files it
// works on, runs it, closes them and decides the exit status.
#ifndef LUMPSMITH_FRONTEND_H
#define LUMPSMITH_FRONTEND_H

// Runs one whole invocation; returns the exit status, 0 or 1.
int run_command_line(int argc, char **argv);

#endif
