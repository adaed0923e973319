#include "http/compressed_buffer.h"

#include <zlib.h>

namespace brenvik {

namespace {

constexpr int kMsgNoMemory = 5889;
constexpr int kMsgBufferTooSmall = 5890;
constexpr int kMsgInvalidData = 5891;
constexpr int kMsgUnknownZipError = 5892;
constexpr int kMsgLengthDiffers = 5893;
constexpr int kMsgTooLong = 5894;
constexpr int kMsgZeroLength = 5895;

uint32_t readLittleEndian32(const std::string& data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

CompressedBuffer::CompressedBuffer(bool decompressFlag, const std::string& data) {
    if (decompressFlag)
        decompress(data);
    else
        compress(data);
}

void CompressedBuffer::decompress(const std::string& data) {
    if (data.size() <= 4) return;
    compressed_ = data;
    uint32_t expected = readLittleEndian32(data);
    if (expected > kMaxUncompressed) {
        setError(kMsgInvalidData);
        return;
    }
    std::string out(expected, '\0');
    uLongf produced = expected;
    int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &produced,
                        reinterpret_cast<const Bytef*>(data.data() + 4), data.size() - 4);
    switch (rc) {
        case Z_OK: break;
        case Z_BUF_ERROR: setError(kMsgBufferTooSmall, static_cast<unsigned long>(produced)); break;
        case Z_MEM_ERROR: setError(kMsgNoMemory); break;
        case Z_DATA_ERROR: setError(kMsgInvalidData); break;
        default: setError(kMsgUnknownZipError); break;
    }
    if (produced != expected)
        setError(kMsgLengthDiffers, static_cast<unsigned>(expected), static_cast<unsigned long>(produced));
    out.resize(produced);
    uncompressed_ = std::move(out);
}

void CompressedBuffer::compress(const std::string& data) {
    if (data.size() > kMaxUncompressed) {
        setError(kMsgTooLong, static_cast<unsigned long>(data.size()),
                 static_cast<unsigned long>(kMaxUncompressed));
        return;
    }
    if (data.empty()) {
        setError(kMsgZeroLength);
        return;
    }
    uncompressed_ = data;
    uLong bound = compressBound(data.size());
    std::string out(bound + 4, '\0');
    uLongf deflated = bound;
    int rc = ::compress(reinterpret_cast<Bytef*>(out.data() + 4), &deflated,
                        reinterpret_cast<const Bytef*>(data.data()), data.size());
    switch (rc) {
        case Z_OK: break;
        case Z_BUF_ERROR: setError(kMsgBufferTooSmall, static_cast<unsigned long>(data.size())); break;
        case Z_MEM_ERROR: setError(kMsgNoMemory); break;
        default: setError(kMsgUnknownZipError); break;
    }
    if (rc != Z_OK) deflated = 0;
    uint32_t length = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    out.resize(deflated + 4);
    compressed_ = std::move(out);
}

}  // namespace brenvik
