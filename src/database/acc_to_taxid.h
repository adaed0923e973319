#pragma once
// Converts an accession-to-taxonomy-ID species file (whitespace-separated
// pairs: accession, decimal taxonomy ID) once into constant-database part
// files beside it ("<file>_0.cdb", "<file>_1.cdb", ...) and afterwards only
// opens them. Part 0 records the number of parts under "KEY_NUM_CDB_FILES".
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "database/bv_cachefile.h"

class CAccToTaxidIndex {
public:
    // Parts are started anew when their estimated content (accession length
    // + 28 bytes per pair) passes this size.
    static constexpr uint64_t defaultPartLimit = 524288000;
    // Longest accession token taken from the input; a longer one is a
    // malformed pair and ends the reading.
    static constexpr size_t maxAccessionLength = 4096;
    // A part count read back from part 0 outside 1 .. this is corrupt.
    static constexpr int32_t maxPartCount = 100000;

    CAccToTaxidIndex(const std::string& speciesFilePath, int jobNumber, std::string& errorText, int createAllowed,
                     uint64_t partLimit = defaultPartLimit);
    ~CAccToTaxidIndex();
    CAccToTaxidIndex(const CAccToTaxidIndex&) = delete;
    CAccToTaxidIndex& operator=(const CAccToTaxidIndex&) = delete;

    std::string getPartFileName(int part) const;
    void close();

    bool usable = true;
    int32_t partCount = 0;
    int32_t openPart = -1;

    const std::string& path() const { return path_; }

private:
    bool build(int jobNumber, std::string& errorText, uint64_t partLimit);
    void failCache(int jobNumber, const std::string& text);

    std::string path_;
    int createAllowed_;
    std::vector<std::unique_ptr<brenvik::bv_cachefile>> parts_;
};
