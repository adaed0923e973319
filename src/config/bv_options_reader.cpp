// The Options section's reader and its three key families with their checks.
#include <regex.h>

#include <cstring>

#include "common/bv_errs.h"
#include "config/bv_options.h"
#include "config/bv_options_table.h"
#include "config/bv_sectionlines.h"
#include "config/number_reader.h"

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

// A compiled POSIX expression that frees itself.
class Regex {
public:
    Regex(const char* pattern, int flags) { ok_ = regcomp(&re_, pattern, flags | REG_NOSUB) == 0; }
    ~Regex() {
        if (ok_) regfree(&re_);
    }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;
    bool matches(const std::string& text) const { return ok_ && regexec(&re_, text.c_str(), 0, nullptr, 0) == 0; }

private:
    regex_t re_{};
    bool ok_ = false;
};

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
    Regex form("^([^:]+):([^,]+,)*([^,]+)$", REG_EXTENDED);
    std::vector<std::string> checked(static_cast<size_t>(kMaxFamilyNumber));
    for (int n = 1; n <= kMaxFamilyNumber; ++n) {
        std::string value = getReportBuilderColumnArrangement(n);
        if (value.empty()) continue;
        if (form.matches(value)) {
            checked[static_cast<size_t>(n - 1)] = value;
        } else {
            errs.setError(1572, n, value);
        }
    }
    ColumnArrangements = checked;
}

void bv_options::validateSpectrumViewerColourScheme(bv_errs& errs, bool removeBad) {
    static const char* const keys[] = {"unmatched", "internal_ion", "immonium_ion", "terminal_series_ion",
                                       "terminal_series_ion_nl", "library_peak"};
    static const char* const colours[] = {"white", "silver", "gray", "black", "red", "maroon",
                                          "yellow", "olive", "lime", "green", "aqua", "teal",
                                          "blue", "navy", "fuchsia", "purple", "orange"};
    std::string pairPattern = "(";
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i) pairPattern += (i ? "|" : "") + std::string(keys[i]);
    pairPattern += ")=(";
    for (size_t i = 0; i < sizeof colours / sizeof colours[0]; ++i)
        pairPattern += (i ? "|" : "") + std::string(colours[i]);
    pairPattern += "|#[0-9a-f]{6})";
    Regex pair(pairPattern.c_str(), REG_EXTENDED | REG_ICASE);
    Regex list("^([^,]+=[^,]+,)*([^,]+=[^,]+)$", REG_EXTENDED);
    for (const std::string& name : getColourSchemeNames()) {
        std::string definition = getColourScheme(name);
        if (definition.empty()) continue;
        bool good = list.matches(definition);
        size_t start = 0;
        while (good) {
            size_t comma = definition.find(',', start);
            std::string token = definition.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!pair.matches(token)) good = false;
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (good) continue;
        errs.setError(1577, name);
        if (removeBad) setSpectrumViewerColourScheme(name, std::string(), true);
    }
}

}  // namespace brenvik
