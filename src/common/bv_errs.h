#pragma once
// bv_errs: the error object of the library classes. Such classes never throw
// for a problem: they record numbered library messages (texts and severities
// from the message tables) and their callers test isValid() and read the
// texts. An object records the messages within its logging level (errors of
// severity 1 always), can merge repeats of one number, can append a CSV line
// per message to a log file (the security log), and forwards what the
// logging monitor's level admits to that monitor. Every operation on the
// lists holds the process-wide library mutex.
#include <cstdarg>
#include <set>
#include <string>
#include <vector>

#include "common/printf_args.h"

namespace brenvik {

class bv_log {
public:
    bv_log();
    virtual ~bv_log() = default;
    virtual int getLoggingLevel() const = 0;
    virtual void addError(int number, const std::string& text, int severity, const std::string& sessionName,
                          int userId, int line, const std::string& file) = 0;
};

// The monitor's mask bit of a severity: 1 -> 0x1, 3 -> 0x4, 4 -> 0x8,
// 5 -> 0x10, 6 -> 0x20, anything else (2 included) -> 0x2.
unsigned severityToMask(int severity);

class bv_errs : public bv_log {
public:
    static constexpr std::size_t TEXT_LIMIT = 2048;

    explicit bv_errs(int loggingLevel = 2, bool mergeRepeats = true, int source = 3);
    // A copy holds the same entries and settings and is its own root.
    bv_errs(const bv_errs& other);
    bv_errs& operator=(const bv_errs& other);
    ~bv_errs() override;

    template <typename... A>
    void setError(int number, const A&... args) {
        static_assert((tarvex_printf::isAllowed<A> && ...), "arguments must be numbers, pointers or std::string");
        record(number, false, std::string(), -1, argsFit<A...>(number), tarvex_printf::pass(args)...);
    }
    template <typename... A>
    void setErrorForUser(const std::string& sessionName, int userId, int number, const A&... args) {
        static_assert((tarvex_printf::isAllowed<A> && ...), "arguments must be numbers, pointers or std::string");
        record(number, false, sessionName, userId, argsFit<A...>(number), tarvex_printf::pass(args)...);
    }
    // As setError, with ". " and the text of the thread's last platform error
    // appended.
    template <typename... A>
    void setSystemError(int number, const A&... args) {
        static_assert((tarvex_printf::isAllowed<A> && ...), "arguments must be numbers, pointers or std::string");
        record(number, true, std::string(), -1, argsFit<A...>(number), tarvex_printf::pass(args)...);
    }
    void setErrorV(int number, std::va_list args, const std::string& file, int line);

    // Messages whose text is a Boost.Format format.
    void logFormatted(int number, const std::string& file, int line, const std::string& a);
    void logFormatted(int number, const std::string& file, int line, unsigned value, const std::string& a);
    void logFormatted(int number, const std::string& file, int line, const std::string& a, const std::string& b,
                      const std::string& c);

    int getLoggingLevel() const override;
    void addError(int number, const std::string& text, int severity, const std::string& sessionName, int userId,
                  int line, const std::string& file) override;

    void setLoggingFile(const std::string& path, int loggingLevel);
    bool shouldRecord(int number) const;
    bool isLoggable(int number) const;

    int getNumberOfErrors() const;
    // index 1 to count, or -1 for the last entry.
    int getErrorNumber(int index) const;
    int getErrorSeverity(int index) const;
    std::string getErrorString(int index) const;
    int getLastError() const { return getErrorNumber(-1); }
    std::string getLastErrorString() const { return getErrorString(-1); }
    bool isValid() const;
    void copyFrom(const bv_errs& other);
    void clearAllErrors();

    // Makes every operation of this object work on parent's list (null: none).
    void setDelegate(bv_errs* parent);

private:
    template <typename... A>
    static bool argsFit(int number);
    void record(int number, bool withSystemText, const std::string& sessionName, int userId, int fits, ...);
    void recordV(int number, bool withSystemText, const std::string& sessionName, int userId, bool fits,
                 std::va_list args, const std::string& file, int line);
    bv_errs* root();
    const bv_errs* root() const;
    bool shouldRecordFor(int number, int source, int level) const;
    void writeLogLine(int number, const std::string& text, int severity, const std::string& sessionName,
                      int userId) const;

    std::vector<int> numbers;
    std::vector<std::string> texts;
    std::vector<int> severities;
    std::vector<int> repeats;
    std::string loggingFile;
    int loggingLevel;
    bool mergeRepeats;
    int source;
    bv_errs* delegate = nullptr;
    std::set<bv_errs*> children;
};

// Checks the argument types against the registered text of the number.
bool messageAcceptsArgs(int number, const tarvex_printf::ArgClass* classes, std::size_t count);

template <typename... A>
bool bv_errs::argsFit(int number) {
    if constexpr (sizeof...(A) == 0) {
        return messageAcceptsArgs(number, nullptr, 0);
    } else {
        static constexpr tarvex_printf::ArgClass classes[] = {tarvex_printf::classify<A>()...};
        return messageAcceptsArgs(number, classes, sizeof...(A));
    }
}

}  // namespace brenvik
