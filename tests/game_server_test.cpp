// The mod tools on the game itself (Debian's openarena-server): a ten-rule
// file over the installed game folder gives a surface file the check
// accepts over the same folder; lumpsmith-pk3 makes an override from it and
// a mod folder whose maps are named as Windows tools name them, and the
// game's own dedicated server (ioquake3-server) plays each edited map from
// it and lets a bot join: no "out of date" bot file. The server's map
// checksum must be the edited map's, so that it is known to have loaded our
// copy; each packed map must be the game's copy of it with only surface bits
// changed. Skipped (exit status 77) where the game is not installed.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "game/bot_file.h"
#include "game/game_files.h"
#include "plain_reading.h"
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

// The game's copy of a map or bot file, by name; empty when it cannot be read.
std::string game_copy(const game_files &game, game_reader *reader, const std::string &name)
{
    std::string data;
    const auto found = game.winners.find(game_key(name));
    return found != game.winners.end() && read_entry(game, reader, found->second, found->second.size, &data).empty() ? data : "";
}

// The mod folder: copies of a map and its bot file named in other cases in
// a .PK3, with backslashes, and in a .pk3dir; false when it could not be made.
bool make_mod_folder(const std::string &folder, const std::string &bsp, const std::string &aas)
{
    const std::vector<archive_file> cases = {{"MAPS/RT5Case.BSP", bsp}, {"maps/RT5CASE.AAS", aas}};
    const std::vector<archive_file> slashes = {{"maps\\rt5slash.bsp", bsp}, {"maps\\rt5slash.aas", aas}};
    if (!write_archive(folder + "/Cases.PK3", cases) || !write_archive(folder + "/slash.pk3", slashes))
        return false;
    return write_text(folder + "/dir.pk3dir/maps/rt5dir.bsp", bsp) && write_text(folder + "/dir.pk3dir/maps/rt5dir.aas", aas);
}

// Each map in turn: its bot file loads, a bot joins, and the checksum the
// server reports is the one expected; "" or what went wrong.
std::string played(const std::string &output, const std::vector<std::pair<std::string, std::int32_t>> &maps)
{
    std::size_t at = 0;
    for (const auto &[map, checksum] : maps) {
        const std::string steps[] = {"loaded maps/" + map + ".aas", "entered the game",
                                     "\"sv_mapChecksum\" is:\"" + std::to_string(checksum) + "^7\""};
        for (const std::string &step : steps)
            if ((at = output.find(step, at)) == std::string::npos)
                return "the server never said " + step + " for " + map;
    }
    return holds(output, "out of date") ? "a bot file was out of date" : "";
}

}  // namespace

