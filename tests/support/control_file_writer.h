#pragma once
// Builds control files for tests (entries, both halves, node and database
// blocks, job slots) and reads them back for assertions. The writer rewrites
// the file in place, so a mapping registered for it stays valid.
#include <string>
#include <vector>

#include "database/bv_controlfile.h"

namespace tarvex_test {

class ControlFileWriter {
public:
    // Adds an entry whose two halves carry name; half 0 is usable on node 0
    // (status 24), half 1 is not. Returns the entry index.
    int addEntry(const std::string& name);
    int entryCount() const { return static_cast<int>(records_.size() / 2); }

    brenvik::ControlFileRecord& half(int entry, int h);
    void setName(int entry, int h, const std::string& name);
    // The FASTA name, FASTA path, reference path and compressed-files folder
    // of both halves.
    void setPaths(int entry, const std::string& fastaName, const std::string& fastaPath,
                  const std::string& referencePath, const std::string& folder);
    void setNode(int entry, int h, int index, int32_t value);
    void setDatabase(int entry, int h, int index, int32_t value);
    // Slot i of a half: job number, end time (0: running) and request kind.
    void setSlot(int entry, int h, int i, int32_t jobNumber, uint32_t endTime, const std::string& kind = "GET");
    // Every slot of a half running (job numbers 1000 + i, end time 0).
    void fillRunning(int entry, int h);

    // Writes every entry, plus extraBytes zero bytes (a partial entry).
    void write(const std::string& path, size_t extraBytes = 0) const;

private:
    std::vector<brenvik::ControlFileRecord> records_;
};

class ControlFileReader {
public:
    explicit ControlFileReader(const std::string& path);
    int entryCount() const { return static_cast<int>(records_.size() / 2); }
    const brenvik::ControlFileRecord& half(int entry, int h) const;
    const brenvik::JobSlot& slot(int entry, int h, int i) const;
    // Slots of a half whose job number is jobNumber.
    std::vector<int> slotsOf(int entry, int h, int32_t jobNumber) const;

private:
    std::vector<brenvik::ControlFileRecord> records_;
};

}  // namespace tarvex_test
