#include "http/compressed_buffer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

using brenvik::CompressedBuffer;

std::string prefix(uint32_t n) {
    std::string p(4, '\0');
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return p;
}

std::string zlibStream(const std::string& data) {
    uLongf len = compressBound(data.size());
    std::string out(len, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(data.data()), data.size());
    out.resize(len);
    return out;
}

bool hasMessage(const brenvik::bv_errs& e, int number) {
    for (int i = 1; i <= e.getNumberOfErrors(); ++i)
        if (e.getErrorNumber(i) == number) return true;
    return false;
}

TEST(CompressedBuffer, CompressThenDecompressRoundTrip) {
    CompressedBuffer packed(false, "abc");
    ASSERT_TRUE(packed.isValid());
    EXPECT_EQ(packed.getResult(), "abc");
    const std::string& block = packed.getCompressed();
    ASSERT_GT(block.size(), 4u);
    EXPECT_EQ(block.substr(0, 4), std::string("\x03\x00\x00\x00", 4));

    CompressedBuffer unpacked(true, block);
    EXPECT_TRUE(unpacked.isValid());
    EXPECT_EQ(unpacked.getNumberOfErrors(), 0);
    EXPECT_EQ(unpacked.getResult(), "abc");
}

TEST(CompressedBuffer, DecompressFaults) {
    const std::string text(1000, 'x');
    const std::string stream = zlibStream(text);
    struct Case {
        const char* what;
        std::string block;
        bool valid;
        int message;  // 0: none expected
        std::size_t resultSize;
    } cases[] = {
        {"four bytes", prefix(3), true, 0, 0},
        {"empty", "", true, 0, 0},
        {"over the limit", prefix(104857601) + stream, false, 5891, 0},
        {"prefix says more", prefix(2000) + stream, true, 5893, 1000},
        {"prefix says less", prefix(10) + stream, false, 5890, 10},
        {"garbage", prefix(1000) + "not a zlib stream", false, 5891, 0},
    };
    for (const Case& c : cases) {
        CompressedBuffer b(true, c.block);
        EXPECT_EQ(b.isValid(), c.valid) << c.what;
        if (c.message != 0)
            EXPECT_TRUE(hasMessage(b, c.message)) << c.what;
        else
            EXPECT_EQ(b.getNumberOfErrors(), 0) << c.what;
        EXPECT_EQ(b.getResult().size(), c.resultSize) << c.what;
    }
}

TEST(CompressedBuffer, CompressFaults) {
    CompressedBuffer empty(false, "");
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(empty.getLastError(), 5895);
    EXPECT_TRUE(empty.getCompressed().empty());

    CompressedBuffer tooLong(false, std::string(104857601, 'a'));
    EXPECT_FALSE(tooLong.isValid());
    EXPECT_EQ(tooLong.getLastError(), 5894);
    EXPECT_TRUE(tooLong.getResult().empty());
}

}  // namespace
