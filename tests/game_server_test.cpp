// The override archive in the game itself: lumpsmith-pk3 makes one from the
// installed game folder (Debian's openarena-server), and the game's own
// dedicated server (ioquake3-server) loads an edited map from it and lets a
// bot join: no "out of date" bot file. The server's map checksum must be the
// edited map's, so that it is known to have loaded our copy. Skipped (exit
// status 77) where the game is not installed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "game/bot_file.h"
#include "test_support.h"

namespace {

const std::string SERVER = "/usr/lib/ioquake3/ioq3ded";
const std::string BASE_PATH = "/usr/lib/openarena-server";
constexpr int SKIPPED = 77;

bool holds(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

int fail(const std::string &why, const std::string &output)
{
    std::printf("FAILED: %s\n%s\n", why.c_str(), output.c_str());
    return 1;
}

}  // namespace

int main()
{
    if (access(SERVER.c_str(), X_OK) != 0 || access((BASE_PATH + "/baseoa/pak1-maps.pk3").c_str(), R_OK) != 0) {
        std::printf("skipped: the game's dedicated server or archives are not installed\n");
        return SKIPPED;
    }
    temp_dir home;
    if (!write_text(home / "mod.txt", "textures/gothic_block/blocks10 = rock\n") ||
        run_shell("mkdir -p '" + home / "baseoa" + "'") != 0)
        return fail("cannot set up " + home.path, "");
    run_options pk3;
    pk3.program = "lumpsmith-pk3";
    const run_result made = run_tool(home, {BASE_PATH + "/baseoa", "mod.txt", "baseoa/zz-lumpsmith.pk3"}, pk3);
    if (made.status != 0 || !holds(made.out, "maps/oa_dm1.aas: map checksum updated\n"))
        return fail("lumpsmith-pk3 did not edit oa_dm1 and its bot file", made.out + made.err);
    std::string edited;
    for (const auto &[name, data] : read_archive(home / "baseoa/zz-lumpsmith.pk3"))
        if (name == "maps/oa_dm1.bsp")
            edited = data;
    const auto checksum = static_cast<std::int32_t>(map_checksum(reinterpret_cast<const unsigned char *>(edited.data()), edited.size()));

    // Commands given on the command line run in turn once the server is up:
    // the map loads, a bot is added, and the checksum is printed.
    const std::string log = home / "server.log";
    run_shell("cd '" + home.path + "' && " + SERVER + " +set com_basegame baseoa +set fs_basepath " + BASE_PATH +
                  " +set fs_homepath '" + home.path + "' +set dedicated 1 +set net_enabled 0 +set bot_enable 1"
                  " +map oa_dm1 +addbot sarge 1 +wait 50 +sv_mapChecksum +quit >'" + log + "' 2>&1",
              120);
    const std::string output = text_of(read_bytes(log));
    if (!holds(output, "\"sv_mapChecksum\" is:\"" + std::to_string(checksum) + "^7\""))
        return fail("the server did not load the edited oa_dm1 from the override", output);
    if (holds(output, "out of date") || !holds(output, "loaded maps/oa_dm1.aas") || !holds(output, "entered the game"))
        return fail("the bot did not join on the edited map", output);
    std::printf("the server loaded the edited oa_dm1 (checksum %d) and its bot file, and a bot joined\n", checksum);
    return 0;
}
