#pragma once

#include <cstddef>

class GeneticCodeTables;

// Decoding of stored nucleic-acid sequences and translation of their six
// reading frames.
//
// Codings: 0 and 1 text; 2 four bits per base (low half-byte first; 1 T, 2 C,
// 3 A, 4 G, 5 N, 0 ends); 3 two bits per base, four per byte, highest bits
// first (0 A, 1 C, 2 G, 3 T), the final byte's low two bits counting its bases.

// Bytes an output buffer of decodeNucleotides needs (terminating zero
// included) for `length` as the iterator gives it: the residue count for
// codings 0 to 2, the index of the final byte for coding 3.
size_t decodedBufferSize(int coding, int length);

// Writes the letters and a terminating zero into `out` (at least
// decodedBufferSize bytes); returns their number, 0 for an unknown coding
// (nothing written). `length` bounds the read for every coding: codings 0 to
// 2 stop at that many letters (or earlier at their end mark; -1 means no
// bound), coding 3 reads bytes 0 to `length`.
int decodeNucleotides(const unsigned char* stored, char* out, int coding, int length);

// The complement of `letters` in reverse order, terminated; returns n (0 with
// an empty output when n <= 0). A, C, G, T, U complement; anything else gives '?'.
int reverseComplement(char* out, const char* letters, int n);

// Translates frame 1 to 6 (4 to 6 on the reverse complement) with table
// `tableId`. `outSize` counts the terminating zero. When the codons do not
// fit, sets `*overflow`, reports message 104, leaves an empty text and
// returns 0. Returns the number of amino acids written.
int translateFrame(const GeneticCodeTables& tables, const unsigned char* stored, int frame, int tableId,
                   int coding, char* out, int outSize, int storedLength, bool* overflow);
