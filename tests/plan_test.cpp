// lumpsmith-plan end to end, on a map of known geometry built here: the
// shares it prints, and the pixels of the picture it writes, counted by
// material after decoding it with libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <map>

#include "bsp/bsp_lump.h"
#include "companion_support.h"

namespace {

map_face square(std::int32_t record, float x0, float y0, float x1, float y1, float z0, float z1, std::int32_t type = 1)
{
    return {record, type, {{x0, y0, z0}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z0}}, {0, 2, 1, 0, 3, 2}};
}

// Over a floor (none), 64 units square: a platform (surface 40), a ramp (brick),
// a flat patch (plank) and a mesh (water) whose records share one name. A
// wall, a ceiling facing down, and sky, nodraw and fog faces over it all
// are never drawn. Every edge lies on whole units.
const std::vector<map_record> TEST_RECORDS = {
    {"textures/test/floor", 0, 1},
    {"textures/test/platform", set_surface_index(0, 40), 1},  // unknown (028), drawn loud
    {"textures/test/ramp<&>", set_surface_index(0, 12), 1},
    {"textures/test/twin", set_surface_index(0, 28), 1},
    {"textures/test/twin", set_surface_index(0, 30), 1},
    {"textures/test/sky", 0x4, 1},
    {"textures/test/nodraw", 0x80, 1},
    {"textures/test/fog", 0, 0x40},
    {"textures/test/wall", set_surface_index(0, 8), 1},
    {"textures/test/ceiling", set_surface_index(0, 8), 1},
};
constexpr std::size_t PATCH_FACE_INDEX = 3;

std::vector<map_face> test_faces()
{
    map_face patch{3, 2, {}, {}, 3, 3};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            patch.vertices.push_back({8.0f + 8 * column, 20.0f - 6 * row, 16});  // rows down y: it faces up
    map_face ceiling = square(9, 0, 0, 64, 64, 100, 100);
    ceiling.mesh = {0, 1, 2, 0, 2, 3};
    return {square(0, 0, 0, 64, 64, 0, 0),
            square(1, 8, 40, 40, 56, 32, 32),
            square(2, 40, 8, 56, 24, 8, 24),
            patch,
            square(4, 24, 24, 32, 36, 0, 0, 3),  // level with the floor: the later face wins
            {8, 1, {{0, 0, 0}, {0, 64, 0}, {0, 64, 64}, {0, 0, 64}}, {0, 1, 2, 0, 2, 3}},
            ceiling,
            square(5, 0, 0, 64, 64, 200, 200),
            square(6, 0, 0, 64, 64, 210, 210),
            square(7, 0, 0, 64, 64, 150, 150)};
}

const std::string PLAYER = "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"32 32 0\"\n}\n";

bytes test_map(std::vector<map_face> faces = test_faces())
{
    return build_map_with_faces(TEST_RECORDS, faces, "{\n\"classname\" \"worldspawn\"\n}\n" + PLAYER);
}

// The material a pixel shows: the nearest in hue of those the test map
// draws, since shading, hatching, stripes and outlines only darken; "" for
// the background.
std::string material_of(const unsigned char *p)
{
    static const std::map<std::string, std::array<double, 3>> colours = {
        {"none", {200, 200, 192}}, {"unknown (028)", {255, 0, 255}}, {"brick", {176, 72, 52}},
        {"plank", {168, 112, 56}}, {"water", {36, 88, 204}},  {"cement", {168, 168, 152}}};
    if (p[0] == 34 && p[1] == 36 && p[2] == 42)
        return "";
    std::string best;
    double nearest = -1;
    for (const auto &[name, c] : colours) {
        const double cosine = (p[0] * c[0] + p[1] * c[1] + p[2] * c[2]) /
                              std::sqrt((p[0] * p[0] + p[1] * p[1] + p[2] * p[2] + 1.0) * (c[0] * c[0] + c[1] * c[1] + c[2] * c[2]));
        if (cosine > nearest)
            nearest = cosine, best = name;
    }
    return best;
}

