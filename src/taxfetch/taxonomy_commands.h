#pragma once
// The taxonomy tool's commands for the command line and CGI GET: commands 1
// to 7 and 9 answer for an accession of a database (1 to 4, 9) or for a
// taxonomy ID (5 to 7) as plain text (1, 9) or an HTML page (2 to 7). All
// output goes to standard output after the content-type line.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/bv_configfile.h"
#include "database/species_names.h"
#include "database/taxonomy_rules.h"
#include "database/taxonomy_tree.h"

class cmdline_request;

namespace taxfetch {

// The text with the four HTML escapes (& < > "), for everything a page
// shows that came from a request or a file.
std::string htmlEscape(const std::string& text);

// The enabled Taxonomy_N section of a database, or null (N below 1, no such
// section, or not enabled).
const brenvik::bv_taxonomyoptions* enabledTaxonomySection(const brenvik::bv_databaseentry& database,
                                                         const brenvik::bv_configfile& config);

// The species files of the rules as the loader takes them.
std::vector<SpeciesFileRecord> speciesFileRecords(const brenvik::TAXONOMY_RULES& rules);
// What the taxonomy tree needs of the rules.
TaxonomyNodesSection nodesSectionOf(const brenvik::TAXONOMY_RULES& rules);

void runTaxonomyCommand(int command, const std::string& database, const std::string& text,
                        const std::string& sessionId, cmdline_request& request);

void printTaxonomyReport(const brenvik::bv_databaseentry& database, const std::string& text,
                         const std::vector<int>& taxIds, const std::vector<std::string>& accessions, int command,
                         const std::string* title, brenvik::bv_configfile& config, int jobNumber);

// Lineage from the taxon up to the root, names joined by "->", then
// "<BR><BR>". The node set is built on first use and kept for the request.
void printTaxonomyTree(int taxId, SpeciesNamesById& names, const TaxonomyNodesSection& section,
                       std::unique_ptr<CTaxonomyNodeSet>& nodes);

void printDescriptionLines(const std::string* title);

void printTranslationTable(const brenvik::bv_databaseentry& database, int taxId, const brenvik::bv_configfile& config);

}  // namespace taxfetch
