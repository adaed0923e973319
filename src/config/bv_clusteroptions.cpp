#include "config/bv_clusteroptions.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include "common/bv_errs.h"
#include "common/bv_filesystem.h"
#include "common/io_utils.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

namespace {

using sectionsyntax::startsWithNoCase;

// The identity of a file for the include stack: its canonical path, or the
// name as written when it cannot be resolved.
std::string fileIdentity(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(osPath(path).c_str(), resolved) != nullptr) return resolved;
    return osPath(path);
}

// "%*s %d" into field; true when a number was read.
bool numberInto(const std::string& line, int32_t& field) { return scanIntAfterFirstWord(line.c_str(), field); }

// "%*s %255s": the first word after the key word, the empty text when none;
// at most 255 characters are kept.
std::string wordOf(const std::string& line) {
    std::string word;
    if (!scanWordAfterFirstWord(line.c_str(), word)) return std::string();
    if (word.size() > bv_clusteroptions::kMaxWord) word.resize(bv_clusteroptions::kMaxWord);
    return word;
}

size_t skipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i;
}

}  // namespace

bv_clusteroptions::bv_clusteroptions() { setDefaults(); }

void bv_clusteroptions::setDefaults() {
    clear();
    setDefaultSeparator(" ");
    sectionAvailable_ = false;
    enabled_ = false;
    master_ = bv_nodeaddress();
    defaultNodeOS_ = Linux;
    defaultNodeHomeDir_ = "/TarvexNode";
    defaultPort_ = 5001;
    defaultNodeHomeDirFromMaster_.clear();
    nodeScript_.clear();
    nodeRebootScript_.clear();
    subClusterNumbers_.assign(1, 0);
    subClusterThreads_.assign(1, 0);
    subClusterListsReplaced_ = false;
    nodeIndex_ = 0;
    ipcTimeout_ = 10;
    ipcLogging_ = 0;
    ipcLogfile_ = "../logs/IPC.log";
    checkNodesAliveFreq_ = 30;
    secsToWaitForNode_ = 60;
    nodeSequenceDatabaseDir_ = "../sequence";
}

void bv_clusteroptions::copyFrom(const bv_clusteroptions& other) {
    if (&other == this) return;
    *this = other;
}

}  // namespace brenvik

namespace brenvik {

void bv_clusteroptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                                    const std::string& headerComment) {
    sectionAvailable_ = true;
    subClusterListsReplaced_ = false;
    setHeader(headerComment);

    // The sources of nested "@include" lines; the back one is read. A file
    // already on the stack (the main file included) is refused, so that a
    // file that includes itself cannot loop, and each source is closed when
    // it ends.
    struct Included {
        std::unique_ptr<bv_sectionlines> lines;
        std::string identity;
    };
    std::vector<Included> stack;
    const std::string mainIdentity = fileName.empty() ? std::string() : fileIdentity(fileName);

    std::string line;
    for (;;) {
        bv_sectionlines& current = stack.empty() ? lines : *stack.back().lines;
        bool got = current.nextLine(line);
        if (!got || sectionsyntax::isSectionEndLine(line)) {
            if (stack.empty()) break;
            stack.pop_back();  // an included file ends: back to the one that included it
            continue;
        }
        if (!sectionsyntax::isBlankLine(line) && line.compare(0, 8, "@include") == 0) {
            std::string name = line.size() > 9 ? line.substr(skipBlanks(line, 9)) : std::string();
            sectionsyntax::trimTrailingBlanks(name);
            if (!bv_filesystem::exists(name)) {
                errs.setError(260, name);
                continue;
            }
            std::string identity = fileIdentity(name);
            bool onStack = identity == mainIdentity;
            for (const Included& inc : stack) onStack = onStack || inc.identity == identity;
            if (onStack || static_cast<int>(stack.size()) >= kMaxIncludeDepth) {
                errs.setError(1543, fileName, line);
                continue;
            }
            std::unique_ptr<bv_sectionlines> opened = lines.openInclude(name, errs);
            if (opened) stack.push_back(Included{std::move(opened), identity});
            continue;
        }
        if (!sectionsyntax::isBlankLine(line)) sectionsyntax::trimTrailingBlanks(line);
        addRawLine(line);
        if (sectionsyntax::isBlankLine(line) || line[0] == '#') continue;
        readLine(line, errs, fileName);
    }
}