// The shares of the plan's width x height pixels at the picture's top left,
// counted by material, in the form the tool prints them.
std::string counted_shares(const std::string &path, int width, int height)
{
    const bytes data = read_bytes(path);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size()))
        return "not a PNG";
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) || int(image.width) < width ||
        int(image.height) < height)
        return "not a picture of the plan";
    std::map<std::string, std::size_t> count;
    std::size_t shown = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::string m = material_of(&pixels[(std::size_t(y) * image.width + x) * 3]);
            if (!m.empty())
                ++count[m], ++shown;
        }
    std::vector<std::pair<std::size_t, std::string>> order;
    for (const auto &[name, n] : count)
        order.push_back({n, name});
    std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    std::string lines;
    for (const auto &[n, name] : order) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %.2f%%\n", name.c_str(), 100.0 * n / shown);
        lines += line;
    }
    return lines;
}

// Pixels of size across 64 units whose centres lie from a to b.
int centres(double a, double b, int size)
{
    const double scale = 64.0 / size;
    int n = 0;
    for (int i = 0; i < size; ++i)
        n += (i + 0.5) * scale >= a && (i + 0.5) * scale <= b;
    return n;
}

std::string share(const char *name, double pixels, double shown)
{
    char line[64];
    std::snprintf(line, sizeof line, "%s %.2f%%\n", name, 100 * pixels / shown);
    return line;
}

// The shares at sizes where pixel centres fall on edges and where they do
// not, on standard output and counted in the picture: the highest surface
// wins, the twins keep their own records' materials, and nothing that faces
// down, sideways, or is sky, nodraw or fog is drawn.
TEST(Plan, SharesAreThoseOfTheHighestSurfaceAtEachPixel)
{
    temp_dir dir;
    ASSERT_TRUE(write_bytes(dir / "m.bsp", test_map()));
    for (const int size : {64, 100, 128}) {
        const double platform = centres(8, 40, size) * centres(8, 24, size), ramp = centres(40, 56, size) * centres(40, 56, size),
                     patch = centres(8, 24, size) * centres(44, 56, size), mesh = centres(24, 32, size) * centres(28, 40, size),
                     all = double(size) * size;
        const std::string shares = share("none", all - platform - ramp - patch - mesh, all) + share("unknown (028)", platform, all) +
                                   share("brick", ramp, all) + share("plank", patch, all) + share("water", mesh, all);
        const run_result r = run_tool(dir, {"--size", std::to_string(size), "m.bsp", "m.png"}, program("lumpsmith-plan"));
        EXPECT_EQ(r.status, 0) << r.err;
        char first[128];
        std::snprintf(first, sizeof first, "m.bsp: m.png, %dx%d pixels, %.2f units a pixel\n", size, size, 64.0 / size);
        EXPECT_EQ(r.out, first + shares) << size;
        EXPECT_EQ(counted_shares(dir / "m.png", size, size), shares) << size;
    }
}

