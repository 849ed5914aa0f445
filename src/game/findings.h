// What lumpsmith-check and lumpsmith-rules say of the lines of the file
// they read, in the form compilers and editors use.
#ifndef LUMPSMITH_FINDINGS_H
#define LUMPSMITH_FINDINGS_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct finding {
    std::size_t line;  // from 1
    std::string message;
};

// Writes "FILE:LINE: message" for each finding to out, in line order, those
// of one line in the order they came; the path is escaped.
void print_findings(std::FILE *out, const char *path, std::vector<finding> findings);

#endif
