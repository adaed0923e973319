#include "common/bv_errs.h"

#include <boost/format.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/log_files.h"
#include "common/logging_monitor.h"
#include "common/message_tables.h"
#include "common/reporter_platform.h"

namespace brenvik {

using reporter_platform::LibraryLock;

namespace {

std::string formatLimited(const char* format, std::va_list args) {
    char buffer[bv_errs::TEXT_LIMIT];
    va_list ap;
    va_copy(ap, args);
    int n = std::vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buffer, static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n)
                                                                             : sizeof buffer - 1);
}

// A CSV field never carries a line end: a session name or text must not
// forge lines of the security log.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

int sourceOfNumber(int number) {
    if (number <= 0x1FFFF) return 3;
    if (number <= 0x3FFFF) return 5;
    if (number <= 0x4FFFF) return 6;
    if (number <= 0x5FFFF) return 7;
    if (number >= 0x4C020000 && number <= 0x4C020000 + 0x1FFFF) return 4;
    return 0xFFFF;
}

}  // namespace

unsigned severityToMask(int severity) {
    switch (severity) {
    case 1: return 0x1;
    case 3: return 0x4;
    case 4: return 0x8;
    case 5: return 0x10;
    case 6: return 0x20;
    default: return 0x2;
    }
}

bool messageAcceptsArgs(int number, const tarvex_printf::ArgClass* classes, std::size_t count) {
    int severity = 2;
    std::string text = getMessageText(number, severity);
    return tarvex_printf::formatAccepts(text.c_str(), classes, count);
}

bv_log::bv_log() { registerMessages(this, loggingMessageTable, loggingMessageTableSize, 3, 0); }

bv_errs::bv_errs(int loggingLevel_, bool mergeRepeats_, int source_)
    : loggingLevel(loggingLevel_), mergeRepeats(mergeRepeats_), source(source_) {
    registerMessages(this, errorMessageTable, errorMessageTableSize, 3, 1);
}

bv_errs::bv_errs(const bv_errs& other) : bv_log(), loggingLevel(2), mergeRepeats(true), source(3) {
    *this = other;
}

bv_errs& bv_errs::operator=(const bv_errs& other) {
    if (this == &other) return *this;
    LibraryLock lock;
    numbers = other.numbers;
    texts = other.texts;
    severities = other.severities;
    repeats = other.repeats;
    loggingFile = other.loggingFile;
    loggingLevel = other.loggingLevel;
    mergeRepeats = other.mergeRepeats;
    source = other.source;
    return *this;
}

bv_errs::~bv_errs() {
    LibraryLock lock;
    for (bv_errs* child : children) child->delegate = nullptr;
    if (delegate) delegate->children.erase(this);
}

void bv_errs::setDelegate(bv_errs* parent) {
    LibraryLock lock;
    if (delegate) delegate->children.erase(this);
    delegate = parent;
    if (parent) parent->children.insert(this);
}

bv_errs* bv_errs::root() {
    bv_errs* r = this;
    while (r->delegate) r = r->delegate;
    return r;
}

const bv_errs* bv_errs::root() const {
    const bv_errs* r = this;
    while (r->delegate) r = r->delegate;
    return r;
}

int bv_errs::getLoggingLevel() const {
    LibraryLock lock;
    return root()->loggingLevel;
}

void bv_errs::setLoggingFile(const std::string& path, int level) {
    LibraryLock lock;
    bv_errs* r = root();
    r->loggingFile = path;
    r->loggingLevel = level;
}

bool bv_errs::shouldRecordFor(int number, int src, int level) const {
    int severity = getMessageSeverity(number);
    // An error always enters the list, so validity never depends on the level.
    if (severity == 1 || severity <= level) return true;
    bv_loggingmonitor& monitor = getLoggingMonitor();
    if (monitor.getNumberOfListeners() == 0) return false;
    return (severityToMask(severity) & monitor.getLevel(src)) != 0;
}

bool bv_errs::shouldRecord(int number) const {
    const bv_errs* r = root();
    int level, src;
    {
        LibraryLock lock;
        level = r->loggingLevel;
        src = r->source;
    }
    return shouldRecordFor(number, src, level);
}

bool bv_errs::isLoggable(int number) const { return shouldRecordFor(number, sourceOfNumber(number), getLoggingLevel()); }

void bv_errs::record(int number, bool withSystemText, const std::string& sessionName, int userId, int fits, ...) {
    va_list ap;
    va_start(ap, fits);
    recordV(number, withSystemText, sessionName, userId, fits != 0, ap, std::string(), -1);
    va_end(ap);
}

void bv_errs::setErrorV(int number, std::va_list args, const std::string& file, int line) {
    recordV(number, false, std::string(), -1, true, args, file, line);
}

void bv_errs::recordV(int number, bool withSystemText, const std::string& sessionName, int userId, bool fits,
                      std::va_list args, const std::string& file, int line) {
    if (!shouldRecord(number)) return;
    int severity = 2;
    const std::string format = getMessageText(number, severity);
    // Arguments that do not fit the text are not handed to printf.
    std::string text = fits ? formatLimited(format.c_str(), args) : format.substr(0, TEXT_LIMIT - 1);
    if (withSystemText) text += ". " + reporter_platform::lastSystemErrorText();
    addError(number, text, severity, sessionName, userId, line, file);
}

