#pragma once
// CErrorReporter: the one process-wide reporter of the server's numbered
// messages. A report is counted (repeat filter), formatted, written to every
// channel its kind selects (error log, HTML page on standard output,
// administrator mail, collected warnings, monitor log, IPC log) and, for a
// fatal kind, ends the process unless exitOnFatal is off.
//
// Callers pass the source line and module name of the report as literal
// constants. Arguments go through a template front: std::string is passed as
// its c_str(), numbers and pointers as they are; anything else does not
// compile. One thread per process; the reporter takes no lock.
#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

#include "common/message_catalog.h"
#include "common/printf_args.h"

class CErrorReporter {
public:
    using FatalCallback = void (*)(int number);
    using DeferCallback = int (*)(int fatalFlag);

    struct DeferredMessage {
        std::string text;
        int number;
        int kind;
    };

    static constexpr int SUMMARY_NUMBER = 999;
    static constexpr std::size_t STACK_LIMIT = 500;
    static constexpr std::size_t HEAP_LIMIT = 5000;

    constexpr CErrorReporter() = default;
    virtual ~CErrorReporter();
    CErrorReporter(const CErrorReporter&) = delete;
    CErrorReporter& operator=(const CErrorReporter&) = delete;

    // The formatted text when the caller may see it, else "" (suppressed by
    // the repeat filter, dropped for its length, fatal or IPC-log kind, or an
    // entry that gives its caller no text).
    template <typename... A>
    std::string report(int number, int job, int line, const char* file, const A&... args) {
        static_assert((tarvex_printf::isAllowed<A> && ...),
                      "report arguments must be numbers, pointers or std::string");
        if (!shouldReport(number)) return std::string();
        return reportCounted(number, job, line, file, args...);
    }

    // As report, with the format of message N checked against the argument
    // types at compile time.
    template <int N, typename... A>
    std::string reportChecked(int job, int line, const char* file, const A&... args) {
        static_assert(N >= 0 && N < ERROR_CATALOGUE_SIZE, "not a catalogue number");
        static_assert(tarvex_printf::formatAcceptsArgs<A...>(errorCatalogue[N].format),
                      "arguments do not fit the message's format");
        return report(N, job, line, file, args...);
    }

    // As report, with text in place of the catalogue's (for a message whose
    // catalogue text takes no argument but whose entry must say why).
    std::string reportText(int number, int job, int line, const char* file, const std::string& text);

    // Reports with job -1 and the text of the thread's last platform error as
    // a second argument after the given one.
    void reportSystemError(int number, int line, const char* file, const char* argument);

    // The error-log form of the message (header and text, angle brackets
    // escaped) without writing anything and without the repeat filter.
    template <typename... A>
    std::string formatMessage(int number, int job, int line, const char* file, const A&... args) {
        static_assert((tarvex_printf::isAllowed<A> && ...),
                      "report arguments must be numbers, pointers or std::string");
        const char* format = formatOf(number);
        if (!tarvex_printf::formatAcceptsArgs<A...>(format)) return formatMessageUnformatted(number, job, line, file);
        std::size_t estimate = estimateFormattedLength(format, tarvex_printf::pass(args)...);
        return formatMessageC(true, number, job, line, file, estimate, tarvex_printf::pass(args)...);
    }
    std::string formatMessageV(bool escape, int number, int job, int line, const char* file, std::size_t estimate,
                               std::va_list args);

    // Switching on zeroes the counters of 1 to 623.
    void setRepeatCounting(bool on);
    bool isRepeatCounting() const { return repeatCounting; }
    // Writes the summary line (number 999) of every number counted over its
    // limit and closes that number for the rest of the process.
    void reportRepeatSummary(int job, int line, const char* file);
    std::string getLastErrors() const { return lastErrors; }

    // Repeat filter; counts the report when it lets it through.
    bool shouldReport(int number);

