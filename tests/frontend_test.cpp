// The front end in this process, where the file seam can act between its
// steps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "frontend/frontend.h"
#include "io_faults.h"
#include "test_support.h"

namespace {

struct link_swap {
    std::string link, map;
    bool done;
};

void point_the_link_at_the_map(void *context)
{
    link_swap &swap = *static_cast<link_swap *>(context);
    swap.done = unlink(swap.link.c_str()) == 0 && symlink(swap.map.c_str(), swap.link.c_str()) == 0;
}

// Regression: the output was checked by path, then opened by path with
// "w", and a link flipped in between from a harmless file to the map
// emptied the map. Now the output is opened first, without emptying it,
// and the file opened is the one checked.
TEST(FrontEnd, AnOutputLinkSwappedToTheMapAfterTheStartIsRefused)
{
    temp_dir dir;
    link_swap swap{dir / "out.txt", dir / "map.bsp", false};
    const std::string &map_path = swap.map, &link_path = swap.link;
    const bytes map = build_map(build_lump({{"textures/a", 0x00500000, 0x1}}), 200);
    ASSERT_TRUE(write_bytes(map_path, map));
    ASSERT_TRUE(write_bytes(dir / "harmless.txt", bytes{'h'}));
    ASSERT_EQ(symlink((dir / "harmless.txt").c_str(), link_path.c_str()), 0);
    std::vector<std::string> args = {"lumpsmith", "-se", map_path, link_path};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    before_io(IO_READ, 1, point_the_link_at_the_map, &swap);
    const int status = run_command_line(static_cast<int>(args.size()), argv.data());
    disarm_io();
    ASSERT_TRUE(swap.done);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(read_bytes(map_path), map);
    EXPECT_EQ(read_bytes(dir / "harmless.txt"), bytes{'h'});
}

}  // namespace
