#pragma once
// bv_cronoptions: the Cron section of tarvex.dat, timed jobs in the five-field
// form of a cron table (expanded into flag arrays), a switch, a logging level
// and a log file. Kept for the server's other programs. Not thread-safe.
#include <cstdint>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

struct bv_cronjob {
    bool enabled = true;
    std::vector<bool> minute = std::vector<bool>(60);
    std::vector<bool> hour = std::vector<bool>(24);
    std::vector<bool> day = std::vector<bool>(32);    // 1 to 31
    std::vector<bool> month = std::vector<bool>(13);  // 1 to 12
    std::vector<bool> weekday = std::vector<bool>(7);
    std::string command;
    std::string line;

    void setDefaults() { *this = bv_cronjob(); }
};

class bv_cronoptions : public bv_customproperty {
public:
    // What "*" means in a time field.
    enum class Star { Refused, SetAll, ClearAll };

    bv_cronoptions();
    void setDefaults();
    void copyFrom(const bv_cronoptions& other) {
        if (&other != this) *this = other;
    }

    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment);
    // Fills job from a job line; true when the line is a valid job.
    static bool parseCronJob(const std::string& line, bv_cronjob& job, bv_errs& errs, const std::string& fileName);
    // Sets the flags of one time field; true when it is valid.
    static bool parseCronField(const std::string& text, std::vector<bool>& flags, int lowest, int highest, Star star,
                               const std::string& line, bv_errs& errs, const std::string& fileName);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }
    bool isCronEnabled() const { return cronEnabled_; }
    const std::vector<bv_cronjob>& getJobs() const { return jobs_; }
    int32_t getLogging() const { return logging_; }
    std::string getLogfile() const { return logfile_; }

private:
    bool sectionAvailable_ = false;
    bool cronEnabled_ = false;
    std::vector<bv_cronjob> jobs_;
    int32_t logging_ = 3;
    std::string logfile_ = "../logs/cron.log";
};

}  // namespace brenvik
