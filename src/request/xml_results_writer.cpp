#include "request/xml_results_writer.h"

#include <string>

#include "security/bv_security_constants.h"

namespace {
std::string attr(std::string_view name, std::string_view value) {
    std::string a = " ";
    a += name;
    a += "=\"";
    a += value;
    a += '"';
    return a;
}
std::string attr(std::string_view name, long long value) { return attr(name, std::to_string(value)); }
}  // namespace

xml_results_writer::xml_results_writer(unsigned char kind, std::FILE* out)
    : kind_(kind), prefix_(kind ? "bvtx" : "bvsq"), out_(out) {}

std::string xml_results_writer::namespaceUri() const {
    return std::string("http://") + kTarvexNamespaceHost + "/xmlns/schema/" +
           (kind_ ? "bvtaxfetch_1" : "bvseqfetch_1");
}

void xml_results_writer::emit() {
    if (!pending_.empty()) fwrite_unlocked(pending_.data(), 1, pending_.size(), out_);
    pending_.clear();
}

void xml_results_writer::spaces(int count) {
    static constexpr std::string_view kBlanks = "                                        ";
    while (count > 0) {
        const int n = count < static_cast<int>(kBlanks.size()) ? count : static_cast<int>(kBlanks.size());
        raw(kBlanks.substr(0, static_cast<size_t>(n)));
        count -= n;
    }
}

void xml_results_writer::indent(int levels) { spaces(levels > 0 ? 2 * levels : 0); }

void xml_results_writer::lineEnd() { pending_ += '\n'; }

void xml_results_writer::startTag(std::string_view name, std::string_view attrs) {
    raw("<");
    raw(prefix_);
    raw(":");
    raw(name);
    raw(attrs);
    raw(">");
}

void xml_results_writer::endTag(std::string_view name) {
    raw("</");
    raw(prefix_);
    raw(":");
    raw(name);
    raw(">");
}

void xml_results_writer::textElement(std::string_view name, std::string_view content, bool escape,
                                     std::string_view attrs) {
    startTag(name, attrs);
    if (escape)
        escapeInto(content);
    else
        raw(content);
    endTag(name);
    lineEnd();
}

void xml_results_writer::child(std::string_view name, std::string_view content, bool escape,
                               std::string_view attrs) {
    indent(depth_ + 1);
    textElement(name, content, escape, attrs);
}

void xml_results_writer::proteinChild(std::string_view name, std::string_view content, bool escape) {
    fixedOrDepth(6, depth_ + 1);
    textElement(name, content, escape);
}

void xml_results_writer::fixedOrDepth(int seqSpaces, int depthLevels) {
    if (kind_)
        indent(depthLevels);
    else
        spaces(seqSpaces);
}

void xml_results_writer::openLine(std::string_view name, std::string_view attrs) {
    ++depth_;
    indent(depth_);
    startTag(name, attrs);
    lineEnd();
}

void xml_results_writer::closeLine(std::string_view name) {
    indent(depth_);
    --depth_;
    endTag(name);
    lineEnd();
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of [p, p + n) whose
// character XML allows, or 0. Overlong forms, surrogates, code points past
// U+10FFFF, U+FFFE/U+FFFF and cut-off sequences are not.
size_t xmlUtf8Length(const unsigned char* p, size_t n) {
    const unsigned char b = p[0];
    size_t length;
    uint32_t code;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        code = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        code = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        code = b & 0x07u;
    } else {
        return 0;
    }
    if (n < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0u) != 0x80u) return 0;
        code = code << 6 | (p[i] & 0x3Fu);
    }
    if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF) || code >= 0xFFFE)) return 0;
    if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return 0;
    return length;
}

}  // namespace

namespace {

// Bytes that pass through escaping unchanged: printable ASCII but the five
// that XML escapes, and TAB, LF, CR.
struct PlainBytes {
    bool plain[256] = {};
    constexpr PlainBytes() {
        for (int c = 0x20; c < 0x80; ++c) plain[c] = true;
        for (const unsigned char c : std::string_view("\"&'<>")) plain[c] = false;
        for (const unsigned char c : std::string_view("\t\n\r")) plain[c] = true;
    }
};
constexpr PlainBytes kPlain;

}  // namespace

void xml_results_writer::writeEscaped(std::string_view text) {
    Emit e(*this);
    escapeInto(text);
}

