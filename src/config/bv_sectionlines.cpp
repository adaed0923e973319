#include "config/bv_sectionlines.h"

#include <cstring>

#include "common/bv_errs.h"
#include "common/text_utils.h"
#include "config/bv_configsource.h"
#include "config/bv_customproperty.h"

namespace brenvik {

std::unique_ptr<bv_sectionlines> bv_sectionlines::openInclude(const std::string& path, bv_errs& errs) {
    std::string text;
    if (!readConfigurationFile(path, text)) {
        errs.setError(256, path, "r");
        return nullptr;
    }
    return std::make_unique<bv_textlines>(std::move(text), &errs, path);
}

bv_textlines::bv_textlines(std::string text, bv_errs* errs, std::string fileName)
    : text_(std::move(text)), errs_(errs), fileName_(std::move(fileName)) {}

bool bv_textlines::nextRawLine(std::string& line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    size_t next = end == std::string::npos ? text_.size() : end + 1;
    if (end == std::string::npos) end = text_.size();
    if (end > pos_ && text_[end - 1] == '\r') --end;
    line.assign(text_, pos_, end - pos_);
    pos_ = next;
    if (line.size() > kMaxLineLength) {
        // Such a line used to end the whole file silently; now only the
        // excess is dropped, and said so.
        line.resize(kMaxLineLength);
        if (errs_ != nullptr) errs_->setError(1561, fileName_, line);
    }
    return true;
}

bool bv_textlines::nextLine(std::string& line) {
    if (!nextRawLine(line)) return false;
    size_t lead = 0;
    while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
    line.erase(0, lead);
    return true;
}

namespace sectionsyntax {

bool isSectionEndLine(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (line.size() - i < 3) return false;
    if (!startsWithNoCase(line.substr(i, 3), "end")) return false;
    if (line.size() == i + 3) return true;
    char next = line[i + 3];
    return next == ' ' || next == '\n' || next == '\r';
}

bool skipSection(bv_sectionlines& lines) {
    std::string line;
    while (lines.nextLine(line)) {
        if (isSectionEndLine(line)) return false;
    }
    return true;
}

bool startsWithNoCase(const std::string& line, const char* key) {
    return compareNoCasePrefix(line.c_str(), key, std::strlen(key)) == 0;
}

bool equalsNoCase(const std::string& a, const std::string& b) { return compareNoCase(a.c_str(), b.c_str()) == 0; }

void trimTrailingBlanks(std::string& line) {
    while (!line.empty()) {
        char c = line.back();
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
        line.pop_back();
    }
}

bool isBlankLine(const std::string& line) { return ::isBlankLine(line.c_str()); }

bool nextContentLine(bv_sectionlines& lines, bv_customproperty& section, std::string& line) {
    while (lines.nextLine(line)) {
        if (isSectionEndLine(line)) return false;
        section.addRawLine(line);
        trimTrailingBlanks(line);
        if (!isBlankLine(line) && line[0] != '#') return true;
    }
    return false;
}

}  // namespace sectionsyntax
}  // namespace brenvik
