// Replays every saved fuzzer input (seeds and past findings) through the
// parser in the ordinary test build, so that a crash once found stays fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/multipart_fuzz_body.h"

TEST(MultipartCorpus, EverySavedInputParsesWithoutFault) {
    const std::filesystem::path dir = std::filesystem::path(TARVEX_SOURCE_DIR) / "tests/fuzz/corpus/multipart";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        parseMultipartInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    EXPECT_GT(count, 0);
}
