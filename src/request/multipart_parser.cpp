#include "request/multipart_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/error_reporter.h"
#include "common/text_utils.h"
#include "pal/number_reader.h"

namespace {

constexpr const char* kModule = kPostRequestModule;
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineZeroLength = 22;  // M270
constexpr int kLineShortBody = 40;  // M54
constexpr int kLineBinaryValue = 365;  // M259
constexpr int kLineCorrupted = 371;  // M72
constexpr int kLineOpeningQuote = 500;  // accession items
constexpr int kLineEmptyOrLong = 529;
constexpr int kLineClosingQuote = 545;
constexpr int kLineFrameColon = 569;
constexpr int kLineFrameQuote = 581;
constexpr int kLineTooManyAccessions = 604;
constexpr int kLineBadTaxIds = 638;  // M467
constexpr int kLineBadTaxId = 652;  // M467
constexpr int kLineNegativeTaxId = 657;  // M513
constexpr int kLineTooManyTaxIds = 666;
constexpr int kLineContentType = 747;  // M55
constexpr int kLineFirstLine = 771;  // M56
constexpr int kLineFirstLineUnusable = 782;  // M55
constexpr int kLineBoundaryEmptyOrLong = 803;  // M55
constexpr int kLineBoundaryNoLineEnd = 816;  // M55

constexpr size_t kMaxBoundary = 255;
constexpr size_t kMaxValue = 255;

enum class Field { Ignored, Db, SessionId, ShowTitle, ShowSynonyms, ShowTaxTree, ShowPi, ShowLen,
                   ShowSequence, ShowReference, Accession, TaxId };

struct FieldName {
    const char* name;
    Field field;
    bool taxonomy;
    bool sequence;
};

constexpr FieldName kFields[] = {
    {"DB", Field::Db, true, true},
    {"SESSIONID", Field::SessionId, true, true},
    {"SHOWTITLE", Field::ShowTitle, true, true},
    {"SHOWSYNONYMS", Field::ShowSynonyms, true, false},
    {"SHOWTAXTREE", Field::ShowTaxTree, true, false},
    {"SHOWPI", Field::ShowPi, false, true},
    {"SHOWLEN", Field::ShowLen, false, true},
    {"SHOWSEQUENCE", Field::ShowSequence, false, true},
    {"SHOWREFERENCE", Field::ShowReference, false, true},
    {"ACCESSION", Field::Accession, true, true},
    {"TAXID", Field::TaxId, true, false},
};

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

Field matchField(std::string_view name, int toolKind) {
    for (const auto& f : kFields)
        if ((toolKind ? f.taxonomy : f.sequence) && equalsIgnoreCase(name, f.name)) return f.field;
    return Field::Ignored;
}

const char* findLineEnd(const char* from, const char* to) {
    for (const char* p = from; p < to; ++p)
        if (*p == '\r' || *p == '\n') return p;
    return nullptr;
}

// The first line in [from, to) that is the boundary, followed by nothing but
// blanks up to its line end (or the end of the data); null when none is.
const char* findBoundaryLine(const char* from, const char* to, std::string_view boundary) {
    for (const char* line = from; line < to;) {
        const char* lineEnd = findLineEnd(line, to);
        const char* stop = lineEnd ? lineEnd : to;
        if (static_cast<size_t>(stop - line) >= boundary.size() &&
            std::memcmp(line, boundary.data(), boundary.size()) == 0) {
            const char* p = line + boundary.size();
            while (p < stop && (*p == ' ' || *p == '\t')) ++p;
            if (p == stop) return line;
        }
        if (!lineEnd) break;
        line = lineEnd + 1;
    }
    return nullptr;
}

bool isSeparator(char c) { return c == ',' || c == '\t' || c == '\n' || c == '\r' || c == ' '; }

void addError(multipart_target& t, int code, std::string_view description, std::string_view paramName = {},
              std::string_view paramValue = {}) {
    t.writer.addMessage(false, code, description, paramName, paramValue, {}, 0);
}

// The text of a text or switch field: an opening quote skipped, at most 255
// bytes, trailing line ends, quotes and blanks cut.
std::string fieldText(const char* p, const char* end) {
    if (p < end && (*p == '"' || *p == '\'')) ++p;
    size_t n = std::min(static_cast<size_t>(end - p), kMaxValue);
    while (n > 0) {
        const char c = p[n - 1];
        if (c == '\r' || c == '\n' || c == '"' || c == '\'' || c == ' ' || c == '\t')
            --n;
        else
            break;
    }
    return std::string(p, n);
}

bool switchValue(const std::string& text) {
    return !(text.empty() || equalsIgnoreCase(text, "false") || equalsIgnoreCase(text, "0") ||
             equalsIgnoreCase(text, "off"));
}

bool accessionError(multipart_target& t, int line, const char* reason) {
    const bool taxonomy = t.toolKind != 0;
    errorReporter.report(taxonomy ? 466 : 458, t.jobNumber, line, kModule);
    std::string description = taxonomy ? "Invalid accession format for bv-taxfetch.exe, "
                                        : "Invalid accession format for bv-seqfetch.exe, ";
    description += reason;
    addError(t, taxonomy ? 466 : 458, description);
    return false;
}

bool tooLarge(multipart_target& t, int line) {
    const int code = t.toolKind ? 468 : 459;
    errorReporter.report(code, t.jobNumber, line, kModule);
    addError(t, code, "Too large POST-request");
    return false;
}

bool parseAccessions(multipart_target& t, const char* p, const char* end) {
    const bool taxonomy = t.toolKind != 0;
    // Each item takes at least three bytes: two quotes and a separator.
    t.params.reserveAccessions(static_cast<size_t>(end - p) / 3 + 1);
    for (;;) {
        while (p < end && isSeparator(*p)) ++p;
        if (p >= end) return true;
        if (*p != '"') return accessionError(t, kLineOpeningQuote, "expecting double quote at start");
        const char* close = static_cast<const char*>(std::memchr(p + 1, '"', static_cast<size_t>(end - p - 1)));
        const char* accEnd = close ? close : end;
        if ((accEnd - (p + 1)) + (close ? 1 : 0) >= 1023)
            return accessionError(t, kLineEmptyOrLong, "cannot be empty or too long");
        std::string_view accession;
        int16_t frame = -1;
        const char* next;
        if (taxonomy) {
            if (!close) return accessionError(t, kLineClosingQuote, "expecting double quote at end");
            accession = std::string_view(p + 1, static_cast<size_t>(close - p - 1));
            next = close + 1;
        } else {
            const char* itemEnd = p;
            while (itemEnd < end && !isSeparator(*itemEnd)) ++itemEnd;
            const size_t itemLen = static_cast<size_t>(itemEnd - p);
            const char last = itemEnd[-1];
            if (last >= '0' && last <= '6') {
                if (itemLen < 2 || p[itemLen - 2] != ':')
                    return accessionError(t, kLineFrameColon, "expecting colon for a frame");
                // The frame needs its closing quote: "":3 is the shortest item.
                if (itemLen < 4 || p[itemLen - 3] != '"')
                    return accessionError(t, kLineFrameQuote, "expecting double quote at end");
                frame = static_cast<int16_t>(last - '0');
                accession = std::string_view(p + 1, itemLen - 4);
            } else if (last == '"' && itemLen >= 2) {
                frame = 0;
                accession = std::string_view(p + 1, itemLen - 2);
            } else {
                return accessionError(t, kLineFrameQuote, "expecting double quote at end");
            }
            if (accession.size() > 1022) return accessionError(t, kLineEmptyOrLong, "cannot be empty or too long");
            next = itemEnd;
        }
        if (!t.params.addAccession(accession, frame)) return tooLarge(t, kLineTooManyAccessions);
        p = next;
    }
}

bool parseTaxIds(multipart_target& t, const char* p, const char* end) {
    bool any = false;
    for (;;) {
        while (p < end && isSeparator(*p)) ++p;
        if (p >= end) break;
        const char* itemEnd = p;
        while (itemEnd < end && !isSeparator(*itemEnd)) ++itemEnd;
        const size_t len = static_cast<size_t>(itemEnd - p);
        if (len > 62) break;  // reported below like an empty item
        any = true;
        const std::string item(p, len);
        p = itemEnd;
        const brenvik::LeadingInteger<int32_t> number = brenvik::readLeadingInteger<int32_t>(item.c_str());
        if (!number.fits) {
            errorReporter.report(467, t.jobNumber, kLineBadTaxId, kModule);
            addError(t, 467, "Invalid taxID format for bv-taxfetch.exe");
            continue;
        }
        if (number.value < 0) {
            errorReporter.report(513, t.jobNumber, kLineNegativeTaxId, kModule, number.value);
            addError(t, 513, "Negative taxID " + std::to_string(number.value) + " is not valid for bv-taxfetch.exe");
            continue;
        }
        if (!t.params.addTaxId(number.value)) return tooLarge(t, kLineTooManyTaxIds);
    }
    if (p < end || !any) {
        errorReporter.report(467, t.jobNumber, kLineBadTaxIds, kModule);
        addError(t, 467, "Invalid taxID format for bv-taxfetch.exe");
        return false;
    }
    return true;
}

// The value of a field the tool reads.
bool handleValue(multipart_target& t, Field field, const char* p, const char* end) {
    if (field == Field::Ignored) return true;
    if (std::memchr(p, '\0', static_cast<size_t>(end - p))) {
        errorReporter.report(259, t.jobNumber, kLineBinaryValue, kModule, "");
        addError(t, 259, "Corrupted input - possibly a binary file is submitted");
        return false;
    }
    request_params& r = t.params;
    switch (field) {
        case Field::Db: r.dbName = fieldText(p, end); break;
        case Field::SessionId: r.sessionId = fieldText(p, end); break;
        case Field::ShowTitle: r.showTitle = switchValue(fieldText(p, end)); break;
        case Field::ShowSynonyms: r.showSynonyms = switchValue(fieldText(p, end)); break;
        case Field::ShowTaxTree: r.showTaxTree = switchValue(fieldText(p, end)); break;
        case Field::ShowPi: r.showPI = switchValue(fieldText(p, end)); break;
        case Field::ShowLen: r.showLen = switchValue(fieldText(p, end)); break;
        case Field::ShowSequence: r.showSequence = switchValue(fieldText(p, end)); break;
        case Field::ShowReference: r.showReference = switchValue(fieldText(p, end)); break;
        case Field::Accession: return parseAccessions(t, p, end);
        case Field::TaxId: return parseTaxIds(t, p, end);
        case Field::Ignored: break;
    }
    return true;
}

bool noBoundary(multipart_target& t, int line, const char* description) {
    errorReporter.report(55, t.jobNumber, line, kModule, "");
    addError(t, 55, description);
    return false;
}

}  // namespace