// The document declares UTF-8, and one byte that is not makes a parser
// reject the whole answer. Old databases hold Latin-1 titles, so a byte that
// does not start a valid sequence is taken as Latin-1 and written as the
// UTF-8 form of that character (0xE9 becomes "\xC3\xA9").
void xml_results_writer::escapeInto(std::string_view text) {
    std::string& out = pending_;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // Most of a title and all of a sequence go over in one piece.
        size_t run = i;
        while (run < n && kPlain.plain[p[run]]) ++run;
        if (run != i) {
            out.append(text.data() + i, run - i);
            i = run;
            if (i == n) break;
        }
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const size_t length = xmlUtf8Length(p + i, n - i);
            if (length != 0) {
                out.append(text.data() + i, length);
                i += length;
            } else {
                out += static_cast<char>(0xC0 | c >> 6);
                out += static_cast<char>(0x80 | (c & 0x3F));
                ++i;
            }
            continue;
        }
        switch (c) {
            case '"': out += "&quot;"; break;
            case '&': out += "&amp;"; break;
            case '\'': out += "&apos;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: break;  // other C0 bytes are not characters an XML document may hold
        }
        ++i;
    }
}

void xml_results_writer::startDocument() {
    Emit e(*this);
    if (kind_) depth_ = 0;
    const std::string uri = namespaceUri();
    const char* root = kind_ ? "bv_taxfetch_out" : "bv_seqfetch_out";
    const char* schema = kind_ ? "bvtaxfetch_1.xsd" : "bvseqfetch_1.xsd";
    raw("<?xml" + attr("version", "1.0") + attr("encoding", "UTF-8") + attr("standalone", "no") + " ?>");
    lineEnd();
    raw("<" + prefix_ + ":" + root + attr("xmlns:" + prefix_, uri));
    lineEnd();
    spaces(20);
    raw("majorVersion=\"1\" minorVersion=\"0\"");
    lineEnd();
    spaces(20);
    raw("xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"");
    lineEnd();
    spaces(20);
    raw("xsi:schemaLocation=\"" + uri + " " + schema + "\">");
    lineEnd();
}

void xml_results_writer::endDocument() {
    Emit e(*this);
    endTag(kind_ ? "bv_taxfetch_out" : "bv_seqfetch_out");
    lineEnd();
}

void xml_results_writer::addMessage(bool warning, int code, std::string_view description,
                                    std::string_view paramName, std::string_view paramValue,
                                    std::string_view intParamName, int intValue) {
    Emit e(*this);
    bool& open = warning ? warningsOpen_ : errorsOpen_;
    if (!open) {
        open = true;
        const char* list = warning ? "all_warnings" : "all_errors";
        if (kind_) {
            openLine(list);
        } else {
            spaces(2);
            startTag(list);
            lineEnd();
        }
    }
    if (!description.empty()) startError(code, description);
    if (!paramName.empty()) writeErrParam(paramName, paramValue);
    if (!intParamName.empty()) writeErrParamInt(intParamName, intValue);
    if (!description.empty()) endError();
}

void xml_results_writer::startError(int code, std::string_view description) {
    Emit e(*this);
    if (kind_) {
        openLine("error", attr("code", code));
    } else {
        spaces(4);
        startTag("error", attr("code", code));
        lineEnd();
    }
    fixedOrDepth(6, depth_ + 1);
    textElement("err_description", description);
}

void xml_results_writer::writeErrParam(std::string_view name, std::string_view value) {
    Emit e(*this);
    fixedOrDepth(6, depth_ + 1);
    textElement("err_param", value, true, attr("name", name));
}

void xml_results_writer::writeErrParamInt(std::string_view name, int value) {
    Emit e(*this);
    writeErrParam(name, std::to_string(value));
}

void xml_results_writer::endError() {
    Emit e(*this);
    if (kind_) {
        closeLine("error");
    } else {
        spaces(4);
        endTag("error");
        lineEnd();
    }
}

void xml_results_writer::endMessageList(bool warning) {
    Emit e(*this);
    bool& open = warning ? warningsOpen_ : errorsOpen_;
    if (!open) return;
    open = false;
    const char* list = warning ? "all_warnings" : "all_errors";
    if (kind_) {
        closeLine(list);
    } else {
        spaces(2);
        endTag(list);
        lineEnd();
    }
}

void xml_results_writer::startResults(int jobId) {
    Emit e(*this);
    if (resultsOpen_) return;
    resultsOpen_ = true;
    if (kind_) {
        openLine("results", attr("jobid", jobId));
    } else {
        startTag("results", attr("jobid", jobId));
        lineEnd();
    }
}

void xml_results_writer::endResults() {
    Emit e(*this);
    if (!resultsOpen_) return;
    resultsOpen_ = false;
    if (kind_) {
        closeLine("results");
    } else {
        endTag("results");
        lineEnd();
    }
}

void xml_results_writer::startDbEntry(bool warnings, std::string_view database, std::string_view accession) {
    Emit e(*this);
    openLine("db_entry", warnings ? attr("warnings", "yes") : std::string());
    child("db", database);
    child("accession_str", accession);
}

void xml_results_writer::endDbEntry() {
    Emit e(*this);
    closeLine("db_entry");
}

void xml_results_writer::startTitle() {
    Emit e(*this);
    indent(depth_ + 1);
    startTag("title");
}

void xml_results_writer::writeTitleLine(bool first, std::string_view text) {
    Emit e(*this);
    if (!first) lineEnd();
    escapeInto(text);
}

void xml_results_writer::endTitle() {
    Emit e(*this);
    endTag("title");
    lineEnd();
}

void xml_results_writer::startAllAccessions() {
    Emit e(*this);
    openLine("all_accessions");
}
void xml_results_writer::endAllAccessions() {
    Emit e(*this);
    closeLine("all_accessions");
}

void xml_results_writer::startAccession(std::string_view accession) {
    Emit e(*this);
    openLine("accession");
    child("accession_str", accession);
}

void xml_results_writer::endAccession() {
    Emit e(*this);
    closeLine("accession");
}

void xml_results_writer::startTaxonomy(std::string_view database, int taxonomyId,
                                       std::string_view scientificName, int translationTableId) {
    Emit e(*this);
    openLine("taxonomy");
    child("db", database);
    child("taxonomy_id", std::to_string(taxonomyId), false);
    child("scientific_name", scientificName);
    child("translation_table_id", std::to_string(translationTableId), false);
}

void xml_results_writer::endTaxonomy() {
    Emit e(*this);
    closeLine("taxonomy");
}
void xml_results_writer::startCommonNames() {
    Emit e(*this);
    openLine("common_names");
}
void xml_results_writer::endCommonNames() {
    Emit e(*this);
    closeLine("common_names");
}
void xml_results_writer::writeSynonym(std::string_view name) {
    Emit e(*this);
    child("synonym", name);
}
void xml_results_writer::startTree() {
    Emit e(*this);
    openLine("tree");
}
void xml_results_writer::endTree() {
    Emit e(*this);
    closeLine("tree");
}

void xml_results_writer::writeNode(int level, std::string_view name) {
    Emit e(*this);
    child("node", name, true, attr("level", level));
}

void xml_results_writer::startTaxFromId(bool warnings) {
    Emit e(*this);
    openLine("tax_from_id", warnings ? attr("warnings", "yes") : std::string());
}

void xml_results_writer::endTaxFromId() {
    Emit e(*this);
    closeLine("tax_from_id");
}

void xml_results_writer::startAllProteins(int jobId) {
    Emit e(*this);
    if (proteinsOpen_) return;
    proteinsOpen_ = true;
    fixedOrDepth(2, depth_ + 1);
    startTag("all_proteins", attr("jobid", jobId));
    lineEnd();
}

void xml_results_writer::endAllProteins() {
    Emit e(*this);
    if (!proteinsOpen_) return;
    proteinsOpen_ = false;
    fixedOrDepth(2, depth_ + 1);
    endTag("all_proteins");
    lineEnd();
}

void xml_results_writer::startProtein(bool warnings, std::string_view accession, std::string_view database,
                                      int frame) {
    Emit e(*this);
    fixedOrDepth(4, depth_ + 1);
    startTag("protein", warnings ? attr("warnings", "yes") : std::string());
    lineEnd();
    proteinChild("accession", accession);
    proteinChild("db", database);
    if (frame != -1) proteinChild("frame", std::to_string(frame), false);
}

void xml_results_writer::endProtein() {
    Emit e(*this);
    fixedOrDepth(4, depth_ + 1);
    endTag("protein");
    lineEnd();
}

void xml_results_writer::writeProtTitle(std::string_view text) {
    Emit e(*this);
    if (text.empty()) return;
    fixedOrDepth(6, depth_ + 1);
    startTag("prot_title");
    if (text.front() != '>') raw("&gt;");
    escapeInto(text);
    endTag("prot_title");
    lineEnd();
}

void xml_results_writer::writeProtLen(int length) {
    Emit e(*this);
    proteinChild("prot_len", std::to_string(length), false);
}

void xml_results_writer::writeProtPi(double value) {
    Emit e(*this);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2lf", value);
    proteinChild("prot_pi", buf, false);
}

void xml_results_writer::writeProtSequence(std::string_view text) {
    Emit e(*this);
    proteinChild("prot_sequence", text);
}

void xml_results_writer::writeProtReference(std::string_view text) {
    Emit e(*this);
    proteinChild("prot_reference", text);
}
