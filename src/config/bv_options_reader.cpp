// The Options section's reader and its three key families with their checks.
#include <cstring>
#include <string_view>

#include "common/bv_errs.h"
#include "config/bv_options.h"
#include "config/bv_options_table.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

namespace {

const char kExecPrefix[] = "ExecAfterSearch_";
const char kArrangementPrefix[] = "ReportBuilderColumnArrangement_";
const char kSchemePrefix[] = "SpectrumViewerColourScheme_";

void stripSpaces(std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) {
        s.clear();
        return;
    }
    size_t e = s.find_last_not_of(' ');
    s = s.substr(b, e - b + 1);
}

std::string lowerCase(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool allAlnum(const std::string& s) {
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

// The checks below read a value as the C library would: up to its first NUL.
std::string_view cText(const std::string& s) { return std::string_view(s.c_str()); }

// A non-empty list of non-empty items, one comma between each two.
bool isCommaList(std::string_view s) {
    return !s.empty() && s.front() != ',' && s.back() != ',' && s.find(",,") == std::string_view::npos;
}

// "name:column,column,...": a name without a colon, then a list of columns
// (which may hold colons).
bool isColumnArrangement(std::string_view s) {
    size_t colon = s.find(':');
    return colon != std::string_view::npos && colon > 0 && isCommaList(s.substr(colon + 1));
}

// A list item of the form "key=colour": an "=" with text on both sides.
bool isKeyValueItem(std::string_view item) {
    size_t eq = item.find('=', 1);
    return eq != std::string_view::npos && eq + 1 < item.size();
}

bool isSchemeList(std::string_view s) {
    if (!isCommaList(s)) return false;
    size_t start = 0;
    while (true) {
        size_t comma = s.find(',', start);
        if (!isKeyValueItem(s.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)))
            return false;
        if (comma == std::string_view::npos) return true;
        start = comma + 1;
    }
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool endsWithNoCase(std::string_view s, std::string_view tail) {
    if (tail.size() > s.size()) return false;
    s.remove_prefix(s.size() - tail.size());
    for (size_t i = 0; i < tail.size(); ++i) {
        if (asciiLower(s[i]) != tail[i]) return false;
    }
    return true;
}

bool startsWithNoCase(std::string_view s, std::string_view head) {
    return head.size() <= s.size() && endsWithNoCase(s.substr(0, head.size()), head);
}

bool isHexDigit(char c) {
    c = asciiLower(c);
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Whether the token holds, anywhere and in any case, a peak kind, "=" and a
// colour name or "#" with six hex digits.
bool holdsColourPair(std::string_view token) {
    static const char* const keys[] = {"unmatched", "internal_ion", "immonium_ion", "terminal_series_ion",
                                       "terminal_series_ion_nl", "library_peak"};
    static const char* const colours[] = {"white", "silver", "gray", "black", "red", "maroon",
                                          "yellow", "olive", "lime", "green", "aqua", "teal",
                                          "blue", "navy", "fuchsia", "purple", "orange"};
    for (size_t eq = token.find('='); eq != std::string_view::npos; eq = token.find('=', eq + 1)) {
        std::string_view before = token.substr(0, eq);
        std::string_view after = token.substr(eq + 1);
        bool keyed = false;
        for (const char* key : keys) keyed = keyed || endsWithNoCase(before, key);
        if (!keyed) continue;
        if (after.size() >= 7 && after[0] == '#') {
            bool hex = true;
            for (size_t i = 1; i <= 6; ++i) hex = hex && isHexDigit(after[i]);
            if (hex) return true;
        }
        for (const char* colour : colours) {
            if (startsWithNoCase(after, colour)) return true;
        }
    }
    return false;
}

// "waitfor:" or "logging:" inside the option field: the number right after
// the word; the part is cut out up to and including the next ";".
bool takeOptionPart(std::string& field, const char* word, int32_t& number) {
    size_t at = field.find(word);
    if (at == std::string::npos) return false;
    size_t numberAt = at + std::strlen(word);
    number = atoiValue(field.c_str() + numberAt);
    size_t semicolon = field.find(';', numberAt);
    field.erase(at, semicolon == std::string::npos ? std::string::npos : semicolon - at + 1);
    return true;
}

}  // namespace

void bv_options::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                             const std::string& headerComment) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    std::string line;
    while (lines.nextLine(line)) {
        if (sectionsyntax::isSectionEndLine(line)) break;
        size_t lead = line.find_first_not_of(" \t");
        line.erase(0, lead == std::string::npos ? line.size() : lead);
        sectionsyntax::trimTrailingBlanks(line);
        addRawLine(line);

        size_t keyEnd = line.find_first_of(" \t");
        std::string key = line.substr(0, keyEnd);
        if (key.empty()) continue;
        std::string value;
        if (keyEnd != std::string::npos) {
            size_t valueAt = line.find_first_not_of(" \t", keyEnd);
            if (valueAt != std::string::npos) value = line.substr(valueAt);
        }

        bv_optionsline outcome;
        if (const bv_optionstable::Row* row = bv_optionstable::find(key)) {
            bv_optionstable::apply(*this, *row, value, outcome);
        } else if (key.size() > 16 && key.compare(0, 16, kExecPrefix) == 0) {
            int32_t n = atoiValue(key.c_str() + 16);
            if (n >= 1 && n <= kMaxFamilyNumber) {
                setExecAfterSearch(n, value);
            } else {
                ++outcome.bad;
            }
        } else if (key.size() > 31 && key.compare(0, 31, kArrangementPrefix) == 0) {
            int32_t n = atoiValue(key.c_str() + 31);
            if (n >= 1 && n <= kMaxFamilyNumber) {
                setReportBuilderColumnArrangement(n, value);
            } else {
                ++outcome.bad;
            }
        } else if (key.size() > 27 && key.compare(0, 27, kSchemePrefix) == 0) {
            std::string name = key.substr(27);
            if (allAlnum(name)) {
                setSpectrumViewerColourScheme(name, value, true);
            } else {
                ++outcome.bad;
            }
        }
        for (int i = 0; i < outcome.bad; ++i) errs.setError(1542, fileName, line);
        if (outcome.icatFilterEmpty) errs.setError(1568);
    }
    validateExecAfterSearch(errs);
    validateReportBuilderColumnArrangement(errs);
    validateSpectrumViewerColourScheme(errs, true);
}

