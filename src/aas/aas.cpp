// lumpsmith-aas MAP...: after an import, sets the map checksum recorded in
// the bot file beside each MAP (the same path, .aas for .bsp) to the map's,
// so that the game's bots keep working on the edited map. In place, with
// the care the import takes: the bot file locked, the map held by a shared
// lock, nothing written unless both are still the files that were read, and
// the change synced. One line per map; Error lines, and exit status 1, for
// a bot file that is missing, foreign or cannot be written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bsp/map_file.h"
#include "frontend/frontend.h"
#include "game/bot_file.h"

namespace {

struct opened {
    named_file file;
    struct stat stamp;
};

// Waits for a lock of type on the file; 0, or the errno of the refusal.
int lock(const opened &f, short type)
{
    struct flock l = {};
    l.l_type = type;
    if (retry_interrupted([&] { return fcntl(fileno(f.file.stream), F_OFD_SETLKW, &l); }) == 0)
        return 0;
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL ? 0 : errno;  // 0: no locks on this filesystem
}

// Opens path, stamped; "" or an Error line's words.
std::string open_stamped(const char *path, bool for_update, opened *f)
{
    const int fd = open(path, (for_update ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    f->file = named_file{fd < 0 ? nullptr : fdopen(fd, for_update ? "r+b" : "rb"), path};
    const int error = errno;
    if (f->file.stream == nullptr && fd >= 0)
        close(fd);
    if (f->file.stream == nullptr)
        return "Cannot open " + escaped(path) + ": " + std::strerror(error);
    if (fstat(fd, &f->stamp) != 0 || !S_ISREG(f->stamp.st_mode))
        return "Cannot read " + escaped(path) + ": not a regular file";
    return "";
}

// Brings the bot file beside map up to date; "" or an Error line's words.
std::string update(const char *map_path)
{
    const std::string bot_path = bot_file_of(map_path);
    opened map{}, bot{};
    std::string why = open_stamped(map_path, false, &map);
    if (why.empty())
        why = open_stamped(bot_path.c_str(), true, &bot);
    std::string bytes(map.file.stream ? static_cast<std::size_t>(map.stamp.st_size) : 0, '\0');
    unsigned char header[BOT_FILE_HEADER_SIZE];
    std::uint32_t recorded = 0;
    int error = 0;
    if (why.empty() && ((error = lock(bot, F_WRLCK)) != 0 || (error = lock(map, F_RDLCK)) != 0))
        why = "Cannot write " + escaped(bot_path) + ": cannot lock it or its map: " + std::strerror(error);
    else if (why.empty() && (error = io_read_at(map.file.stream, bytes.data(), bytes.size(), 0)) != 0)
        why = "Cannot read " + escaped(map_path) + ": " + (error == IO_END ? "it changed while it was read" : std::strerror(error));
    else if (why.empty() && (io_read_at(bot.file.stream, header, sizeof header, 0) != 0 ||
                             !recorded_checksum(header, sizeof header, &recorded)))
        why = "Cannot read " + escaped(bot_path) + ": it is not a bot file (no EAAS header of version 4 or 5)";
    const std::uint32_t checksum = map_checksum(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    std::size_t written = 0;
    if (why.empty() && recorded != checksum) {
        record_checksum(header, checksum);
        if (!unchanged_since(map.file, map.stamp) || !unchanged_since(bot.file, bot.stamp))
            why = "Cannot write " + escaped(bot_path) + ": it or its map changed meanwhile; nothing was written";
        else if ((error = io_write_at(bot.file.stream, header + BOT_CHECKSUM_AT, 4, BOT_CHECKSUM_AT, &written)) != 0 ||
                 (error = io_sync(bot.file.stream)) != 0)
            why = "Cannot write " + escaped(bot_path) + ": " + std::strerror(error);
    }
    for (const opened &f : {map, bot})
        if (f.file.stream != nullptr)
            std::fclose(f.file.stream);  // which drops its lock
    if (why.empty())
        std::printf("%s: %s\n", escaped(map_path).c_str(),
                    recorded == checksum ? "bot file already up to date" : "bot file updated");
    return why;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MAP...\n", argc > 0 ? argv[0] : "lumpsmith-aas");
        return 1;
    }
    int status = 0;
    for (int m = 1; m < argc; ++m)
        if (const std::string why = update(argv[m]); !why.empty())
            status = report(why);
    return std::fflush(stdout) == 0 ? status : 1;
}
