// The tarvex.dat of the bench installations: database "Big" on taxonomy
// section 1, the given taxonomy sections, no cluster, and the test
// installations' Options.
#pragma once

#include <string>

#include "support/fixture_install.h"

inline std::string benchTarvexDat(const std::string& taxonomySections) {
    return "Databases\n"
           "Big\t../sequence/Big/Big_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t1\n"
           "end\n\n" +
           taxonomySections + tarvex_test::fixtureClusterAndOptions();
}
