// What the companions write, whole or absent whatever happens: a file is
// built unnamed in its folder (O_TMPFILE), synced, then linked into place
// and the folder synced, so that a kill or a power cut before the link
// leaves nothing with a name.
#ifndef LUMPSMITH_WHOLE_OUTPUT_H
#define LUMPSMITH_WHOLE_OUTPUT_H

#include <sys/stat.h>

#include <functional>
#include <string>

// Writes path whole or not at all: fill(fd, unnamed) writes the unnamed
// file (open on fd, and named by the path unnamed for a library that opens
// by name) and returns "" or why not; *written is its stat once synced. A
// link never replaces a file, so a file that appeared at path meanwhile is
// kept, unless replace is set: then it is linked beside path and renamed
// over it. "" or an Error line's words.
std::string write_whole(const std::string &path, bool replace,
                        const std::function<std::string(int fd, const std::string &unnamed)> &fill, struct stat *written);

#endif
