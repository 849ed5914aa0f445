// Runs the fuzz target over saved inputs, without libFuzzer, so that the
// corpus of inputs that once mattered is replayed by every test run.
// Usage: fuzz_replay file_or_dir...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "map_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv)
{
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto &entry : std::filesystem::directory_iterator(argv[i]))
                inputs.push_back(entry.path().string());
        } else {
            inputs.push_back(argv[i]);
        }
    }
    for (const std::string &path : inputs) {
        const bytes data = read_bytes(path);
        std::fprintf(stderr, "replaying %s\n", path.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
