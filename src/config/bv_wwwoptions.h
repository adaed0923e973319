#pragma once
// bv_wwwoptions: the WWW section of tarvex.dat, one bv_wwwentry per line
// (name, SEQ/REP kind and four quoted values). Kept for the server's other
// programs. Not thread-safe.
#include <cstdint>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

struct bv_wwwentry {
    std::string name;
    int32_t kind = 0;  // 0 SEQ, 1 REP
    int32_t number = -1;
    std::string host = "localhost";
    int32_t port = 80;
    std::string path;

    std::string getPropertyName() const;
    std::string getLineText() const;
};

class bv_wwwoptions : public bv_customproperty {
public:
    bv_wwwoptions() = default;
    void setDefaults();
    void copyFrom(const bv_wwwoptions& other) {
        if (&other != this) *this = other;
    }
    void addEntry(const bv_wwwentry& entry);

    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment);
    // Parses one WWW line; false when it is not a valid entry.
    static bool parseLine(const std::string& line, bv_wwwentry& entry);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }
    const std::vector<bv_wwwentry>& getEntries() const { return entries_; }

private:
    bool sectionAvailable_ = false;
    std::vector<bv_wwwentry> entries_;
};

}  // namespace brenvik
