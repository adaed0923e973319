#pragma once
// The residue table from which random sequences with a database's residue
// composition are drawn: residues with cumulative frequencies scaled to
// 2^30, set up from the database's statistics file, or from built-in
// amino-acid frequencies for small databases. Embedded in the sequence
// iterator, used only in its random mode.
#include <cstdint>

#include "database/bv_controlfile.h"

class CRandomSequenceGenerator {
public:
    static constexpr int kMaxResidues = 256;
    static constexpr uint32_t kScale = 1u << 30;

    CRandomSequenceGenerator() = default;
    virtual ~CRandomSequenceGenerator();

    // Fills and normalises the table for the record's database.
    void init(const brenvik::ControlFileRecord* record, int jobNumber);
    // Empties the table (the iterator does this before init).
    void reset();

    uint8_t normalised = 0;
    uint32_t count = 0;
    uint32_t total = 0;
    char residues[kMaxResidues] = {};
    uint32_t cumulative[kMaxResidues] = {};
};

// Appends A to Z with the built-in frequencies, each v := (integer part of
// scale x frequency) >> 10.
void addBuiltInFrequencies(CRandomSequenceGenerator& generator, int scale);
// Scales the cumulative entries to 2^30, once.
void normaliseFrequencies(CRandomSequenceGenerator& generator);
