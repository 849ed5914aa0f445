#include <gtest/gtest.h>

#include <random>

#include "commands/record_index.h"
#include "surfaces/surfaces.h"
#include "test_support.h"

namespace {

const std::string NAME64(64, 'n');

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

}  // namespace