void bv_clusteroptions::readLine(const std::string& line, bv_errs& errs, const std::string& fileName) {
    auto bad = [&] { errs.setError(1543, fileName, line); };
    if (startsWithNoCase(line, "Enabled")) {
        int32_t n = 0;
        numberInto(line, n);
        enabled_ = (n == 1);
    } else if (startsWithNoCase(line, "MasterComputerName")) {
        readMasterComputerName(line, errs, fileName);
    } else if (startsWithNoCase(line, "DefaultNodeOS")) {
        const char* p = skipFirstWord(line.c_str());
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
        std::string word;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != ',' && word.size() < 49) word += *p++;
        if (sectionsyntax::equalsNoCase(word, "Unknown_OS")) defaultNodeOS_ = Unknown_OS;
        else if (sectionsyntax::equalsNoCase(word, "Windows_NT")) defaultNodeOS_ = Windows_NT;
        else if (sectionsyntax::equalsNoCase(word, "Linux")) defaultNodeOS_ = Linux;
    } else if (startsWithNoCase(line, "DefaultNodeHomeDir") && !startsWithNoCase(line, "DefaultNodeHomeDirFromMaster")) {
        defaultNodeHomeDir_ = wordOf(line);
    } else if (startsWithNoCase(line, "DefaultPort")) {
        numberInto(line, defaultPort_);
    } else if (startsWithNoCase(line, "DefaultNodeHomeDirFromMaster")) {
        defaultNodeHomeDirFromMaster_ = wordOf(line);
    } else if (startsWithNoCase(line, "TarvexNodeScript")) {
        nodeScript_ = wordOf(line);
    } else if (startsWithNoCase(line, "TarvexNodeRebootScript")) {
        nodeRebootScript_ = wordOf(line);
    } else if (startsWithNoCase(line, "SubClusterSet")) {
        readSubClusterSet(line, errs, fileName);
    } else if (startsWithNoCase(line, "IPCTimeout")) {
        numberInto(line, ipcTimeout_);
        if (ipcTimeout_ < 1) {
            ipcTimeout_ = 10;
            bad();
        }
    } else if (startsWithNoCase(line, "IPCLogging")) {
        numberInto(line, ipcLogging_);
        if (ipcLogging_ < 0 || ipcLogging_ > 2) {
            ipcLogging_ = 0;
            bad();
        }
    } else if (startsWithNoCase(line, "IPCLogfile")) {
        ipcLogfile_ = wordOf(line);
    } else if (startsWithNoCase(line, "checkNodesAliveFreq")) {
        numberInto(line, checkNodesAliveFreq_);
        if (checkNodesAliveFreq_ < 2 || checkNodesAliveFreq_ > 300) {
            checkNodesAliveFreq_ = 30;
            bad();
        }
    } else if (startsWithNoCase(line, "SecsToWaitForNodeAtStartup")) {
        numberInto(line, secsToWaitForNode_);
        if (secsToWaitForNode_ < 0) {
            secsToWaitForNode_ = 60;
            bad();
        }
    } else if (startsWithNoCase(line, "NodeSequenceDatabaseDir")) {
        nodeSequenceDatabaseDir_ = wordOf(line);
    }
}

void bv_clusteroptions::readMasterComputerName(const std::string& line, bv_errs& errs, const std::string& fileName) {
    size_t i = skipBlanks(line, std::char_traits<char>::length("MasterComputerName"));
    std::string value = line.substr(i);
    master_.valueText = value;
    size_t p = 0;
    std::string name;
    while (p < value.size() && value[p] != ' ' && value[p] != '\t' && value[p] != ',' &&
           name.size() < bv_nodeaddress::kMaxName) {
        name += value[p++];
    }
    master_.name = name;
    while (p < value.size() && (value[p] == ' ' || value[p] == ',' || value[p] == '\t')) ++p;
    std::string digits;
    while (p < value.size() && value[p] >= '0' && value[p] <= '9' && digits.size() < bv_nodeaddress::kMaxDigits) {
        digits += value[p++];
    }
    char after = p < value.size() ? value[p] : '\0';
    if (after != '\0' && after != '#' && after != ':') {
        errs.setError(1543, fileName, line);
        return;
    }
    master_.address = digits;
    if (after == ':') master_.port = static_cast<uint16_t>(atoiValue(value.c_str() + p + 1));
}

void bv_clusteroptions::readSubClusterSet(const std::string& line, bv_errs& errs, const std::string& fileName) {
    size_t p = skipBlanks(line, std::char_traits<char>::length("SubClusterSet"));
    int32_t number = atoiValue(line.c_str() + p);
    if (number < 0 || number > 49) {
        errs.setError(1543, fileName, line);
        return;
    }
    if (p < line.size() && (line[p] == '+' || line[p] == '-')) ++p;
    while (p < line.size() && line[p] >= '0' && line[p] <= '9') ++p;
    p = skipBlanks(line, p);
    std::string rest = line.substr(p);
    int32_t threads = rest.find("###THREADS###") != std::string::npos ? -1 : atoiValue(rest.c_str());
    if (threads < 1 && threads != -1) {
        errs.setError(1543, fileName, line);
        return;
    }
    if (!subClusterListsReplaced_) {
        subClusterNumbers_.clear();
        subClusterThreads_.clear();
        subClusterListsReplaced_ = true;
    }
    subClusterNumbers_.push_back(number);
    subClusterThreads_.push_back(threads);
}

}  // namespace brenvik