namespace {

template <typename Feed>
std::string formatBoost(const std::string& text, int supplied, Feed feed) {
    try {
        boost::format f(text);
        if (f.expected_args() != supplied) return text;
        feed(f);
        return f.str();
    } catch (const std::exception&) {
        // A malformed text is recorded as it stands.
        return text;
    }
}

}  // namespace

void bv_errs::logFormatted(int number, const std::string& file, int line, const std::string& a) {
    if (!isLoggable(number)) return;
    int severity = 2;
    const std::string text = getMessageText(number, severity);
    addError(number, formatBoost(text, 1, [&](boost::format& f) { f % a; }), severity, std::string(), -1, line,
             file);
}

void bv_errs::logFormatted(int number, const std::string& file, int line, unsigned value, const std::string& a) {
    if (!isLoggable(number)) return;
    int severity = 2;
    const std::string text = getMessageText(number, severity);
    addError(number, formatBoost(text, 2, [&](boost::format& f) { f % value % a; }), severity, std::string(), -1,
             line, file);
}

void bv_errs::logFormatted(int number, const std::string& file, int line, const std::string& a,
                           const std::string& b, const std::string& c) {
    if (!isLoggable(number)) return;
    int severity = 2;
    const std::string text = getMessageText(number, severity);
    addError(number, formatBoost(text, 3, [&](boost::format& f) { f % a % b % c; }), severity, std::string(), -1,
             line, file);
}

void bv_errs::addError(int number, const std::string& text, int severity, const std::string& sessionName,
                       int userId, int line, const std::string& file) {
    if (delegate) {
        delegate->addError(number, text, severity, sessionName, userId, line, file);
        return;
    }
    int src;
    {
        LibraryLock lock;
        src = source;
        const bool withinLevel = severity <= loggingLevel;
        if (withinLevel || severity == 1) {
            const std::size_t n = numbers.size();
            if (mergeRepeats && n >= 2 && numbers[n - 1] == number && numbers[n - 2] == number) {
                repeats[n - 1] += 1;
            } else {
                numbers.push_back(number);
                texts.push_back(text);
                severities.push_back(severity);
                repeats.push_back(0);
            }
        }
        if (!loggingFile.empty() && withinLevel) writeLogLine(number, text, severity, sessionName, userId);
    }
    const unsigned mask = severityToMask(severity);
    bv_loggingmonitor& monitor = getLoggingMonitor();
    if (mask & monitor.getLevel(src)) monitor.logMessage(mask, src, number, text, file, line, 0);
}

void bv_errs::writeLogLine(int number, const std::string& text, int severity, const std::string& sessionName,
                           int userId) const {
    const char* remote = std::getenv("REMOTE_ADDR");
    std::string line = "\"" + oneLine(reporter_platform::securityLogTimeText()) + "\",\"" +
                       oneLine(remote ? remote : "localhost") + "\"," + std::to_string(number) + "," +
                       std::to_string(severity) + ",\"" + oneLine(sessionName) + "\"," + std::to_string(userId) +
                       ",\"" + oneLine(text) + "\"\n";
    // The process that creates the file writes the header, once.
    bool created = false;
    const int fd = openLogForAppend(loggingFile, &created);
    if (fd < 0) return;
    if (created) line = "Date, IP_address, Error_number, Severity, session_name, user_id, message\n" + line;
    fileWriteAll(fd, line);
    ::close(fd);
}

int bv_errs::getNumberOfErrors() const {
    LibraryLock lock;
    return static_cast<int>(root()->numbers.size());
}

int bv_errs::getErrorNumber(int index) const {
    LibraryLock lock;
    const bv_errs* r = root();
    const int count = static_cast<int>(r->numbers.size());
    if (index == -1) return count ? r->numbers.back() : 0;
    if (index < 1 || index > count) return 0;
    return r->numbers[index - 1];
}

int bv_errs::getErrorSeverity(int index) const {
    LibraryLock lock;
    const bv_errs* r = root();
    const int count = static_cast<int>(r->severities.size());
    if (index == -1) return count ? r->severities.back() : 2;
    if (index < 1 || index > count) return 2;
    return r->severities[index - 1];
}

std::string bv_errs::getErrorString(int index) const {
    LibraryLock lock;
    const bv_errs* r = root();
    const int count = static_cast<int>(r->texts.size());
    if (index == -1) index = count;
    if (index < 1 || index > count) return std::string();
    std::string text = r->texts[index - 1];
    if (r->repeats[index - 1] > 0) text += " (Error repeated " + std::to_string(r->repeats[index - 1] + 1) + " times)";
    return text;
}

bool bv_errs::isValid() const {
    LibraryLock lock;
    for (int s : root()->severities)
        if (s == 1) return false;
    return true;
}

void bv_errs::copyFrom(const bv_errs& other) {
    LibraryLock lock;
    bv_errs* r = root();
    const bv_errs* o = other.root();
    if (r == o) return;
    r->numbers.insert(r->numbers.end(), o->numbers.begin(), o->numbers.end());
    r->texts.insert(r->texts.end(), o->texts.begin(), o->texts.end());
    r->severities.insert(r->severities.end(), o->severities.begin(), o->severities.end());
    r->repeats.insert(r->repeats.end(), o->repeats.begin(), o->repeats.end());
}

void bv_errs::clearAllErrors() {
    LibraryLock lock;
    bv_errs* r = root();
    r->numbers.clear();
    r->texts.clear();
    r->severities.clear();
    r->repeats.clear();
}

}  // namespace brenvik
