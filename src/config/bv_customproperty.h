#pragma once
// bv_customproperty: the raw lines of one configuration section, kept as
// (name, separator, value) entries in file order, so that comments, unknown
// keys and the section's layout survive reading and can be queried or
// rewritten by key. Every section class derives from it. Not thread-safe.
#include <string>
#include <vector>

namespace brenvik {

class bv_customproperty {
public:
    bv_customproperty() = default;

    void addProperty(const std::string& name, const std::string& value,
                     const std::string& separator, bool atFront = false);
    // Splits a raw line into name, separator run and value (comment, blank
    // and bare-word lines included) and adds it.
    void addRawLine(const char* line, bool atFront = false);
    void addRawLine(const std::string& line, bool atFront = false) { addRawLine(line.c_str(), atFront); }

    // Index of the first entry at or after start whose name equals name
    // ignoring case; -1 when none.
    int findProperty(const std::string& name, int start = 0) const;
    void setProperty(const std::string& name, const std::string& value, bool atFront = false);
    void setValueAt(int index, const std::string& value);
    void removeProperty(const std::string& name);
    void setDefaultSeparator(const char* text);
    void setHeader(const std::string& text) { header_ = text; }
    void copyFrom(const bv_customproperty& other);
    void clear();
    bool operator==(const bv_customproperty&) const = default;

    int getNumberOfProperties() const { return static_cast<int>(names_.size()); }
    // Entries by 0-based index; the empty text outside the store.
    std::string getPropertyName(int index) const;
    std::string getPropertyValue(int index) const;
    std::string getPropertySeparator(int index) const;
    const std::string& getDefaultSeparator() const { return defaultSeparator_; }
    const std::string& getHeader() const { return header_; }

private:
    std::vector<std::string> names_;
    std::vector<std::string> values_;
    std::vector<std::string> separators_;
    std::string defaultSeparator_ = " ";
    std::string header_;
};

}  // namespace brenvik
