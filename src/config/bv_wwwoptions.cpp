#include "config/bv_wwwoptions.h"

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

std::string bv_wwwentry::getPropertyName() const {
    if (kind == 0) return name + "_SEQ";
    if (kind == 1) return name + "_REP";
    return name + "_";
}

std::string bv_wwwentry::getLineText() const {
    return "\"" + std::to_string(number) + "\"\t\"" + host + "\"\t\"" + std::to_string(port) + "\"\t\"" + path + "\"";
}

void bv_wwwoptions::setDefaults() {
    clear();
    setDefaultSeparator("\t");
    sectionAvailable_ = false;
    entries_.clear();
}

void bv_wwwoptions::addEntry(const bv_wwwentry& entry) {
    entries_.push_back(entry);
    setProperty(entry.getPropertyName(), entry.getLineText());
}

bool bv_wwwoptions::parseLine(const std::string& line, bv_wwwentry& entry) {
    size_t u = line.find('_');
    if (u == std::string::npos) return false;
    for (;;) {
        size_t blank = line.find_first_of(" \t", u + 1);
        size_t next = line.find('_', u + 1);
        if (next != std::string::npos && (blank == std::string::npos || next < blank)) {
            u = next;
        } else {
            break;
        }
    }
    size_t kindEnd = line.find_first_of(" \t", u + 1);
    if (kindEnd == std::string::npos) return false;
    std::string kindWord = line.substr(u + 1, kindEnd - u - 1);
    if (kindWord.compare(0, 3, "SEQ") == 0) {
        entry.kind = 0;
    } else if (kindWord.compare(0, 3, "REP") == 0) {
        entry.kind = 1;
    } else {
        return false;
    }
    entry.name = line.substr(0, u);

    size_t p = kindEnd;
    // Skips blanks and the opening quote; false at the end of the line.
    auto open = [&]() {
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
        if (p >= line.size()) return false;
        ++p;
        return true;
    };
    auto number = [&](int32_t& out) {
        if (!open() || !scanInt(line.c_str() + p, out)) return false;
        size_t q = line.find('"', p);
        if (q == std::string::npos) return false;
        p = q + 1;
        return true;
    };
    auto text = [&](std::string& out) {
        if (!open()) return false;
        size_t q = line.find('"', p);
        if (q == std::string::npos) return false;
        out = line.substr(p, q - p);
        p = q + 1;
        return true;
    };
    return number(entry.number) && text(entry.host) && number(entry.port) && text(entry.path);
}

void bv_wwwoptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                                const std::string& headerComment) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    std::string line;
    while (sectionsyntax::nextContentLine(lines, *this, line)) {
        bv_wwwentry entry;
        if (parseLine(line, entry)) {
            addEntry(entry);
        } else {
            errs.setError(1566, fileName, line);
        }
    }
}

}  // namespace brenvik
