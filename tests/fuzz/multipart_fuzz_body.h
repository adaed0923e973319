#pragma once
// One POST body through the boundary search and the part parser, as the
// request frame runs them. The first byte picks the tool and whether a
// content type is given; the rest is the body. Used by the libFuzzer target
// and by the test that replays the corpus.
#include <cstddef>
#include <cstdint>

void parseMultipartInput(const uint8_t* data, size_t size);
