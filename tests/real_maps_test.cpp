// The tool on real maps compiled by many authors: every maps/*.bsp in the
// pak of Debian's openarena-081-maps, read in place and never copied into
// the repository. Each map's listing must match a plain reading of it, its
// export must round-trip byte for byte through an import, and an edit that
// gives every exported texture a random surface must change exactly bits
// 20..31 of the matching records, exactly the records lumpsmith-preview
// named beforehand. Then lumpsmith-pk3 applies all those edits, as one
// mod-wide file, to the whole pak, and lumpsmith-plan draws every map of
// the game folder the pak lies in. Without the package the test is skipped
// (exit status 77), so a fresh machine's test run stays quick.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "plain_reading.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

constexpr int SKIPPED = 77;

std::vector<std::string> output_lines(const std::string &command)
{
    std::vector<std::string> lines;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return lines;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text = line;
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        lines.push_back(text);
    }
    pclose(pipe);
    return lines;
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int failures = 0;

void check(bool holds, const std::string &map, const std::string &what)
{
    if (!holds) {
        std::fprintf(stderr, "FAILED: %s: %s\n", map.c_str(), what.c_str());
        ++failures;
    }
}

// The preview's lines for what an import turned before into after.
std::string expected_preview(const plain_map &m, const bytes &after)
{
    std::string lines;
    for (const plain_record &r : m.records) {
        const std::uint32_t now = after[r.flags_at] | after[r.flags_at + 1] << 8 | after[r.flags_at + 2] << 16 |
                                  static_cast<std::uint32_t>(after[r.flags_at + 3]) << 24;
        if (now != r.flags)
            lines += r.name + ": " + surface_text(r.flags) + " -> " + surface_text(now) + "\n";
    }
    return lines;
}

// Returns the map's random edit, for the mod-wide file.
std::string check_map(const temp_dir &dir, const std::string &name, std::mt19937 *random)
{
    const bytes original = read_bytes(dir / "map.bsp");
    const plain_map m = read_plainly(original);
    check(m.readable && !m.records.empty(), name, "a plain reading finds no records");

    const run_result listed = run_tool(dir, {"-tl", "map.bsp"});
    check(listed.status == 0 && listed.err.empty(), name, "-tl failed: " + listed.err);
    check(listed.out == expected_listing(m), name, "the listing differs from the records");

    std::size_t refused = 0;
    const std::string exported = expected_export(m, &refused);
    const run_result export_run = run_tool(dir, {"-se", "map.bsp", "map.txt"});
    check(export_run.status == 0 && refused == 0 && export_run.err.empty(), name, "-se failed: " + export_run.err);
    check(text_of(read_bytes(dir / "map.txt")) == exported, name, "the export differs from the records");
    const run_result round_trip = run_tool(dir, {"-si", "map.bsp", "map.txt"});
    check(round_trip.status == 0, name, "-si of the export failed: " + round_trip.err);
    check(read_bytes(dir / "map.bsp") == original, name, "the unedited export changed the map");

    std::string edit;
    for (std::size_t at = 0; at < exported.size();) {
        const std::size_t separator = exported.find(" = ", at);
        const std::size_t end = exported.find('\n', at);
        edit += exported.substr(at, separator - at) + " = " + surface_names[(*random)() % SURFACE_COUNT] + "\n";
        at = end + 1;
    }
    check(write_bytes(dir / "edit.txt", bytes(edit.begin(), edit.end())), name, "cannot write the edit");
    run_options preview;
    preview.program = "lumpsmith-preview";
    const run_result previewed = run_tool(dir, {"map.bsp", "edit.txt"}, preview);
    const run_result edited = run_tool(dir, {"-si", "map.bsp", "edit.txt"});
    check(edited.status == 0 && edited.err.empty(), name, "-si of the edit failed: " + edited.err);
    const plain_import expected = import_plainly(original, m, bytes(edit.begin(), edit.end()));
    const bytes after = read_bytes(dir / "map.bsp");
    check(after == expected.map, name, "the edit did not set the surfaces it named");
    check(only_named_surfaces_changed(original, after, m, expected.named), name,
          "the edit changed more than bits 20..31 of the named records");
    check(previewed.status == 0 && previewed.out == expected_preview(m, after) && !previewed.out.empty(), name,
          "the preview differs from what the import changed: " + previewed.err);
    return edit;
}

