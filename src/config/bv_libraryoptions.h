#pragma once
// bv_libraryoptions: the LibraryOptions section of tarvex.dat, per-library
// settings keyed by library name and a fixed suffix. Kept for the server's
// other programs. Not thread-safe.
#include <map>
#include <string>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

struct bv_libraryentry {
    std::string referenceFasta;
    std::string referenceFastaTaxonomyTitle;
    double tolInPPM = 500.0;
    double tolInDa = 0.6;
};

class bv_libraryoptions : public bv_customproperty {
public:
    bv_libraryoptions();
    void setDefaults();
    void copyFrom(const bv_libraryoptions& other) {
        if (&other != this) *this = other;
    }

    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }

    std::string getReferenceFasta(const std::string& library) const;
    std::string getReferenceFastaTaxonomyTitle(const std::string& library) const;
    // The entry of a library, or null.
    const bv_libraryentry* getEntry(const std::string& library) const;
    const std::map<std::string, bv_libraryentry>& getEntries() const { return entries_; }

    void setTolInPPM(const std::string& library, double value);
    void setTolInDa(const std::string& library, double value);
    void setReferenceFasta(const std::string& library, const std::string& fasta, const std::string& title);

private:
    bool sectionAvailable_ = false;
    std::map<std::string, bv_libraryentry> entries_;
};

}  // namespace brenvik