void bv_options::setExecAfterSearch(int n, const std::string& value) {
    if (n < 1 || n > kMaxFamilyNumber) return;
    size_t index = static_cast<size_t>(n - 1);
    bv_options trial;
    trial.ExecAfterSearchList = ExecAfterSearchList;
    if (trial.ExecAfterSearchList.size() <= index) trial.ExecAfterSearchList.resize(index + 1);
    trial.ExecAfterSearchList[index] = value;
    bv_errs trialErrs(2, true);
    trial.validateExecAfterSearch(trialErrs);
    if (trialErrs.getNumberOfErrors() > 0) return;
    if (ExecAfterSearchList.size() <= index) ExecAfterSearchList.resize(index + 1);
    ExecAfterSearchList[index] = value;
    setProperty(kExecPrefix + std::to_string(n), value);
}

void bv_options::setReportBuilderColumnArrangement(int n, const std::string& value) {
    if (n < 1 || n > kMaxFamilyNumber) return;
    size_t index = static_cast<size_t>(n - 1);
    bv_options trial;
    if (trial.ColumnArrangements.size() <= index) trial.ColumnArrangements.resize(index + 1);
    trial.ColumnArrangements[index] = value;
    bv_errs trialErrs(2, true);
    trial.validateReportBuilderColumnArrangement(trialErrs);
    if (trialErrs.getNumberOfErrors() > 0) return;
    if (ColumnArrangements.size() <= index) ColumnArrangements.resize(index + 1);
    ColumnArrangements[index] = value;
    std::string property = kArrangementPrefix + std::to_string(n);
    if (!value.empty()) {
        setProperty(property, value);
    } else {
        removeProperty(property);
    }
}

void bv_options::setSpectrumViewerColourScheme(const std::string& name, const std::string& value, bool checkFirst) {
    if (checkFirst) {
        bv_options trial;
        trial.ColourSchemeNames = ColourSchemeNames;
        trial.ColourSchemeDefinitions = ColourSchemeDefinitions;
        trial.setSpectrumViewerColourScheme(name, value, false);
        bv_errs trialErrs(2, true);
        trial.validateSpectrumViewerColourScheme(trialErrs, false);
        if (trialErrs.getNumberOfErrors() > 0) return;
    }
    std::string property = kSchemePrefix + name;
    std::string lowered = lowerCase(name);
    for (size_t i = 0; i < ColourSchemeNames.size(); ++i) {
        if (lowerCase(ColourSchemeNames[i]) != lowered) continue;
        ColourSchemeDefinitions[i] = value;
        if (!value.empty()) {
            setProperty(property, value);
        } else {
            removeProperty(property);
        }
        return;
    }
    if (value.empty()) return;
    ColourSchemeNames.push_back(name);
    ColourSchemeDefinitions.push_back(value);
    setProperty(property, value);
}

