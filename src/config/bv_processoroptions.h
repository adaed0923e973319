#pragma once
// bv_processoroptions: the Processor section of tarvex.dat, the processors the
// server may use (ProcessorSet) and per database the processors for it. Kept
// for the server's other programs. Not thread-safe.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

struct bv_processorentry {
    std::string databaseName;
    std::vector<int32_t> processors;
};

class bv_processoroptions : public bv_customproperty {
public:
    // Tells whether name is an active database of the Databases section
    // (exact match) and gives its thread count.
    using ActiveDatabase = std::function<bool(const std::string& name, int32_t& threads)>;

    bv_processoroptions();
    void setDefaults();
    void copyFrom(const bv_processoroptions& other) {
        if (&other != this) *this = other;
    }

    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment, const ActiveDatabase& activeDatabase);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }
    const std::vector<int32_t>& getProcessorSet() const { return processorSet_; }
    const std::vector<bv_processorentry>& getEntries() const { return entries_; }

private:
    bool sectionAvailable_ = false;
    std::vector<int32_t> processorSet_;
    std::vector<bv_processorentry> entries_;
};

}  // namespace brenvik
