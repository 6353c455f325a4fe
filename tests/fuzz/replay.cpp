// replay - runs a fuzz target over its committed corpus and past crashes as a plain test.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#ifndef FUZZ_SUITE
#error "FUZZ_SUITE must name the test suite"
#endif

#ifndef FUZZ_INPUTS
#error "FUZZ_INPUTS must name the folders of inputs, separated by ':'"
#endif

namespace {

std::vector<std::string> inputs()
{
    std::vector<std::string> files;
    std::string dirs = FUZZ_INPUTS;
    for (size_t at = 0; at <= dirs.size();) {
        size_t colon = dirs.find(':', at);
        if (colon == std::string::npos)
            colon = dirs.size();
        std::string dir = dirs.substr(at, colon - at);
        at = colon + 1;
        DIR *d = opendir(dir.c_str());
        if (d == nullptr)
            continue;
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return files;
}

} // namespace

// Every saved input runs through the target; a failed check aborts the test.
TEST(FUZZ_SUITE, EveryCorpusInputAndPastCrashPasses)
{
    auto files = inputs();
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
