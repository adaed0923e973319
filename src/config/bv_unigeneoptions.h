#pragma once
// bv_unigeneoptions: the UniGene section of tarvex.dat, kept as raw lines only.
#include <string>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_sectionlines;

class bv_unigeneoptions : public bv_customproperty {
public:
    bv_unigeneoptions() { bv_unigeneoptions::setDefaults(); }
    virtual ~bv_unigeneoptions() = default;
    bv_unigeneoptions(const bv_unigeneoptions&) = default;
    bv_unigeneoptions& operator=(const bv_unigeneoptions&) = default;

    virtual void setDefaults();
    void copyFrom(const bv_unigeneoptions& other) {
        if (&other != this) *this = other;
    }
    void readSection(bv_sectionlines& lines, const std::string& headerComment);

    bool isUniGeneSectionAvailable() const { return sectionAvailable_; }
    void setUniGeneSectionAvailable(bool on) { sectionAvailable_ = on; }
    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }

private:
    bool sectionAvailable_ = false;
};

// bv_configpaths: the default paths of four other configuration files. The
// Files section's lines are skipped; only these defaults count.
class bv_configpaths : public bv_customproperty {
public:
    bv_configpaths() { setDefaults(); }
    void setDefaults();
    void copyFrom(const bv_configpaths& other) {
        if (&other != this) *this = other;
    }

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }
    std::string getModFile() const { return modFile_; }
    std::string getEnzymesFile() const { return enzymesFile_; }
    std::string getFreqsFile() const { return freqsFile_; }
    std::string getNodeListFile() const { return nodeListFile_; }

private:
    bool sectionAvailable_ = false;
    std::string modFile_;
    std::string enzymesFile_;
    std::string freqsFile_;
    std::string nodeListFile_;
};

}  // namespace brenvik
