#pragma once
// The reader of a Taxonomy_N section's lines and its two line parsers, used
// by bv_configfile. Problems are warnings on errs that name the file and line.
#include <string>

namespace brenvik {

class bv_errs;
class bv_parserule;
class bv_sectionlines;
class bv_taxonomyoptions;
struct bv_taxonomyrulespec;

// Reads the section's lines after its header, up to its end line.
void readTaxonomySection(bv_taxonomyoptions& section, bv_sectionlines& lines, bv_errs& errs,
                         const std::string& fileName, const std::string& headerComment);

// "SOURCE CHOP:letters \"expression\"" into spec; false when refused (an
// expression longer than a rule holds included).
bool parseTaxonomyRuleSpec(const std::string& line, const char* text, bv_taxonomyrulespec& spec, bv_errs& errs,
                           const std::string& fileName);

}  // namespace brenvik