void bv_options::validateExecAfterSearch(bv_errs& errs) {
    const size_t count = static_cast<size_t>(kMaxFamilyNumber);
    ExecAfterSearchCommandText.assign(count, std::string());
    ExecAfterSearchSecondField.assign(count, std::string());
    ExecAfterSearchWaitFor.assign(count, 0);
    ExecAfterSearchLogging.assign(count, 0);
    ExecAfterSearchOptions.assign(count, std::string());
    for (int n = 1; n <= kMaxFamilyNumber; ++n) {
        size_t i = static_cast<size_t>(n - 1);
        std::string value = getExecAfterSearch(n);
        if (value.empty()) continue;
        std::string option, second, command;
        size_t comma1 = value.find(',');
        if (comma1 != std::string::npos) {
            option = value.substr(0, comma1);
            size_t comma2 = value.find(',', comma1 + 1);
            if (comma2 != std::string::npos) {
                second = value.substr(comma1 + 1, comma2 - comma1 - 1);
                command = value.substr(comma2 + 1);
            }
        }
        stripSpaces(option);
        stripSpaces(second);
        stripSpaces(command);
        if (option.empty() || command.empty()) {
            errs.setError(1569, n, value);
            continue;
        }
        bool accepted = false;
        int32_t waitFor = 0;
        if (!takeOptionPart(option, "waitfor:", waitFor)) {
            errs.setError(1569, n, value);
        } else if (waitFor < 0 || waitFor > kMaxFamilyNumber) {
            errs.setError(1569, n, value);
        } else {
            ExecAfterSearchWaitFor[i] = waitFor;
            accepted = true;
        }
        stripSpaces(option);
        int32_t logging = 0;
        if (takeOptionPart(option, "logging:", logging)) {
            if (logging < 0 || logging > 3) {
                errs.setError(1571, n, value);
                accepted = false;
            } else {
                ExecAfterSearchLogging[i] = logging;
            }
            stripSpaces(option);
        }
        ExecAfterSearchOptions[i] = option;
        if (accepted) {
            ExecAfterSearchSecondField[i] = second;
            ExecAfterSearchCommandText[i] = command;
        }
    }
    for (int n = 1; n <= kMaxFamilyNumber; ++n) {
        size_t i = static_cast<size_t>(n - 1);
        int32_t w = ExecAfterSearchWaitFor[i];
        if (w != 0 && ExecAfterSearchCommandText[static_cast<size_t>(w - 1)].empty()) {
            errs.setError(1570, n, w, w, getExecAfterSearch(n));
            ExecAfterSearchWaitFor[i] = 0;
        }
    }
}

void bv_options::validateReportBuilderColumnArrangement(bv_errs& errs) {
    std::vector<std::string> checked(static_cast<size_t>(kMaxFamilyNumber));
    for (int n = 1; n <= kMaxFamilyNumber; ++n) {
        std::string value = getReportBuilderColumnArrangement(n);
        if (value.empty()) continue;
        if (isColumnArrangement(cText(value))) {
            checked[static_cast<size_t>(n - 1)] = value;
        } else {
            errs.setError(1572, n, value);
        }
    }
    ColumnArrangements = checked;
}

void bv_options::validateSpectrumViewerColourScheme(bv_errs& errs, bool removeBad) {
    for (const std::string& name : getColourSchemeNames()) {
        std::string definition = getColourScheme(name);
        if (definition.empty()) continue;
        bool good = isSchemeList(cText(definition));
        // The tokens are cut from the whole definition, each read up to a NUL.
        size_t start = 0;
        while (good) {
            size_t comma = definition.find(',', start);
            std::string token = definition.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!holdsColourPair(cText(token))) good = false;
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (good) continue;
        errs.setError(1577, name);
        if (removeBad) setSpectrumViewerColourScheme(name, std::string(), true);
    }
}

}  // namespace brenvik