// A slice shows the floor under the platform and only the ramp's foot, in
// the whole map's frame; far scenery sets the frame only when asked.
TEST(Plan, SlicesAndFrames)
{
    temp_dir dir;
    ASSERT_TRUE(write_bytes(dir / "m.bsp", test_map()));
    const run_result sliced = run_tool(dir, {"--heights", "0:10", "--size", "64", "m.bsp", "m.png"}, program("lumpsmith-plan"));
    EXPECT_EQ(sliced.out, "m.bsp: m.png, 64x64 pixels, 1.00 units a pixel\n"
                          "none 96.88%\n"
                          "water 2.34%\n"
                          "brick 0.78%\n");
    EXPECT_EQ(counted_shares(dir / "m.png", 64, 64), sliced.out.substr(sliced.out.find('\n') + 1));
    std::vector<map_face> faces = test_faces();
    faces.push_back(square(1, 5000, 0, 5064, 64, 0, 0));
    ASSERT_TRUE(write_bytes(dir / "far.bsp", test_map(faces)));
    const auto first_line = [&](const std::vector<std::string> &args) {
        const std::string out = run_tool(dir, args, program("lumpsmith-plan")).out;
        return out.substr(0, out.find('\n') + 1);
    };
    EXPECT_EQ(first_line({"far.bsp", "far.png"}), "far.bsp: far.png, 1024x121 pixels, 0.53 units a pixel\n");
    EXPECT_EQ(first_line({"--frame", "all", "far.bsp", "far.png"}), "far.bsp: far.png, 1024x13 pixels, 4.95 units a pixel\n");
    for (const std::vector<std::string> &bad : {std::vector<std::string>{"--heights", "10:0", "m.bsp", "x.png"},
                                               {"--size", "8", "m.bsp", "x.png"}, {"--frame", "some", "m.bsp", "x.png"},
                                               {"--surfaces"}}) {
        const run_result r = run_tool(dir, bad, program("lumpsmith-plan"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.substr(r.err.find("lumpsmith-plan ")),
                  "lumpsmith-plan [--surfaces FILE] [--heights LOW:HIGH] [--frame all] [--size N] SOURCE... OUTPUT\n");
    }
}

// Before an import: the materials it would leave, the changed ones striped
// (still their own hue), and a file the import would refuse refuses the
// picture; the map is never written. The SVG names each face.
TEST(Plan, ShowsWhatAnImportWouldLeave)
{
    temp_dir dir;
    const bytes map = test_map();
    ASSERT_TRUE(write_bytes(dir / "m.bsp", map));
    ASSERT_TRUE(write_text(dir / "s.txt", "textures/test/floor = cement\n"));
    const run_result r = run_tool(dir, {"--surfaces", "s.txt", "--size", "64", "m.bsp", "m.png"}, program("lumpsmith-plan"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "m.bsp: m.png, 64x64 pixels, 1.00 units a pixel\n"
                     "cement 74.22%\nunknown (028) 12.50%\nbrick 6.25%\nplank 4.69%\nwater 2.34%\n");
    EXPECT_EQ(counted_shares(dir / "m.png", 64, 64), r.out.substr(r.out.find('\n') + 1));
    EXPECT_EQ(read_bytes(dir / "m.bsp"), map);
    ASSERT_TRUE(write_text(dir / "crlf.txt", "textures/test/floor = cement\r\n"));
    const run_result refused = run_tool(dir, {"--surfaces", "crlf.txt", "m.bsp", "r.png"}, program("lumpsmith-plan"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Error: Refusing to write r.png: the surface file has errors (above)"), std::string::npos)
        << refused.err;
    EXPECT_TRUE(read_bytes(dir / "r.png").empty());

    EXPECT_EQ(run_tool(dir, {"--surfaces", "s.txt", "m.bsp", "m.svg"}, program("lumpsmith-plan")).status, 0);
    const std::string svg = text_of(read_bytes(dir / "m.svg"));
    EXPECT_EQ(run_shell("! command -v xmllint >/dev/null || xmllint --noout '" + (dir / "m.svg") + "'"), 0);
    for (const std::string title : {"<title>textures/test/ramp&lt;&amp;&gt;: brick</title>",
                                    "<title>textures/test/twin: plank</title>", "<title>textures/test/twin: water</title>",
                                    "<title>textures/test/floor: cement (changed)</title>"})
        EXPECT_NE(svg.find(title), std::string::npos) << title;
    for (const std::string never : {"sky", "nodraw", "fog", "wall", "ceiling"})
        EXPECT_EQ(svg.find("textures/test/" + never), std::string::npos) << never;
}

void poke(bytes *map, std::size_t lump, std::size_t at, std::uint32_t value)
{
    store_u32le(map->data() + load_u32le(map->data() + 8 + 8 * lump) + at, value);
}

// Faces that point outside their lumps are left out and counted, the rest
// drawn; a map without a header draws nothing. Nothing outside is read
// (the sanitizers' build would say).
TEST(Plan, BadFacesAreLeftOutAndCounted)
{
    temp_dir dir;
    struct variant {
        const char *what;
        std::size_t lump, at;  // a lump's directory entry when lump is 99
        std::uint32_t value;
        const char *error;
    };
    const std::size_t patch = PATCH_FACE_INDEX * 104;
    const std::string one = "1 left out, pointing outside the map's lumps\n";
    const variant variants[] = {
        {"faces past the end", 99, 8 + 8 * 13 + 4, 0xFFFFFFF0u, "Error: Cannot draw the faces of m.bsp: its faces lump reaches past the end of the file\n"},
        {"vertices past the end", 99, 8 + 8 * 10 + 4, 0x7FFFFFF0u, "Error: Cannot draw every face of m.bsp: 7 left out, pointing outside the map's lumps\n"},
        {"mesh vertices past the end", 99, 8 + 8 * 11 + 4, 0x10000u, "Error: Cannot draw every face of m.bsp: 6 left out, pointing outside the map's lumps\n"},
        {"first vertex", 13, 12, 1000, nullptr},
        {"vertex count", 13, 16, 0xFFFFFFFFu, nullptr},
        {"first mesh vertex", 13, 20, 0xFFFFFFFBu, nullptr},
        {"mesh vertex count", 13, 24, 1000, nullptr},
        {"mesh vertex", 11, 0, 99, nullptr},
        {"texture past the records", 13, 0, 10, nullptr},
        {"texture below zero", 13, 0, 0xFFFFFFFFu, nullptr},
        {"even patch", 13, patch + 96, 4, nullptr},
        {"small patch", 13, patch + 100, 1, nullptr},
        {"patch beyond its vertices", 13, patch + 96, 5, nullptr},
    };
    for (const variant &v : variants) {
        bytes map = test_map();
        if (v.lump == 99)
            store_u32le(map.data() + v.at, v.value);
        else
            poke(&map, v.lump, v.at, v.value);
        ASSERT_TRUE(write_bytes(dir / "m.bsp", map));
        const run_result r = run_tool(dir, {"m.bsp", "m.png"}, program("lumpsmith-plan"));
        EXPECT_EQ(r.status, 1) << v.what;
        EXPECT_EQ(r.err, v.error ? v.error : "Error: Cannot draw every face of m.bsp: " + one) << v.what;
        EXPECT_EQ(r.out.substr(0, 13), "m.bsp: m.png,") << v.what;
    }
    ASSERT_TRUE(write_bytes(dir / "short.bsp", bytes(100, 0)));
    const run_result r = run_tool(dir, {"short.bsp", "short.png"}, program("lumpsmith-plan"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Error: "), std::string::npos);
    EXPECT_TRUE(read_bytes(dir / "short.png").empty());
}

// Several maps make a folder of NAME.png; a picture replaces only a
// picture, never a map or another file.
TEST(Plan, SeveralMapsFillAFolderAndOnlyPicturesAreReplaced)
{
    temp_dir dir;
    const bytes map = test_map();
    ASSERT_TRUE(write_bytes(dir / "m.bsp", map));
    ASSERT_TRUE(write_archive(dir / "a.pk3", {{"maps/Other.bsp", text_of(map)}, {"maps/m2.bsp", text_of(map)}}));
    const run_result r = run_tool(dir, {"--size", "64", "m.bsp", "a.pk3", "plans"}, program("lumpsmith-plan"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("maps/Other.bsp in a.pk3: plans/Other.png, 64x64"), std::string::npos) << r.out;
    for (const std::string name : {"m", "Other", "m2"})
        EXPECT_EQ(counted_shares(dir / ("plans/" + name + ".png"), 64, 64).substr(0, 12), "none 74.22%\n") << name;
    EXPECT_EQ(run_tool(dir, {"m.bsp", "m.png"}, program("lumpsmith-plan")).status, 0);
    EXPECT_EQ(run_tool(dir, {"m.bsp", "m.png"}, program("lumpsmith-plan")).status, 0);
    ASSERT_TRUE(write_text(dir / "notes.png", "my notes"));
    for (const std::string output : {"notes.png", "m.bsp"}) {
        ASSERT_TRUE(write_archive(dir / "one.pk3", {{"maps/m.bsp", text_of(map)}}));
        const bytes before = read_bytes(dir / output);
        const run_result refused = run_tool(dir, {"one.pk3", output == "m.bsp" ? "m.bsp" : output}, program("lumpsmith-plan"));
        EXPECT_EQ(refused.status, 1) << output;
        EXPECT_EQ(read_bytes(dir / output), before) << output;
    }
}

}  // namespace
