#include "config/bv_unigeneoptions.h"

#include "config/bv_sectionlines.h"

namespace brenvik {

void bv_unigeneoptions::setDefaults() {
    clear();
    setDefaultSeparator(" ");
    sectionAvailable_ = false;
}

void bv_unigeneoptions::readSection(bv_sectionlines& lines, const std::string& headerComment) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    std::string line;
    while (lines.nextLine(line)) {
        if (sectionsyntax::isSectionEndLine(line)) break;
        sectionsyntax::trimTrailingBlanks(line);
        addRawLine(line);
    }
}

void bv_configpaths::setDefaults() {
    clear();
    setDefaultSeparator(" ");
    modFile_ = "../config/mod_file";
    enzymesFile_ = "../config/enzymes";
    freqsFile_ = "../config/freqs.dat";
    nodeListFile_ = "../config/nodelist.txt";
}

}  // namespace brenvik