    // Upper bound of the formatted length, used for the 500/5000 thresholds.
    static std::size_t estimateFormattedLength(const char* format, ...);
    static std::size_t estimateFormattedLengthV(const char* format, std::va_list args);
    // The message text exactly formatted; an empty text for a null format.
    static std::string formatV(const char* format, std::va_list args);
    static std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // The module name of a source path: after the last "\" (else the last
    // "/"), cut at the first ".".
    static std::string moduleName(const char* file);
    static void escapeAngleBrackets(std::string& text);

    bool isFatalSeen() const { return fatalSeen; }
    int getLastNumber() const { return lastNumber; }
    int getLastJob() const { return lastJob; }
    const std::vector<std::string>& getCollectedTexts() const { return collectedTexts; }
    // Reports that passed the repeat filter so far: tells a caller whether a
    // step reported anything.
    std::size_t getDeliveredCount() const { return deliveredCount; }

    // Public switches: the POST frame writes toPage and exitOnFatal directly.
    bool quietPage = false;
    FatalCallback fatalCallback = nullptr;
    DeferCallback deferCallback = nullptr;
    bool toErrorLog = true;
    bool toPage = true;
    bool toMail = true;
    bool toCollected = true;
    bool toMonitorLog = true;
    bool toIpcLog = true;
    bool exitOnFatal = true;
    bool deferredFileOn = false;
    std::string deferredFile;

private:
    // report after the repeat filter has let the message through.
    template <typename... A>
    std::string reportCounted(int number, int job, int line, const char* file, const A&... args) {
        const char* format = formatOf(number);
        if (!tarvex_printf::formatAcceptsArgs<A...>(format)) return reportUnformatted(number, job, line, file);
        std::size_t estimate = estimateFormattedLength(format, tarvex_printf::pass(args)...);
        std::string text;
        if (!formatForReport(number, estimate, &text, tarvex_printf::pass(args)...)) return std::string();
        if constexpr ((tarvex_printf::isText<A> || ...)) {
            // The page copy escapes what the arguments bring in; the catalogue's
            // own markup stays.
            std::string page;
            formatForReport(number, estimate, &page, tarvex_printf::pageCopy(args).get()...);
            return deliver(number, job, line, file, text, &page);
        } else {
            return deliver(number, job, line, file, text, nullptr);
        }
    }

    static const char* formatOf(int number);
    // Formats message `number` under the length rules; false when the message
    // is dropped (a non-fatal text estimated above 5000 bytes).
    bool formatForReport(int number, std::size_t estimate, std::string* text, ...);
    std::string formatMessageC(bool escape, int number, int job, int line, const char* file, std::size_t estimate,
                               ...);
    std::string reportUnformatted(int number, int job, int line, const char* file);
    std::string formatMessageHeader(int number, int job, int line, const char* file) const;
    std::string formatMessageUnformatted(int number, int job, int line, const char* file) const;
    std::string deliver(int number, int job, int line, const char* file, const std::string& text,
                        const std::string* pageText);
    bool write(const ErrorCatalogueEntry& entry, int job, int line, const char* file, const std::string& text,
               const std::string& pageText);
    void writePage(const ErrorCatalogueEntry& entry, std::uint32_t flags, const std::string& pageText,
                   bool& printedDeferred);
    void writeDeferredFile(const ErrorCatalogueEntry& entry, std::uint32_t flags, const std::string& text,
                           bool printedDeferred);
    [[noreturn]] void fatalExit();

    bool repeatCounting = false;
    int counters[ERROR_CATALOGUE_SIZE] = {};
    std::vector<std::string> collectedTexts;
    bool fatalSeen = false;
    int lastErrorsOffered = 0;
    std::string lastErrors;
    int lastJob = 0;
    int lastNumber = 0;
    std::size_t deliveredCount = 0;
    std::vector<DeferredMessage> deferredMessages;
};

// The process-wide reporter: constant-initialised and never destroyed, so
// that a report from a static initialiser or from inside exit() finds it.
CErrorReporter& getErrorReporter();
extern CErrorReporter& errorReporter;

// reportSystemError on the process-wide reporter.
void reportSystemError(int number, int line, const char* file, const char* argument);
