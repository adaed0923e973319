#pragma once
// A length-prefixed zlib block and the bytes it holds: 4 bytes of the
// uncompressed length (little-endian), then the stream of zlib's one-call
// compress. The compressed settings file arrives in this form. Work is done
// at construction, in one zlib call; problems are recorded on the object.
#include <cstdint>
#include <string>

#include "common/bv_errs.h"

namespace brenvik {

class CompressedBuffer : public bv_errs {
public:
    // Either direction may hold at most this many uncompressed bytes.
    static constexpr uint32_t kMaxUncompressed = 104857600;

    CompressedBuffer(bool decompress, const std::string& data);

    // The uncompressed bytes: the result after decompression, the copied
    // input after compression; empty when nothing was produced.
    std::string getResult() const { return uncompressed_; }
    // Prefix and stream after compression (empty when it failed early).
    const std::string& getCompressed() const { return compressed_; }

private:
    void decompress(const std::string& data);
    void compress(const std::string& data);

    std::string uncompressed_;
    std::string compressed_;
};

}  // namespace brenvik
