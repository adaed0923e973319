#include "taxfetch/species_search.h"

#include <cstdio>
#include <string>

#include "common/error_reporter.h"
#include "database/species_names.h"
#include "database/taxonomy_rules.h"
#include "taxfetch/taxonomy_commands.h"

namespace taxfetch {

namespace {
// The section whose species files the search reads, whatever database the
// command names.
constexpr int kSearchSection = 2;
constexpr int kSearchJob = 1;
constexpr int kSearchLists[] = {0, 1, 2, 4, 5};
}  // namespace

void searchSpeciesName(const char* name, const brenvik::bv_configfile& config) {
    if (name == nullptr) return;
    std::string key = name;
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

    brenvik::TAXONOMY_RULES rules;
    rules.loadFromSection(config.taxonomySection(kSearchSection));
    const std::vector<SpeciesFileRecord> files = speciesFileRecords(rules);
    std::string errorText;
    // One load in file order serves both the upper-case search and the
    // names of the ID found.
    CSpeciesNameLists lists;
    lists.sortTables = false;
    const std::size_t reportsBefore = errorReporter.getDeliveredCount();
    SpeciesLoadOptions options;
    options.jobNumber = kSearchJob;
    options.loadGiPairs = true;
    options.regexTexts = rules.regexTexts;
    loadSpeciesFiles(files, lists, options, errorText);
    if (errorReporter.getDeliveredCount() != reportsBefore) {
        // The search has always read the files twice (once in upper case),
        // so a file's problems are reported twice; a faulty set-up keeps
        // saying so.
        CSpeciesNameLists again;
        again.sortTables = false;
        options.upperCase = true;
        loadSpeciesFiles(files, again, options, errorText);
    }

    bool found = false;
    for (int list : kSearchLists) {
        int taxId = 0, nameClass = 0;
        if (!lists.tables[list].findNameUpperCase(key.c_str(), taxId, nameClass)) continue;
        found = true;
        std::printf("Found %s, taxonomy ID = %d, name class = %s\n", name, taxId, getNameClassText(nameClass));
        std::printf("\nOther names with the same id are:\n");
        std::printf("      ID  Name Class                 Name\n");
        for (const auto& ref : lists.namesOf(taxId)) {
            if (ref.table != list) continue;
            std::printf("  %6d  %-25s  %s\n", taxId, getNameClassText(ref.entry->nameClass), ref.entry->name);
        }
    }
    if (!found) std::printf("Failed to find a match\n");
    std::fflush(stdout);
}

}  // namespace taxfetch
