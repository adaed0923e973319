#include "common/error_reporter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "common/admin_mail.h"
#include "common/log_files.h"
#include "common/reporter_platform.h"

namespace {

constexpr int COLLECTED_LIMIT = 100;
constexpr int LAST_ERRORS_LIMIT = 10;
constexpr std::size_t MAIL_BODY_SIZE = 4096;

int repeatLimit(int number) { return number == 615 ? 100 : 10; }

std::uint32_t kindFlags(int kind) { return errorKinds[kind].flags; }

// The page text line of one message.
std::string pageTextLine(const std::string& text, int number, std::uint32_t flags) {
    if (flags & KIND_NO_NUMBER) return text + "<BR>\n";
    return CErrorReporter::formatText("%s [M%05d]<BR>\n", text.c_str(), number);
}

}  // namespace

CErrorReporter::~CErrorReporter() = default;

const char* CErrorReporter::formatOf(int number) {
    return isCatalogueNumber(number) ? errorCatalogue[number].format : "Unknown error number";
}

bool CErrorReporter::shouldReport(int number) {
    if (!repeatCounting) return true;
    if (number < 1 || number >= ERROR_CATALOGUE_SIZE) return false;
    const ErrorCatalogueEntry& e = errorCatalogue[number];
    if (kindFlags(e.kind) & KIND_IPC_LOG) return true;
    if (counters[number] < 0) return false;
    if (e.onceOnly && counters[number] >= 1) return false;
    counters[number] += 1;
    return counters[number] <= repeatLimit(number);
}

void CErrorReporter::setRepeatCounting(bool on) {
    repeatCounting = on;
    if (on)
        for (int n = 1; n < ERROR_CATALOGUE_SIZE; ++n) counters[n] = 0;
}

std::size_t CErrorReporter::estimateFormattedLength(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::size_t n = estimateFormattedLengthV(format, ap);
    va_end(ap);
    return n;
}

std::size_t CErrorReporter::estimateFormattedLengthV(const char* format, std::va_list args) {
    if (!format) return 100;
    std::size_t total = std::strlen(format) + 100;
    va_list ap;
    va_copy(ap, args);
    for (const char* p = format; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        if (*p && std::strchr("-+0# ", *p)) ++p;
        if (*p == '*') {
            (void)va_arg(ap, int);
            ++p;
        }
        while (*p >= '0' && *p <= '9') ++p;
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                (void)va_arg(ap, int);
                ++p;
            }
            while (*p >= '0' && *p <= '9') ++p;
        }
        bool wide = false, longDouble = false;
        while (*p && *p != '%' && !std::strchr("cCdiouxXeEfgGnpsS", *p)) {
            if (*p == 'l' || *p == 'z' || *p == 'j' || *p == 't') wide = true;
            if (*p == 'L') longDouble = true;
            ++p;
        }
        if (!*p) break;
        switch (*p) {
        case 's':
        case 'S': {
            const char* s = va_arg(ap, const char*);
            total += s ? std::strlen(s) : 6;
            break;
        }
        case 'e': case 'E': case 'f': case 'g': case 'G':
            if (longDouble)
                (void)va_arg(ap, long double);
            else
                (void)va_arg(ap, double);
            break;
        case 'p': case 'n':
            (void)va_arg(ap, void*);
            break;
        case '%':
            --p;  // the next conversion starts here
            break;
        default:
            if (wide)
                (void)va_arg(ap, long long);
            else
                (void)va_arg(ap, int);
            break;
        }
    }
    va_end(ap);
    return total;
}

