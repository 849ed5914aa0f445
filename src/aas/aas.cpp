// lumpsmith-aas MAP...: after an import, sets the map checksum recorded in
// the bot file beside each MAP (the same path, .aas for .bsp) to the map's,
// so that the game's bots keep working on the edited map. In place, with
// the care the import takes: the bot file locked, the map held by a shared
// lock, nothing written unless both are still the files that were read, and
// the change synced. One line per map; Error lines, and exit status 1, for
// a bot file that is missing, foreign or cannot be written.
#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "bsp/map_file.h"
#include "frontend/frontend.h"
#include "game/bot_file.h"
#include "game/game_files.h"

namespace {

struct opened {
    named_file file;
    struct stat stamp;
};

// Opens path as the other companions open their files; "" or an Error line's words.
std::string open_regular(const char *path, bool for_update, opened *f)
{
    std::string why;
    f->stamp.st_mode = 0;
    f->file = named_file{open_regular_file(path, &f->stamp, &why, for_update), path};
    if (f->file.stream != nullptr)
        return "";
    // st_mode stays 0 where the open itself failed.
    const bool irregular = f->stamp.st_mode != 0 && !S_ISREG(f->stamp.st_mode);
    return irregular ? "Cannot read " + escaped(path) + ": not a regular file" : "Cannot open " + escaped(path) + ": " + why;
}

// Locks the bot file, then the map, as the import locks a map, saying so
// while another program holds one; each is stamped once it is held, so that
// what an import wrote before that is no change; "" or an Error line's words.
std::string lock_both(opened *map, opened *bot, const std::string &bot_path)
{
    failure f = lock_map(bot->file, F_WRLCK, stderr);
    if (f.status == NO_FAILURE)
        f = lock_map(map->file, F_RDLCK, stderr);
    if (f.status != NO_FAILURE)
        return "Cannot write " + escaped(bot_path) + ": cannot lock it or its map: " + std::strerror(f.error);
    if (fstat(fileno(map->file.stream), &map->stamp) != 0 || fstat(fileno(bot->file.stream), &bot->stamp) != 0)
        return "Cannot read " + escaped(map->file.path) + ": " + std::strerror(errno);
    return "";
}

// Brings the bot file beside map up to date; "" or an Error line's words.
std::string update(const char *map_path)
{
    const std::string bot_path = bot_file_of(map_path);
    opened map{}, bot{};
    std::string why = open_regular(map_path, false, &map);
    if (why.empty())
        why = open_regular(bot_path.c_str(), true, &bot);
    if (why.empty())
        why = lock_both(&map, &bot, bot_path);
    unsigned char header[BOT_FILE_HEADER_SIZE];
    std::uint32_t recorded = 0, checksum = 0;
    int error = 0;
    // The map is read a piece at a time: no map is too large for this.
    if (why.empty() && (error = file_checksum(map.file.stream, static_cast<std::uint64_t>(map.stamp.st_size), &checksum)) != 0)
        why = "Cannot read " + escaped(map_path) + ": " + (error == IO_END ? "it changed while it was read" : std::strerror(error));
    else if (why.empty() && (io_read_at(bot.file.stream, header, sizeof header, 0) != 0 ||
                             !recorded_checksum(header, sizeof header, &recorded)))
        why = "Cannot read " + escaped(bot_path) + ": it is not a bot file (no EAAS header of version 4 or 5)";
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

failure update_each(invocation &inv)
{
    for (int m = 1; m < inv.argc; ++m)
        if (const std::string why = update(inv.argv[m]); !why.empty())
            inv.status = report(why);
    return ok();
}

// The front end opens none of its files: each map comes with a bot file to
// open beside it, as many as are given.
const command_row AAS = {{}, update_each, 1};

}  // namespace

int main(int argc, char **argv)
{
    return run_companion(AAS, argc, argv, 2, INT_MAX, "MAP...");
}