void CMyUploadEvents::onNoData() {
    failed = true;
    errorReporter.report(270, jobNumber, kLineZeroLength, kModule);
    writer.addMessage(false, 270, "A POST-request is submitted with zero content length", {}, {}, {}, 0);
}

void CMyUploadEvents::onLengthMismatch(int64_t expected, int64_t read) {
    failed = true;
    // Kilobytes as the message's 32-bit figures; a larger length shows as the
    // largest figure instead of wrapping.
    auto kilobytes = [](int64_t bytes) {
        return static_cast<int>(std::clamp<int64_t>(bytes / 1024, 0, std::numeric_limits<int32_t>::max()));
    };
    const int readKb = kilobytes(read);
    const int expectedKb = kilobytes(expected);
    errorReporter.report(54, jobNumber, kLineShortBody, kModule, readKb, expectedKb);
    writer.addMessage(false, 54, "Standard input stream error", "bytesread", std::to_string(readKb),
                      "lengthofdata", expectedKb);
}

bool findBoundary(brenvik::CBaseUploadStream& s, std::string& boundary, const char* contentType,
                  multipart_target& t) {
    const char* body = s.current();
    const char* bodyEnd = s.end();
    if (contentType) {
        const std::string_view ct(contentType);
        const size_t at = ct.rfind("boundary=");
        std::string value;
        bool ok = at != std::string_view::npos;
        if (ok) {
            std::string_view rest = ct.substr(at + 9);
            if (!rest.empty() && rest.front() == '"') {
                const size_t close = rest.find('"', 1);
                ok = close != std::string_view::npos;
                if (ok) value = std::string(rest.substr(1, close - 1));
            } else {
                const size_t stop = rest.find_first_of("; \t");
                value = std::string(rest.substr(0, stop));
            }
            ok = ok && value.size() <= kMaxBoundary - 2;
        }
        if (!ok) {
            errorReporter.report(55, t.jobNumber, kLineContentType, kModule, std::string(ct.substr(0, 299)));
            addError(t, 55, "Cannot find boundary string");
            return false;
        }
        boundary = "--" + value;
        if (static_cast<size_t>(bodyEnd - body) >= boundary.size() &&
            std::memcmp(body, boundary.data(), boundary.size()) == 0)
            return true;
        const size_t shown = std::min(boundary.size(), static_cast<size_t>(bodyEnd - body));
        errorReporter.report(56, t.jobNumber, kLineFirstLine, kModule, std::string(body, shown), boundary);
        addError(t, 56, "First line was not a boundary");
        // A preamble (RFC 2046) may come before the first part: the body then
        // starts at the first line that is the named boundary.
        if (const char* first = findBoundaryLine(body, bodyEnd, boundary)) {
            s.skipTo(first);
            return true;
        }
        const char* lineEnd = findLineEnd(body, bodyEnd);
        const size_t lineLen = static_cast<size_t>((lineEnd ? lineEnd : bodyEnd) - body);
        if (lineLen == 0 || lineLen > kMaxBoundary)
            return noBoundary(t, kLineFirstLineUnusable, "cannot find a boundary");
        boundary.assign(body, lineLen);
        return true;
    }
    const char* lineEnd = findLineEnd(body, bodyEnd);
    if (!lineEnd) return noBoundary(t, kLineBoundaryNoLineEnd, "cannot find a boundary");
    const size_t lineLen = static_cast<size_t>(lineEnd - body);
    // An empty boundary would match everywhere.
    if (lineLen == 0 || lineLen > kMaxBoundary)
        return noBoundary(t, kLineBoundaryEmptyOrLong, "cannot find a boundary");
    boundary.assign(body, lineLen);
    return true;
}