std::string CErrorReporter::formatV(const char* format, std::va_list args) {
    if (!format || !*format) return std::string();
    va_list ap;
    va_copy(ap, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_copy(ap, args);
    std::vsnprintf(out.data(), out.size(), format, ap);
    va_end(ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string CErrorReporter::formatText(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = formatV(format, ap);
    va_end(ap);
    return s;
}

bool CErrorReporter::formatForReport(int number, std::size_t estimate, std::string* text, ...) {
    const ErrorCatalogueEntry e = catalogueEntry(number);
    const bool fatal = kindFlags(e.kind) & KIND_FATAL;
    // A fatal message is never dropped for its length: it is cut, so that the
    // exit still happens; other messages over the limit are dropped.
    if (estimate > HEAP_LIMIT && !fatal) return false;
    va_list ap;
    va_start(ap, text);
    *text = isCatalogueNumber(number) ? formatV(e.format, ap) : std::string("Unknown error number");
    va_end(ap);
    if (fatal && text->size() > HEAP_LIMIT) text->resize(HEAP_LIMIT);
    return true;
}

std::string CErrorReporter::reportUnformatted(int number, int job, int line, const char* file) {
    // Arguments that do not fit the format are not handed to printf: the
    // format is written as it stands.
    std::string text = formatOf(number);
    return deliver(number, job, line, file, text, nullptr);
}

std::string CErrorReporter::reportText(int number, int job, int line, const char* file, const std::string& text) {
    if (!shouldReport(number)) return std::string();
    return deliver(number, job, line, file, text, nullptr);
}

std::string CErrorReporter::deliver(int number, int job, int line, const char* file, const std::string& text,
                                    const std::string* pageText) {
    ++deliveredCount;
    const ErrorCatalogueEntry entry = catalogueEntry(number);
    if (write(entry, job, line, file, text, pageText ? *pageText : text)) return text;
    return std::string();
}

std::string CErrorReporter::moduleName(const char* file) {
    if (!file) return std::string();
    std::string path(file);
    std::size_t cut = path.rfind('\\');
    if (cut == std::string::npos) cut = path.rfind('/');
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    std::size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

void CErrorReporter::escapeAngleBrackets(std::string& text) { text = ::escapeAngleBrackets(text); }

bool CErrorReporter::write(const ErrorCatalogueEntry& entry, int job, int line, const char* file,
                           const std::string& text, const std::string& pageText) {
    const std::uint32_t flags = kindFlags(entry.kind);

    if (lastErrorsOffered < LAST_ERRORS_LIMIT) {
        ++lastErrorsOffered;
        if (!lastErrors.empty()) lastErrors += "; ";
        lastErrors += text;
    }

    const std::string timeText = currentTimeText();
    const std::string module = moduleName(file);

    if (toErrorLog && !(flags & KIND_NOT_IN_ERROR_LOG))
        appendErrorLogEntry(entry.number, job, line, module, timeText, text);

    bool printedDeferred = false;
    writePage(entry, flags, pageText, printedDeferred);
    writeDeferredFile(entry, flags, text, printedDeferred);

    if (toMail && (flags & KIND_MAIL_ADMIN)) {
        std::string body = CErrorReporter::formatText("Error [M0%4d - Job %d - X%4d:%s] - %s\n\n%s\n\n", entry.number, job, line,
                                      module.c_str(), timeText.c_str(), text.c_str());
        if (body.size() > MAIL_BODY_SIZE - 1) body.resize(MAIL_BODY_SIZE - 1);
        mailAdministrator(body);
    }

    if (toCollected && (flags & KIND_COLLECT) && static_cast<int>(collectedTexts.size()) < COLLECTED_LIMIT)
        collectedTexts.push_back(text);

    if (toMonitorLog && (flags & KIND_MONITOR_LOG)) writeMonitorLogLine(text);
    if (toIpcLog && (flags & KIND_IPC_LOG)) writeIpcLogLine(text, job, line, module);

    lastNumber = entry.number;
    lastJob = job;

    if (flags & KIND_FATAL) {
        fatalSeen = true;
        if (exitOnFatal) fatalExit();
        return false;
    }
    return !(flags & KIND_IPC_LOG) && !entry.noCallerText;
}

void CErrorReporter::writePage(const ErrorCatalogueEntry& entry, std::uint32_t flags, const std::string& pageText,
                               bool& printedDeferred) {
    if (!toPage || (flags & KIND_NOT_ON_PAGE)) return;
    const bool fatal = flags & KIND_FATAL;
    if (deferCallback && deferCallback(fatal ? 2 : 0) == 1) {
        if (!(deferredFileOn && !deferredFile.empty()))
            deferredMessages.push_back(DeferredMessage{pageText, entry.number, entry.kind});
        return;
    }
    std::string out;
    auto framed = [&](const std::string& text, int number, int kind) {
        const ErrorKind& k = errorKinds[kind];
        if (k.header && !quietPage) out += std::string(k.header) + "<BR>\n";
        out += pageTextLine(text, number, k.flags);
        if (k.trailer && !quietPage) out += std::string(k.trailer) + "<BR>\n";
    };
    if (fatal) {
        for (const DeferredMessage& m : deferredMessages) framed(m.text, m.number, m.kind);
        printedDeferred = !deferredMessages.empty();
    }
    if (!quietPage) {
        framed(pageText, entry.number, entry.kind);
    } else if (fatal) {
        out += CErrorReporter::formatText("FATAL_ERROR: M%05d\n", entry.number);
        out += CErrorReporter::formatText("%s [M%05d]<BR>\n", pageText.c_str(), entry.number);
    }
    if (!out.empty()) std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void CErrorReporter::writeDeferredFile(const ErrorCatalogueEntry& entry, std::uint32_t flags,
                                       const std::string& text, bool printedDeferred) {
    if (deferredFileOn && !deferredFile.empty() && !(flags & KIND_NOT_ON_PAGE)) {
        std::string out;
        for (const DeferredMessage& m : deferredMessages) out += CErrorReporter::formatText("\n%s [M%05d]\n", m.text.c_str(), m.number);
        out += CErrorReporter::formatText("\n%s [M%05d]\n", ::escapeAngleBrackets(text).c_str(), entry.number);
        if (appendLogEntry(deferredFile, out, true)) {
            deferredMessages.clear();
            return;
        }
    }
    if (printedDeferred) deferredMessages.clear();
}

void CErrorReporter::fatalExit() {
    // A fatal report from the fatal callback, or from an exit handler, must
    // neither recurse nor call exit() twice; it ends with the first status.
    static bool inFatalExit = false;
    static bool exiting = false;
    static int savedStatus = 0;
    if (exiting) {
        std::fflush(stdout);
        _exit(savedStatus);
    }
    if (!inFatalExit) {
        inFatalExit = true;
        savedStatus = lastNumber == 0 ? 0 : lastNumber % 255 + 1;
        if (fatalCallback) fatalCallback(lastNumber);
        reporter_platform::closeSockets(lastJob);
    }
    exiting = true;
    std::fflush(stdout);
    std::exit(savedStatus);
}

std::string CErrorReporter::formatMessageC(bool escape, int number, int job, int line, const char* file,
                                           std::size_t estimate, ...) {
    va_list ap;
    va_start(ap, estimate);
    std::string s = formatMessageV(escape, number, job, line, file, estimate, ap);
    va_end(ap);
    return s;
}

std::string CErrorReporter::formatMessageV(bool escape, int number, int job, int line, const char* file,
                                           std::size_t estimate, std::va_list args) {
    if (!isCatalogueNumber(number)) return "Unknown error number";
    std::string out = formatMessageHeader(number, job, line, file);
    if (estimate > HEAP_LIMIT) return out;
    std::string text = formatV(errorCatalogue[number].format, args);
    out += escape ? ::escapeAngleBrackets(text) : text;
    return out;
}

std::string CErrorReporter::formatMessageHeader(int number, int job, int line, const char* file) const {
    return CErrorReporter::formatText("Error [M%05d - Job %d - X%05d:%s] - %s\n   - ", number, job, line, moduleName(file).c_str(),
                      currentTimeText().c_str());
}

std::string CErrorReporter::formatMessageUnformatted(int number, int job, int line, const char* file) const {
    if (!isCatalogueNumber(number)) return "Unknown error number";
    return formatMessageHeader(number, job, line, file) + ::escapeAngleBrackets(errorCatalogue[number].format);
}

void CErrorReporter::reportRepeatSummary(int job, int line, const char* file) {
    for (int n = 1; n < ERROR_CATALOGUE_SIZE; ++n) {
        const int limit = repeatLimit(n);
        if (counters[n] < 0 || counters[n] <= limit) continue;
        const ErrorCatalogueEntry& e = errorCatalogue[n];
        if (kindFlags(e.kind) & KIND_IPC_LOG) {
            counters[n] = -1;
            continue;
        }
        ErrorCatalogueEntry summary = e;
        summary.number = SUMMARY_NUMBER;
        summary.format = "";
        summary.parameters = "";
        summary.help = "";
        summary.name = "";
        std::string text = CErrorReporter::formatText("Error %d has been detected %d times and only the first %d messages have been output",
                                      n, counters[n], limit);
        counters[n] = -1;
        write(summary, job, line, file, text, text);
    }
}

void CErrorReporter::reportSystemError(int number, int line, const char* file, const char* argument) {
    if (!shouldReport(number)) return;
    const std::string systemText = reporter_platform::lastSystemErrorText();
    reportCounted(number, -1, line, file, argument, systemText);
}

#if defined(__clang__)
// clang cannot evaluate libstdc++'s strings at compile time: the reporter is
// built on first use instead (and still never destroyed). Only the fuzzing
// build uses clang.
CErrorReporter& getErrorReporter() {
    static CErrorReporter* reporter = new CErrorReporter;
    return *reporter;
}

CErrorReporter& errorReporter = getErrorReporter();
#else
namespace {

// Constant-initialised before any code runs and never destroyed, so that
// reports from static initialisers and from inside exit() find a live object.
union ReporterStorage {
    constexpr ReporterStorage() : reporter() {}
    ~ReporterStorage() {}
    CErrorReporter reporter;
};
constinit ReporterStorage reporterStorage;

}  // namespace

CErrorReporter& getErrorReporter() { return reporterStorage.reporter; }

constinit CErrorReporter& errorReporter = reporterStorage.reporter;
#endif

void reportSystemError(int number, int line, const char* file, const char* argument) {
    getErrorReporter().reportSystemError(number, line, file, argument);
}
