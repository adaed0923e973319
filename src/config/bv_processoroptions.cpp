#include "config/bv_processoroptions.h"

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

namespace {
std::vector<std::string> tokens(const std::string& text, const char* delimiters) {
    std::vector<std::string> out;
    size_t i = 0;
    while ((i = text.find_first_not_of(delimiters, i)) != std::string::npos) {
        size_t end = text.find_first_of(delimiters, i);
        out.push_back(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
        if (end == std::string::npos) break;
        i = end;
    }
    return out;
}
}  // namespace

bv_processoroptions::bv_processoroptions() { setDefaults(); }

void bv_processoroptions::setDefaults() {
    clear();
    setDefaultSeparator("=");
    sectionAvailable_ = false;
    processorSet_.clear();
    entries_.clear();
}

void bv_processoroptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                                      const std::string& headerComment, const ActiveDatabase& activeDatabase) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    std::string line;
    while (sectionsyntax::nextContentLine(lines, *this, line)) {
        if (sectionsyntax::startsWithNoCase(line, "ProcessorSet")) {
            // The numbers start at the 14th character; a shorter line adds none.
            if (line.size() < 14) continue;
            for (const std::string& t : tokens(line.substr(13), ", \r\n")) processorSet_.push_back(atoiValue(t.c_str()));
            continue;
        }
        size_t nameEnd = line.find_first_of(" =");
        std::string name = line.substr(0, nameEnd);
        int32_t threads = 0;
        if (!activeDatabase || !activeDatabase(name, threads)) {
            errs.setError(1561, fileName, name);
            continue;
        }
        bv_processorentry entry;
        entry.databaseName = name;
        std::vector<std::string> numbers =
            nameEnd == std::string::npos ? std::vector<std::string>() : tokens(line.substr(nameEnd), "=, \r\n");
        for (size_t i = 0; i < numbers.size(); ++i) {
            entry.processors.push_back(atoiValue(numbers[i].c_str()));
            if (i + 1 < numbers.size() && static_cast<int64_t>(entry.processors.size()) > threads) {
                errs.setError(1565, fileName, threads, name);
                break;
            }
        }
        entries_.push_back(entry);
    }
}

}  // namespace brenvik
