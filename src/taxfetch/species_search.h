#pragma once
// Command 8 of the taxonomy tool: the taxonomy IDs of a species name in the
// species files of Taxonomy_2, each with every name of that ID.
#include "config/bv_configfile.h"

namespace taxfetch {

// Prints the matches of name (as typed; compared without regard to the case
// of a to z) as plain text; a null name prints nothing.
void searchSpeciesName(const char* name, const brenvik::bv_configfile& config);

}  // namespace taxfetch
