#include "config/bv_customproperty.h"

#include <cstring>

#include "common/text_utils.h"

namespace brenvik {

namespace {

bool isSeparatorChar(char c) { return c == ' ' || c == '\t' || c == ':'; }

std::string entryAt(const std::vector<std::string>& list, int index) {
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return std::string();
    return list[static_cast<size_t>(index)];
}

}  // namespace

void bv_customproperty::addProperty(const std::string& name, const std::string& value,
                                    const std::string& separator, bool atFront) {
    if (atFront) {
        names_.insert(names_.begin(), name);
        values_.insert(values_.begin(), value);
        separators_.insert(separators_.begin(), separator);
    } else {
        names_.push_back(name);
        values_.push_back(value);
        separators_.push_back(separator);
    }
}

void bv_customproperty::addRawLine(const char* line, bool atFront) {
    if (line == nullptr || *line == '\0') {
        addProperty(std::string(), std::string(), std::string(), atFront);
        return;
    }
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    std::string text(p);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    if (text.empty() || text[0] == '#') {
        addProperty(std::string(), text, std::string(), atFront);
        return;
    }
    size_t sep = 0;
    while (sep < text.size() && !isSeparatorChar(text[sep])) ++sep;
    if (sep == text.size()) {
        addProperty(text, std::string(), std::string(), atFront);
        return;
    }
    size_t value = sep;
    while (value < text.size() && isSeparatorChar(text[value])) ++value;
    addProperty(text.substr(0, sep), text.substr(value), text.substr(sep, value - sep), atFront);
}

int bv_customproperty::findProperty(const std::string& name, int start) const {
    if (start < 0) start = 0;
    for (size_t i = static_cast<size_t>(start); i < names_.size(); ++i) {
        if (compareNoCase(names_[i].c_str(), name.c_str()) == 0) return static_cast<int>(i);
    }
    return -1;
}

void bv_customproperty::setProperty(const std::string& name, const std::string& value, bool atFront) {
    int index = findProperty(name, 0);
    if (index >= 0) {
        setValueAt(index, value);
    } else {
        addProperty(name, value, defaultSeparator_, atFront);
    }
}

void bv_customproperty::setValueAt(int index, const std::string& value) {
    if (index < 0 || static_cast<size_t>(index) >= values_.size()) return;
    size_t i = static_cast<size_t>(index);
    values_[i] = value;
    if (separators_[i].empty() && !names_[i].empty()) separators_[i] = defaultSeparator_;
}

void bv_customproperty::removeProperty(const std::string& name) {
    size_t out = 0;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (compareNoCase(names_[i].c_str(), name.c_str()) == 0) continue;
        if (out != i) {
            names_[out] = std::move(names_[i]);
            values_[out] = std::move(values_[i]);
            separators_[out] = std::move(separators_[i]);
        }
        ++out;
    }
    names_.resize(out);
    values_.resize(out);
    separators_.resize(out);
}

void bv_customproperty::setDefaultSeparator(const char* text) {
    defaultSeparator_ = (text == nullptr || *text == '\0') ? std::string(" ") : std::string(text);
}

void bv_customproperty::copyFrom(const bv_customproperty& other) {
    if (&other == this) return;
    names_ = other.names_;
    values_ = other.values_;
    separators_ = other.separators_;
    defaultSeparator_ = other.defaultSeparator_;
    header_ = other.header_;
}

void bv_customproperty::clear() {
    names_.clear();
    values_.clear();
    separators_.clear();
    defaultSeparator_.assign(1, ' ');  // GCC 12 -Wrestrict false positive on = " "
    header_.clear();
}

std::string bv_customproperty::getPropertyName(int index) const { return entryAt(names_, index); }
std::string bv_customproperty::getPropertyValue(int index) const { return entryAt(values_, index); }
std::string bv_customproperty::getPropertySeparator(int index) const { return entryAt(separators_, index); }

}  // namespace brenvik