bool parseParts(brenvik::CBaseUploadStream& s, const std::string& boundary, multipart_target& t) {
    bool done = false;
    while (!s.atEnd() && !done) {
        if (!s.skipLine()) continue;  // the boundary line
        // Headers of this part, up to the empty line; the field name is taken
        // from them only, never from a later part.
        Field field = Field::Ignored;
        bool named = false;
        while (!s.atEnd() && *s.current() != '\r' && *s.current() != '\n') {
            const char* line = s.current();
            const char* lineEnd = findLineEnd(line, s.end());
            if (!lineEnd) lineEnd = s.end();
            if (!named) {
                if (const char* n = findBytes(line, static_cast<size_t>(lineEnd - line), "name=")) {
                    named = true;
                    n += 5;
                    if (n < lineEnd && *n == '"') ++n;
                    const char* nameEnd = n;
                    while (nameEnd < lineEnd && *nameEnd != '"') ++nameEnd;
                    if (nameEnd == s.end()) nameEnd = n;  // no terminator: an empty name
                    field = matchField(std::string_view(n, static_cast<size_t>(nameEnd - n)), t.toolKind);
                }
            }
            s.skipLine();
        }
        s.skipLine();
        if (s.atEnd()) continue;
        const char* valueEnd = findBytes(s.current(), static_cast<size_t>(s.end() - s.current()), boundary);
        if (!valueEnd) {
            const size_t look = std::min<size_t>(10, static_cast<size_t>(s.unread()));
            bool binary = false;
            for (size_t i = 0; i < look; ++i) {
                const unsigned char c = static_cast<unsigned char>(s.current()[i]);
                if (!std::isalnum(c) && !std::strchr(". \t\r\n", c)) binary = true;
                if (c == 0) binary = true;
            }
            if (binary) {
                errorReporter.report(259, t.jobNumber, kLineBinaryValue, kModule, "");
                addError(t, 259, "Corrupted input - possibly a binary file is submitted");
            } else {
                errorReporter.report(72, t.jobNumber, kLineCorrupted, kModule);
                addError(t, 72, "Corrupted input or incompatible browser");
            }
            return false;
        }
        if (!handleValue(t, field, s.current(), valueEnd)) return false;
        s.skipTo(valueEnd);
        const size_t bl = boundary.size();
        if (static_cast<size_t>(s.unread()) > bl && s.current()[bl] == '-' && s.current()[bl + 1] == '-')
            done = true;
    }
    return true;
}
