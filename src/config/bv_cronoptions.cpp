#include "config/bv_cronoptions.h"

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

namespace {
const char kDefaultLogfile[] = "../logs/cron.log";
// A time field holds at most this many digits of one number.
constexpr size_t kMaxDigits = 49;

bool isFieldDelimiter(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

bv_cronoptions::bv_cronoptions() { setDefaults(); }

void bv_cronoptions::setDefaults() {
    clear();
    setDefaultSeparator(" ");
    sectionAvailable_ = false;
    cronEnabled_ = false;
    logging_ = 3;
    logfile_ = kDefaultLogfile;
    jobs_.clear();
}

void bv_cronoptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                                 const std::string& headerComment) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    std::string line;
    while (lines.nextLine(line)) {
        if (sectionsyntax::isSectionEndLine(line)) break;
        addRawLine(line);
        if (sectionsyntax::isBlankLine(line)) continue;
        if (sectionsyntax::startsWithNoCase(line, "CronEnable")) {
            int32_t n = 0;
            scanIntAfterFirstWord(line.c_str(), n);
            cronEnabled_ = (n == 1);
        } else if (sectionsyntax::startsWithNoCase(line, "Logging")) {
            logging_ = 3;
            scanIntAfterFirstWord(line.c_str(), logging_);
        } else if (sectionsyntax::startsWithNoCase(line, "Logfile")) {
            std::string word;
            scanWordAfterFirstWord(line.c_str(), word);
            logfile_ = word.empty() ? std::string(kDefaultLogfile) : word;
        } else {
            std::string jobLine = line;
            sectionsyntax::trimTrailingBlanks(jobLine);
            bv_cronjob job;
            if (parseCronJob(jobLine, job, errs, fileName)) {
                job.line = jobLine;
                jobs_.push_back(job);
            }
        }
    }
}

bool bv_cronoptions::parseCronJob(const std::string& line, bv_cronjob& job, bv_errs& errs,
                                  const std::string& fileName) {
    size_t p = 0;
    job.enabled = true;
    if (!line.empty() && line[0] == '#') {
        job.enabled = false;
        p = 1;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
    }
    struct Field {
        std::vector<bool>* flags;
        int lowest;
        int highest;
        Star star;
    } fields[] = {
        {&job.minute, 0, 59, Star::Refused}, {&job.hour, 0, 23, Star::SetAll},   {&job.day, 1, 31, Star::ClearAll},
        {&job.month, 1, 12, Star::SetAll},   {&job.weekday, 0, 6, Star::ClearAll},
    };
    size_t end = p;
    for (const Field& f : fields) {
        while (p < line.size() && isFieldDelimiter(line[p])) ++p;
        if (p >= line.size()) return false;  // a missing field: refused silently
        end = p;
        while (end < line.size() && !isFieldDelimiter(line[end])) ++end;
        if (!parseCronField(line.substr(p, end - p), *f.flags, f.lowest, f.highest, f.star, line, errs, fileName)) {
            return false;
        }
        p = end;
    }
    if (end >= line.size()) return false;  // no command
    size_t commandEnd = line.find_first_of("\r\n", end + 1);
    job.command = line.substr(end + 1, commandEnd == std::string::npos ? std::string::npos : commandEnd - end - 1);
    return !job.command.empty();
}

bool bv_cronoptions::parseCronField(const std::string& text, std::vector<bool>& flags, int lowest, int highest,
                                    Star star, const std::string& line, bv_errs& errs,
                                    const std::string& fileName) {
    std::string digits;
    bool rangePending = false;
    int rangeStart = 0;
    auto inBounds = [&](int n) { return n >= lowest && n <= highest; };
    auto setFlags = [&](int from, int to) {
        for (int i = from; i <= to; ++i) flags[static_cast<size_t>(i)] = true;
    };
    auto number = [&] { return atoiValue(digits.c_str()); };  // clamped: a long run is out of range
    // Ends the number in digits: one value, or the end of the pending range.
    auto endNumber = [&] {
        int n = number();
        if (!inBounds(n)) {
            errs.setError(1557, fileName, line);
            return false;
        }
        setFlags(rangePending ? rangeStart : n, n);
        rangePending = false;
        return true;
    };

    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            if (digits.size() < kMaxDigits) digits += c;
        } else if (c == ',') {
            if (digits.empty()) {
                errs.setError(1559, fileName, line);
                return false;
            }
            if (!endNumber()) return false;
            digits.clear();
        } else if (c == '-') {
            if (digits.empty()) {
                errs.setError(1560, fileName, line);
                return false;
            }
            int a = number();
            if (!inBounds(a)) {
                errs.setError(1557, fileName, line);
                return false;
            }
            rangeStart = a;
            rangePending = true;
            digits.clear();
        } else if (c == '*') {
            if (star == Star::Refused) {
                errs.setError(1558, fileName, line);
                return false;
            }
            for (int f = lowest; f <= highest; ++f) flags[static_cast<size_t>(f)] = (star == Star::SetAll);
            if (i == 0) return true;
            digits.clear();
            break;  // the rest is not read; the (empty) last number follows
        } else {
            errs.setError(1556, fileName, line);
            return false;
        }
    }
    // The last number; an empty one counts as 0.
    return endNumber();
}

}  // namespace brenvik
