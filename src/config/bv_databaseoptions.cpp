#include "config/bv_databaseoptions.h"

#include <strings.h>

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

using namespace sectionsyntax;

namespace {

constexpr int kMsgNotEnoughParameters = 1541;

void appendComment(std::string& pending, const std::string& line) {
    if (!pending.empty()) pending += '\n';
    pending += line;
}

}  // namespace

void bv_databaseentry::setDefaults() {
    active = false;
    name.clear();
    path.clear();
    type = TYPE_AA;
    column4 = 1234;
    column5 = 1;
    column6Flag = true;
    column7IsZero = false;
    threadCount = -1;
    column9Flag = false;
    accessionRefFlag = false;
    accessionRule = 0;
    descriptionRule = 0;
    accessionRefRule = 0;
    taxonomySection = 0;
    comment.clear();
}

bv_databaseoptions& bv_databaseoptions::operator=(const bv_databaseoptions& other) {
    if (this != &other) {
        bv_customproperty::copyFrom(other);
        copyEntries(other);
    }
    return *this;
}

void bv_databaseoptions::copyEntries(const bv_databaseoptions& other) {
    sectionAvailable_ = other.sectionAvailable_;
    trailingComment_ = other.trailingComment_;
    entries_.clear();
    for (const auto& e : other.entries_) entries_.push_back(std::make_unique<bv_databaseentry>(*e));
}

void bv_databaseoptions::setDefaults() {
    clear();
    setDefaultSeparator("\t");
    sectionAvailable_ = false;
    entries_.clear();
    trailingComment_.clear();
}

int bv_databaseoptions::findDatabase(const char* name, bool includeInactive) const {
    if (name == nullptr || *name == '\0') return -1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const bv_databaseentry& e = *entries_[i];
        if ((includeInactive || e.active) && e.name == name) return static_cast<int>(i);
    }
    return -1;
}

void bv_databaseoptions::addDatabase(const bv_databaseentry& entry, const std::string& restOfLine) {
    for (const auto& e : entries_)
        if (strcasecmp(e->name.c_str(), entry.name.c_str()) == 0) return;
    entries_.push_back(std::make_unique<bv_databaseentry>(entry));
    setProperty(entry.name, restOfLine);
}

void bv_databaseoptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName) {
    sectionAvailable_ = true;
    std::string pending;
    std::string line;
    while (lines.nextLine(line)) {
        if (isSectionEndLine(line)) break;
        trimTrailingBlanks(line);
        bool commented = !line.empty() && line[0] == '#';
        std::string text = commented ? line.substr(1) : line;
        if (!text.empty() && text[0] == '#') {
            appendComment(pending, line);
        } else if (isBlankLine(text)) {
            if (!pending.empty()) pending += '\n';
        } else {
            readLine(text, commented, pending, errs, fileName);
        }
    }
    trailingComment_ = pending;
}

bool bv_databaseoptions::readLine(const std::string& text, bool commented, std::string& pending, bv_errs& errs,
                                  const std::string& fileName) {
    // "%159s %255s %2s" and eleven "%d": the widths cut the texts to their
    // fields, and numbers beyond the int range are clamped.
    std::string name, path, type;
    int32_t c[11] = {0};
    int n = 0;
    const char* p = text.c_str();
    if (scanWord(p, bv_databaseentry::kMaxName, name, p)) ++n;
    if (n == 1 && scanWord(p, bv_databaseentry::kMaxPath, path, p)) ++n;
    if (n == 2 && scanWord(p, 2, type, p)) ++n;
    while (n >= 3 && n < 14 && scanInt(p, c[n - 3], p)) ++n;
    if (n < 13) {
        if (commented)
            appendComment(pending, "#" + text);
        else
            errs.setError(kMsgNotEnoughParameters, fileName, name);
        return false;
    }
    bv_databaseentry e;
    e.active = !commented;
    e.name = name;
    e.path = path;
    if (strncasecmp(type.c_str(), "NA", 2) == 0)
        e.type = bv_databaseentry::TYPE_NA;
    else if (strncasecmp(type.c_str(), "SL", 2) == 0)
        e.type = bv_databaseentry::TYPE_SL;
    else
        e.type = bv_databaseentry::TYPE_AA;
    e.column4 = c[0];
    e.column5 = c[1];
    if (e.type == bv_databaseentry::TYPE_SL) {
        e.accessionRule = c[7];
        e.descriptionRule = c[8];
    } else {
        e.column6Flag = c[2] == 1;
        e.column7IsZero = c[3] == 0;
        e.threadCount = c[4];
        e.column9Flag = c[5] == 1;
        e.accessionRefFlag = c[6] == 1;
        e.accessionRule = c[7];
        e.descriptionRule = c[8];
        e.accessionRefRule = c[9];
        e.taxonomySection = n >= 14 ? c[10] : -1;
        if (e.column7IsZero) {
            e.accessionRefFlag = false;
            e.taxonomySection = -1;
        }
    }
    e.comment = pending;
    // The rest of the line after the name (as far as it was read), blanks skipped.
    std::size_t start = text.find_first_not_of(" \t\n\r\f\v");
    std::size_t after = start + name.size();
    std::size_t rest = text.find_first_not_of(" \t\n\r\f\v", after);
    addDatabase(e, rest == std::string::npos ? std::string() : text.substr(rest));
    pending.clear();
    return true;
}

}  // namespace brenvik
