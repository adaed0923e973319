#pragma once
// The Databases section: one sequence database per line in fixed columns,
// kept in file order. A line commented out with one "#" is an inactive
// database that stays in the list; "##" lines are comments that belong to
// the next database. Not thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

class bv_databaseentry {
public:
    enum Type { TYPE_AA = 0, TYPE_NA = 1, TYPE_SL = 2 };
    static constexpr std::size_t kMaxName = 159;
    static constexpr std::size_t kMaxPath = 255;

    bv_databaseentry() { setDefaults(); }
    void setDefaults();

    std::string getName() const { return name; }
    bool isActive() const { return active; }
    int getType() const { return type; }
    int taxonomySectionNumber() const { return taxonomySection; }

    bool active;
    std::string name;
    std::string path;
    int type;
    int column4;
    int column5;
    bool column6Flag;
    bool column7IsZero;
    int threadCount;
    bool column9Flag;
    bool accessionRefFlag;
    int accessionRule;
    int descriptionRule;
    int accessionRefRule;
    int taxonomySection;
    std::string comment;
};

class bv_databaseoptions : public bv_customproperty {
public:
    bv_databaseoptions() { setDefaults(); }
    bv_databaseoptions(const bv_databaseoptions& other) : bv_customproperty(other) { copyEntries(other); }
    bv_databaseoptions& operator=(const bv_databaseoptions& other);

    void setDefaults();

    int getNumberOfDatabases() const { return static_cast<int>(entries_.size()); }
    // Entry i in file order; null outside 0 .. count-1.
    const bv_databaseentry* getDatabase(int i) const {
        return i >= 0 && i < getNumberOfDatabases() ? entries_[static_cast<std::size_t>(i)].get() : nullptr;
    }
    // Index of the first entry named exactly so (inactive ones only with the
    // flag); -1 for a null or empty name or when none matches.
    int findDatabase(const char* name, bool includeInactive) const;
    // Adds a copy unless an entry of that name (ignoring case) exists.
    void addDatabase(const bv_databaseentry& entry, const std::string& restOfLine);

    // Reads the section's lines up to its end line; the caller keeps the
    // comment that stood before the header.
    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }
    const std::string& getTrailingComment() const { return trailingComment_; }

private:
    void copyEntries(const bv_databaseoptions& other);
    // True when the text held enough fields for an entry.
    bool readLine(const std::string& line, bool commented, std::string& pending, bv_errs& errs,
                  const std::string& fileName);

    bool sectionAvailable_ = false;
    std::vector<std::unique_ptr<bv_databaseentry>> entries_;
    std::string trailingComment_;
};

}  // namespace brenvik
