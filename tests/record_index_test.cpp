#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "commands/record_index.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {


// The index must give what scanning every record for every line gives.
TEST(RecordIndex, AgreesWithAScanOfEveryRecord)
{
    std::mt19937 random(12345);
    const std::vector<std::string> pool = {"", "a", "b", "ab", "a\tb", "A", NAME64, "textures/x", "textures/y"};
    for (int round = 0; round < 50; ++round) {
        std::vector<map_record> records;
        const std::size_t count = random() % 40;
        for (std::size_t i = 0; i < count; ++i)
            records.push_back({pool[random() % pool.size()], static_cast<std::uint32_t>(random()), 1});
        texture_lump lump = lump_of(build_lump(records));
        texture_lump scanned = lump_of(bytes_of(lump));
        record_index index;
        index_records(lump, &index);
        for (int line = 0; line < 30; ++line) {
            const std::string &name = pool[random() % pool.size()];
            const unsigned surface = random() % SURFACE_COUNT;
            bool matched = false;
            for (std::size_t i = 0; i < count; ++i) {
                if (name_of_record(scanned, i) == name) {
                    set_record_surface_flags(&scanned, i, set_surface_index(surface_flags_of_record(scanned, i), surface));
                    matched = true;
                }
            }
            EXPECT_EQ(note_surface(&index, name, surface), matched);
        }
        apply_noted(index, &lump);
        EXPECT_EQ(bytes_of(lump), bytes_of(scanned)) << "round " << round;
    }
}

// Names chosen to fall into one slot of a table indexed by the standard,
// unkeyed hash, as anyone can choose them, spread across the slots of the
// keyed one: their import stays linear.
TEST(RecordIndex, NamesMadeToCollideUnderAFixedHashSpreadUnderTheKeyedOne)
{
    constexpr std::size_t mask = 511;
    std::vector<std::string> crafted;
    for (std::size_t n = 0; crafted.size() < 1000; ++n) {
        const std::string name = "textures/crafted/" + std::to_string(n);
        if ((std::hash<std::string_view>{}(name) & mask) == 0)
            crafted.push_back(name);
    }
    std::vector<bool> used(mask + 1);
    for (const std::string &name : crafted)
        used[name_hash(name) & mask] = true;
    // A thousand names spread at random over 512 slots fill about 440.
    EXPECT_GT(std::count(used.begin(), used.end(), true), 256);
}

// Each run draws its own key, so that names crafted against one run's slots
// are spread by the next: the test runs itself twice, each printing the
// hash of one name, and the two differ.
TEST(RecordIndex, EachRunDrawsItsOwnKey)
{
    if (const char *name = std::getenv("LUMPSMITH_TEST_HASH_OF")) {
        std::printf("hash: %016llx\n", static_cast<unsigned long long>(name_hash(name)));
        return;
    }
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    std::vector<std::string> hashes;
    for (int run = 0; run < 2; ++run) {
        const std::string command = std::string("LUMPSMITH_TEST_HASH_OF=textures/a '") + self +
                                    "' --gtest_filter=RecordIndex.EachRunDrawsItsOwnKey | grep '^hash: '";
        std::FILE *out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[64] = "";
        EXPECT_NE(std::fgets(line, sizeof line, out), nullptr);
        pclose(out);
        hashes.push_back(line);
    }
    EXPECT_EQ(hashes[0].rfind("hash: ", 0), 0u);
    EXPECT_NE(hashes[0], hashes[1]);
}

}  // namespace
