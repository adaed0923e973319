#pragma once
// The database statistics file (".stats"), written by the database
// compressor beside the other files of a set: lines of a 30-character key
// (a blank-padded label ending in ":" and a tab) and a value up to the line
// end. Read by the taxonomy index and the random-sequence set-up.
#include <cstdint>
#include <map>
#include <string>

struct DatabaseStats {
    DatabaseStats() = default;
    ~DatabaseStats();

    int64_t timeFilesCompressed = 0;
    int64_t timeOfFastaFiles = 0;
    int32_t numSequences = 0;
    int32_t longestSequence = 0;
    int32_t numTooLong = 0;
    int32_t maxAccessionLength = 0;  // as stored + 1
    std::string productVersion;
    std::map<std::string, int32_t> taxonomyCounts;  // choice title -> sequences
    int64_t numResidues = 0;
    int32_t fileType = 0;  // 0 AA, 1 NA, 2 SL
    std::string parseRule;
    int32_t spectralBlocks = 1;
};

// True only when the file was read whole and says it is of version 5. The
// fields found are filled also for another version; a missing or short-read
// file leaves stats as it was.
bool readStatsFile(const std::string& path, int jobNumber, DatabaseStats& stats);
