#include "game/whole_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "failure.h"
#include "game/game_files.h"

std::string write_whole(const std::string &path, bool replace,
                        const std::function<std::string(int fd, const std::string &unnamed)> &fill, struct stat *written)
{
    const std::string name = path.substr(path.rfind('/') + 1);
    const int dir = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = dir < 0 ? -1 : openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    const std::string cannot = "Cannot write " + escaped(path) + ": ";
    std::string why = dir < 0 || fd < 0 ? cannot + std::strerror(errno) : "";
    const std::string unnamed = "/proc/self/fd/" + std::to_string(fd);
    if (why.empty() && (why = fill(fd, unnamed)) != "")
        why = cannot + why;
    if (why.empty() && (fsync(fd) != 0 || fstat(fd, written) != 0))
        why = cannot + std::strerror(errno);
    // Where it replaces, the name beside it is one no one else would pick.
    const std::string linked = replace ? "." + name + "." + std::to_string(std::random_device{}()) + ".part" : name;
    if (why.empty() && linkat(AT_FDCWD, unnamed.c_str(), dir, linked.c_str(), AT_SYMLINK_FOLLOW) != 0)
        why = errno == EEXIST ? "Refusing to write " + escaped(path) + ": it exists" : cannot + std::strerror(errno);
    else if (why.empty() && replace && renameat(dir, linked.c_str(), dir, name.c_str()) != 0) {
        why = cannot + std::strerror(errno);
        unlinkat(dir, linked.c_str(), 0);
    }
    if (why.empty() && fsync(dir) != 0)
        why = cannot + "the folder could not be synced: " + std::strerror(errno);
    for (const int open_fd : {fd, dir})
        if (open_fd >= 0)
            close(open_fd);
    return why;
}