// lumpsmith-pk3 with the mod-wide file: an archive unzip accepts, holding
// exactly the maps whose lump changed, each as an import leaves it, the
// pak untouched, and the same bytes when run again.
void check_pk3(const temp_dir &dir, const std::string &pak, const std::vector<std::string> &maps,
               const std::vector<bytes> &originals, const std::string &mod)
{
    check(write_bytes(dir / "mod.txt", bytes(mod.begin(), mod.end())), pak, "cannot write the mod-wide file");
    const bytes before = read_bytes(pak);
    run_options pk3;
    pk3.program = "lumpsmith-pk3";
    const run_result r = run_tool(dir, {pak, "mod.txt", "zz-mod.pk3"}, pk3);
    check(r.status == 0, pak, "lumpsmith-pk3 failed: " + r.err);
    check(run_tool(dir, {pak, "mod.txt", "zz-mod2.pk3"}, pk3).status == 0 &&
              read_bytes(dir / "zz-mod.pk3") == read_bytes(dir / "zz-mod2.pk3"),
          pak, "two runs gave different archives");
    check(read_bytes(pak) == before, pak, "the pak changed");
    check(run_shell("unzip -tq '" + (dir / "zz-mod.pk3") + "' >/dev/null") == 0, pak, "unzip -t refuses it");
    std::vector<std::string> packed = output_lines("unzip -Z1 '" + (dir / "zz-mod.pk3") + "'");
    std::vector<std::string> changed;
    for (std::size_t i = 0; i < maps.size(); ++i) {
        const bytes after = import_plainly(originals[i], read_plainly(originals[i]), bytes(mod.begin(), mod.end())).map;
        if (after == originals[i])
            continue;
        changed.push_back(maps[i]);
        const std::string extract = "unzip -p '" + (dir / "zz-mod.pk3") + "' '" + maps[i] + "' > '" + (dir / "out.bsp") + "'";
        check(run_shell(extract) == 0 && read_bytes(dir / "out.bsp") == after, maps[i],
              "the packed map is not what an import makes");
    }
    std::sort(packed.begin(), packed.end());
    std::sort(changed.begin(), changed.end());
    check(packed == changed && !changed.empty(), pak, "the archive does not hold exactly the changed maps");
}

// Every installed copy of every map drawn, archive by archive, each into
// its own picture, with none of its faces pointing outside its lumps.
void check_plans(const temp_dir &dir, const std::string &pak)
{
    const std::string folder = pak.substr(0, pak.rfind('/'));
    std::size_t drawn = 0, pictures = 0;
    for (const std::string &archive : output_lines("ls '" + folder + "'")) {
        if (!ends_with(archive, ".pk3"))
            continue;
        const std::string plans = dir / ("plans-" + archive);
        const std::vector<std::string> lines = output_lines(std::string("'") + LUMPSMITH_BUILD_DIR + "/lumpsmith-plan' '" +
                                                            folder + "/" + archive + "' '" + plans + "' 2>&1; echo status $?");
        check(!lines.empty() && (lines.back() == "status 0" || lines.front().find("hold no map") != std::string::npos),
              archive, "lumpsmith-plan did not draw it: " + (lines.empty() ? "" : lines.front()));
        for (const std::string &line : lines)
            drawn += line.rfind("maps/", 0) == 0;
        pictures += output_lines("ls '" + plans + "' 2>/dev/null").size();
    }
    check(drawn > 50 && pictures == drawn, folder, "not every map was drawn into its own picture");
    std::printf("%zu maps of %s drawn\n", drawn, folder.c_str());
}

}  // namespace

int main()
{
    std::string pak;
    for (const std::string &path : output_lines("dpkg -L openarena-081-maps 2>/dev/null"))
        if (ends_with(path, ".pk3"))
            pak = path;
    if (pak.empty()) {
        std::printf("skipped: the package openarena-081-maps is not installed\n");
        return SKIPPED;
    }
    std::vector<std::string> maps;
    for (const std::string &entry : output_lines("unzip -Z1 '" + pak + "'"))
        if (entry.rfind("maps/", 0) == 0 && ends_with(entry, ".bsp"))
            maps.push_back(entry);
    if (maps.empty()) {
        std::printf("FAILED: no maps/*.bsp listed in %s (is unzip installed?)\n", pak.c_str());
        return 1;
    }
    temp_dir dir;
    std::mt19937 random(2026);
    std::vector<bytes> originals;
    std::string mod;
    for (const std::string &entry : maps) {
        const std::string extract = "unzip -p '" + pak + "' '" + entry + "' > '" + (dir / "map.bsp") + "'";
        if (run_shell(extract) != 0) {
            std::printf("FAILED: cannot extract %s\n", entry.c_str());
            return 1;
        }
        originals.push_back(read_bytes(dir / "map.bsp"));
        // Every third map's edit joins the mod-wide file, so that some maps change and some do not.
        const std::string edit = check_map(dir, entry, &random);
        if (originals.size() % 3 == 0)
            mod += edit;
    }
    check_pk3(dir, pak, maps, originals, mod);
    check_plans(dir, pak);
    std::printf("%zu real maps checked, %d failures\n", maps.size(), failures);
    return failures == 0 ? 0 : 1;
}
