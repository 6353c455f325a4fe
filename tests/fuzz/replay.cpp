// replay - runs a fuzz target over its committed corpus and past crashes as a plain test.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Every saved input, a file of the folders FUZZ_INPUTS names (separated by
// ':'), runs through the target; a failed check aborts the test.
TEST(FUZZ_SUITE, EveryCorpusInputAndPastCrashPasses)
{
    std::vector<std::string> files;
    std::istringstream dirs(FUZZ_INPUTS);
    std::error_code missing; // a folder of past crashes may not exist yet
    for (std::string dir; std::getline(dirs, dir, ':');)
        for (const auto &e : std::filesystem::directory_iterator(dir, missing))
            if (!e.path().filename().string().starts_with(".")) // .gitkeep
                files.push_back(e.path());
    ASSERT_FALSE(files.empty()) << "no inputs in " << FUZZ_INPUTS;
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::ifstream in(f, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
                                         bytes.size()),
                  0);
    }
}
