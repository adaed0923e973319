// Report output of the taxonomy commands: plain lines, HTML pages, the
// lineage, the description lines and the translation-table ID.
#include <cstdio>
#include <cstdlib>

#include "common/text_utils.h"
#include "config/bv_taxonomyoptions.h"
#include "taxfetch/taxonomy_commands.h"

namespace taxfetch {

namespace {

constexpr int kReportJob = -14;

void out(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

std::string htmlEscape(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default: result += c;
        }
    }
    return result;
}

const brenvik::bv_taxonomyoptions* enabledTaxonomySection(const brenvik::bv_databaseentry& database,
                                                         const brenvik::bv_configfile& config) {
    const int n = database.taxonomySectionNumber();
    if (n < 1) return nullptr;
    const brenvik::bv_taxonomyoptions* section = config.taxonomySection(n);
    if (section == nullptr || !section->isEnabled()) return nullptr;
    return section;
}

std::vector<SpeciesFileRecord> speciesFileRecords(const brenvik::TAXONOMY_RULES& rules) {
    std::vector<SpeciesFileRecord> records;
    for (const auto& file : rules.speciesFiles) records.push_back({file.source, file.name});
    return records;
}

TaxonomyNodesSection nodesSectionOf(const brenvik::TAXONOMY_RULES& rules) {
    TaxonomyNodesSection section;
    for (const auto& file : rules.nodesFiles) section.nodesFiles.push_back(file.name);
    section.mitochondrialTranslation = !rules.nuclearTranslation;
    return section;
}

void printTaxonomyTree(int taxId, SpeciesNamesById& names, const TaxonomyNodesSection& section,
                       std::unique_ptr<CTaxonomyNodeSet>& nodes) {
    // The root needs no tree; any other ID walks up the tree, which stops at
    // a repeated ID so that a looping nodes file cannot hang the request.
    std::vector<int> lineage;
    if (taxId == 1) {
        lineage.push_back(1);
    } else if (taxId > 1) {
        if (!nodes) {
            std::string errorText;
            nodes = loadTaxonomyNodes(kReportJob, &section, errorText, false);
        }
        lineage = nodes->getLineage(taxId);
    }
    for (size_t i = 0; i < lineage.size(); ++i) {
        if (i > 0) out("->");
        if (const char* name = names.scientificNameOf(lineage[i])) out(htmlEscape(name));
    }
    out("<BR><BR>");
}

void printDescriptionLines(const std::string* title) {
    if (title == nullptr) return;
    out("<HR><BR>");
    out("<B>Description lines:</B><BR>");
    forEachTitlePiece(*title, [](std::string_view piece) {
        out(htmlEscape(std::string(piece)) + "<BR>");
        return true;
    });
}

void printTranslationTable(const brenvik::bv_databaseentry& database, int taxId, const brenvik::bv_configfile& config) {
    const brenvik::bv_taxonomyoptions* sectionOptions = enabledTaxonomySection(database, config);
    if (sectionOptions == nullptr || taxId < 2) return;
    brenvik::TAXONOMY_RULES rules;
    rules.loadFromSection(sectionOptions);
    const TaxonomyNodesSection section = nodesSectionOf(rules);
    std::string errorText;
    auto nodes = loadTaxonomyNodes(kReportJob, &section, errorText, false);
    int parent = 0, table = 1;
    if (nodes->getParent(taxId, parent, table)) {
        std::printf("%d\n", table);
    } else {
        out("Table ID not found\n");
    }
}

void printTaxonomyReport(const brenvik::bv_databaseentry& database, const std::string& text,
                         const std::vector<int>& taxIds, const std::vector<std::string>& accessions, int command,
                         const std::string* title, brenvik::bv_configfile& config, int jobNumber) {
    const brenvik::bv_taxonomyoptions* sectionOptions = enabledTaxonomySection(database, config);
    if (sectionOptions == nullptr) return;
    brenvik::TAXONOMY_RULES rules;
    rules.loadFromSection(sectionOptions);

    const bool page = command >= 2 && command <= 7;
    if (page) {
        const std::string shown = htmlEscape(text);
        out("<HTML>\n");
        out("<HEAD><LINK REL=\"shortcut icon\" HREF=\"../favicon.ico\"><TITLE>Taxonomy for " + shown +
            "</TITLE></HEAD>\n");
        out("<BODY>\n");
        out("<H2>Taxonomy for " + shown + "</H2>");
    }

    SpeciesNamesById names;
    std::string errorText;
    names.load(speciesFileRecords(rules), rules.regexTexts, jobNumber, errorText);

    const TaxonomyNodesSection section = nodesSectionOf(rules);
    std::unique_ptr<CTaxonomyNodeSet> nodes;
    for (std::size_t i = 0; i < taxIds.size(); ++i) {
        const int taxId = taxIds[i];
        std::string scientificName = "Unknown species";
        std::set<std::string> otherNames;
        names.forEachName(taxId, [&](const SpeciesNamesById::Name& name) {
            if (name.nameClass == 0)
                scientificName = name.name;
            else
                otherNames.emplace(name.name);
            return true;
        });
        std::string accession;
        if (i < accessions.size()) {
            accession = accessions[i];
        } else if (!accessions.empty()) {
            accession = accessions.front();
        }

        switch (command) {
        case 1:
            if (taxId == -1) {
                std::printf("%s\n", accession.c_str());
            } else {
                std::printf("%s %d %s\n", accession.c_str(), taxId, scientificName.c_str());
            }
            break;
        case 2: out(htmlEscape(accession) + " " + htmlEscape(scientificName) + "<BR>"); break;
        case 5: out(htmlEscape(scientificName) + "<BR>"); break;
        case 3:
        case 4:
        case 6:
        case 7: {
            if (command <= 4) {
                out("<B>" + htmlEscape(accession) + " " + htmlEscape(scientificName) + "</B>");
            } else {
                out("<B>" + htmlEscape(scientificName) + "</B>");
            }
            if (!otherNames.empty()) {
                std::string joined;
                for (const std::string& name : otherNames) {
                    if (!joined.empty()) joined += ", ";
                    joined += htmlEscape(name);
                }
                out(" (" + joined + ")");
            }
            out("<BR>");
            if (command == 4 || command == 7) printTaxonomyTree(taxId, names, section, nodes);
            break;
        }
        default: break;
        }
    }
    if (page) {
        if (command <= 4) printDescriptionLines(title);
        out("</BODY>\n");
        out("</HTML>\n");
    }
    std::fflush(stdout);
}

}  // namespace taxfetch
