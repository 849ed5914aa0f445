#include "game/findings.h"

#include <algorithm>

#include "failure.h"

void print_findings(std::FILE *out, const char *path, std::vector<finding> findings)
{
    std::stable_sort(findings.begin(), findings.end(), [](const finding &a, const finding &b) { return a.line < b.line; });
    const std::string file = escaped(path);
    for (const finding &f : findings)
        std::fprintf(out, "%s:%zu: %s\n", file.c_str(), f.line, f.message.c_str());
}
