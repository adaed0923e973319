#include <cstddef>
#include <cstdint>

#include "fuzz/multipart_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    parseMultipartInput(data, size);
    return 0;
}