int main()
{
    if (access(SERVER.c_str(), X_OK) != 0 || access((BASE_PATH + "/baseoa/pak1-maps.pk3").c_str(), R_OK) != 0) {
        std::printf("skipped: the game's dedicated server or archives are not installed\n");
        return SKIPPED;
    }
    temp_dir home;
    if (!write_text(home / "mod.rules", "textures/*metal* = steel\ntextures/*rust* = iron\ntextures/*wood* = hardwood\n"
                                        "textures/*grass* = grass\ntextures/*sand* = sand\ntextures/*glass* = glass\n"
                                        "textures/*water* = water\ntextures/*brick* = brick\n"
                                        "textures/*concrete* = cement\ntextures/gothic_block/blocks10 = rock\n") ||
        run_shell("mkdir -p '" + home / "baseoa/dir.pk3dir/maps" + "'") != 0)
        return fail("cannot set up " + home.path, "");
    // A mod folder as Windows tools leave one, each map a copy of oa_dm1
    // with its bot file: names in other cases in a .PK3, backslashes, and a
    // .pk3dir.
    std::vector<std::string> errors;
    game_files game;
    game_reader reader;
    open_game_files({BASE_PATH + "/baseoa"}, &game, &errors);
    const std::string bsp = game_copy(game, &reader, "maps/oa_dm1.bsp"), aas = game_copy(game, &reader, "maps/oa_dm1.aas");
    close_reader(&reader);
    if (!errors.empty() || bsp.empty() || aas.empty() || !make_mod_folder(home / "baseoa", bsp, aas))
        return fail("cannot make the mod folder from the game's oa_dm1", "");
    run_options rules, check;
    rules.program = "lumpsmith-rules";
    rules.stdout_path = home / "mod.txt";
    check.program = "lumpsmith-check";
    const run_result written = run_tool(home, {"mod.rules", BASE_PATH + "/baseoa"}, rules);
    const run_result checked = run_tool(home, {"mod.txt", BASE_PATH + "/baseoa"}, check);
    if (written.status != 0 || checked.status != 0)
        return fail("the check does not accept what the rules wrote", written.err + checked.out + checked.err);
    run_options pk3;
    pk3.program = "lumpsmith-pk3";
    const run_result made = run_tool(home, {BASE_PATH + "/baseoa", "baseoa", "mod.txt", "baseoa/zz-lumpsmith.pk3"}, pk3);
    if (made.status != 0 || !holds(made.out, "maps/oa_dm1.aas: map checksum updated\n") ||
        !holds(made.out, "maps/RT5CASE.AAS: map checksum updated\n"))
        return fail("lumpsmith-pk3 did not edit oa_dm1, its copies and their bot files", made.out + made.err);
    if (run_shell("unzip -tqq '" + home / "baseoa/zz-lumpsmith.pk3" + "'") != 0)
        return fail("unzip -t finds the override damaged", made.out);
    // Every bot file in the override records its edited map's checksum.
    std::map<std::string, std::string> packed;  // by the name the game looks up
    for (const auto &[name, data] : read_archive(home / "baseoa/zz-lumpsmith.pk3"))
        packed[game_key(name)] = data;
    const auto checksum_of = [](const std::string &map) {
        return map_checksum(reinterpret_cast<const unsigned char *>(map.data()), map.size());
    };
    for (const auto &[name, data] : packed) {
        std::uint32_t recorded = 0;
        const std::string map = name.substr(0, name.size() - 4) + ".bsp";
        if (ends_with(name, ".aas") &&
            (!recorded_checksum(reinterpret_cast<const unsigned char *>(data.data()), data.size(), &recorded) ||
             packed.count(map) == 0 || recorded != checksum_of(packed[map])))
            return fail(name + " does not record the checksum of the edited " + map, made.out);
    }
    // Each packed map is the game's own copy with only surface bits changed.
    game = game_files{};
    open_game_files({BASE_PATH + "/baseoa", home / "baseoa"}, &game, &errors);
    for (const auto &[name, data] : packed) {
        const std::string original = ends_with(name, ".bsp") ? game_copy(game, &reader, name) : "";
        if (!ends_with(name, ".bsp"))
            continue;
        if (original.size() != data.size())
            return fail(name + " is not the game's copy of that map", made.out);
        const plain_map m = read_plainly(bytes(original.begin(), original.end()));
        if (!m.readable || !only_named_surfaces_changed(bytes(original.begin(), original.end()), bytes(data.begin(), data.end()),
                                                        m, std::vector<bool>(m.records.size(), true)))
            return fail(name + " differs from the game's copy outside surface bits", "");
    }
    close_reader(&reader);
    const auto checksum = static_cast<std::int32_t>(checksum_of(packed["maps/oa_dm1.bsp"]));

    // Commands given on the command line run in turn once the server is up:
    // each map loads, a bot is added, and the checksum is printed.
    const std::vector<std::pair<std::string, std::int32_t>> maps = {
        {"oa_dm1", checksum}, {"rt5case", checksum}, {"rt5slash", checksum}, {"rt5dir", checksum}};
    std::string commands;
    for (const auto &map : maps)
        commands += " +map " + map.first + " +addbot sarge 1 +wait 50 +sv_mapChecksum";
    const std::string log = home / "server.log";
    run_shell("cd '" + home.path + "' && " + SERVER + " +set com_basegame baseoa +set fs_basepath " + BASE_PATH +
                  " +set fs_homepath '" + home.path + "' +set dedicated 1 +set net_enabled 0 +set bot_enable 1" + commands +
                  " +quit >'" + log + "' 2>&1",
              240);
    const std::string output = text_of(read_bytes(log));
    if (const std::string why = played(output, maps); !why.empty())
        return fail(why + ": the server did not play the edited maps from the override", output);
    std::printf("the server played the edited oa_dm1 (checksum %d) and its copies named in other cases, with "
                "backslashes and in a .pk3dir, each with its bot file, and a bot joined\n", checksum);
    return 0;
}
