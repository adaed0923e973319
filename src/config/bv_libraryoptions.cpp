#include "config/bv_libraryoptions.h"

#include <algorithm>
#include <sstream>
#include <string_view>

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

namespace {
std::string numberText(double value) {
    std::ostringstream out;  // a default stream: six significant digits
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}
}  // namespace

bv_libraryoptions::bv_libraryoptions() { setDefaults(); }

void bv_libraryoptions::setDefaults() {
    clear();
    setDefaultSeparator("\t");
    sectionAvailable_ = false;
    entries_.clear();
}

const bv_libraryentry* bv_libraryoptions::getEntry(const std::string& library) const {
    auto it = entries_.find(library);
    return it == entries_.end() ? nullptr : &it->second;
}

std::string bv_libraryoptions::getReferenceFasta(const std::string& library) const {
    const bv_libraryentry* e = getEntry(library);
    return e ? e->referenceFasta : std::string();
}

std::string bv_libraryoptions::getReferenceFastaTaxonomyTitle(const std::string& library) const {
    const bv_libraryentry* e = getEntry(library);
    return e ? e->referenceFastaTaxonomyTitle : std::string();
}

void bv_libraryoptions::setTolInPPM(const std::string& library, double value) {
    entries_[library].tolInPPM = value;
    setProperty(library + "_tolInPPM", numberText(value));
}

void bv_libraryoptions::setTolInDa(const std::string& library, double value) {
    entries_[library].tolInDa = value;
    setProperty(library + "_tolInDa", numberText(value));
}

void bv_libraryoptions::setReferenceFasta(const std::string& library, const std::string& fasta,
                                          const std::string& title) {
    bv_libraryentry& e = entries_[library];
    e.referenceFasta = fasta;
    e.referenceFastaTaxonomyTitle = title;
    setProperty(library + "_referenceFasta", fasta);
    if (!title.empty()) setProperty(library + "_referenceFastaTaxonomyTitle", title);
}

void bv_libraryoptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                                    const std::string& headerComment) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    static const char* const suffixes[] = {"_tolInPPM", "_tolInDa", "_referenceFastaTaxonomyTitle",
                                           "_referenceFasta"};
    std::string line;
    while (sectionsyntax::nextContentLine(lines, *this, line)) {
        // The suffix belongs to the key: a value (a path, say) that holds one
        // names no library.
        const size_t keyStart = std::min(line.find_first_not_of(" \t"), line.size());
        const std::string_view key(line.data(), std::min(line.find_first_of(" \t", keyStart), line.size()));
        int found = -1;
        size_t at = std::string::npos;
        for (int i = 0; i < 4 && found < 0; ++i) {
            at = key.find(suffixes[i]);
            if (at != std::string::npos) found = i;
        }
        if (found < 0) {
            errs.setError(1566, fileName, line);
            continue;
        }
        std::string library = line.substr(0, at);
        size_t valueAt = line.find_first_not_of(" \t", at + std::char_traits<char>::length(suffixes[found]));
        std::string value = valueAt == std::string::npos ? std::string() : line.substr(valueAt);
        if (library.empty() || value.empty()) continue;
        switch (found) {
        case 0: setTolInPPM(library, atofValue(value.c_str())); break;
        case 1: setTolInDa(library, atofValue(value.c_str())); break;
        case 2: setReferenceFasta(library, getReferenceFasta(library), value); break;
        default: setReferenceFasta(library, value, getReferenceFastaTaxonomyTitle(library)); break;
        }
    }
}

}  // namespace brenvik
