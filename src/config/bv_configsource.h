#pragma once
// The line source of every configuration reader: a local file or a text
// fetched from the server's settings script, offered line by line. A local
// file is read whole when it is opened and the lines come from that snapshot,
// since the server may rewrite tarvex.dat while a tool reads it. Messages go
// to the owner's error object. Not thread-safe.
#include <cstddef>
#include <memory>
#include <string>

#include "http/bv_connectionsettings.h"

namespace brenvik {

class bv_errs;
class bv_textlines;

enum ConfigFileKind {
    CONFIG_MAIN = 1,
    CONFIG_ENZYMES = 2,
    CONFIG_FRAGMENTATION_RULES = 3,
    CONFIG_MASSES = 4,
    CONFIG_MOD_FILE = 5,  // the substitutions file with the open flag
    CONFIG_UNIMOD_COMPRESSED = 6,
    CONFIG_TAXONOMY = 7,
};

class bv_configsource {
public:
    // Longest line handed out; the rest of a longer line is dropped.
    static constexpr int kMaxLineLength = 998;

    bv_configsource(bv_errs* owner, const bv_connectionsettings& settings);
    ~bv_configsource();
    bv_configsource(const bv_configsource&) = delete;
    bv_configsource& operator=(const bv_configsource&) = delete;

    // Closes what was open, then opens a local file or fetches a URL of the
    // given kind. True when lines can be read.
    bool open(const std::string& name, int kind, bool flag = false);
    void close();
    bool isOpen() const { return lines_ != nullptr; }
    const std::string& getName() const { return name_; }

    // The next line without its line end (LF, and one CR before it), cut to
    // 998 characters (warning 1561 names the file and the kept text). The
    // cursor points past the line's leading spaces and TABs; length counts
    // the characters kept. The buffer holds at least size bytes (999 or more
    // keeps every kept character). False at the end of the input.
    bool readLine(char* buffer, int size, int& length, char*& cursor);
    // The same into a string: leading spaces and TABs already skipped.
    bool readLine(std::string& line);

private:
    bv_errs* owner_;
    bv_connectionsettings settings_;
    std::string name_;
    std::unique_ptr<bv_textlines> lines_;  // null while nothing is open
};

// 0 for a null name or one of at most 3 characters; else 1 + (2 for a name
// starting with "http:" or "https:", ignoring case) + (1 for a name ending in
// "xml", ignoring case).
int classifyFileName(const char* name);

// Paths are kept with "/": the name is historical. The empty text for null.
std::string toBackslashPath(const char* path);

// The failure to read a configuration file: message 256 with the path as
// given and the mode "r", the system's text appended.
constexpr int kMsgFailedToOpenFile = 256;

// The largest configuration file read from a local path (tarvex.dat, an
// included file, a local modifications file, the node file): 64 MiB. Each is
// held whole in memory; a real tarvex.dat is a few tens of KiB and the
// largest of the others, a local copy of the modifications file, a few MiB,
// so the bound only stops a device or a runaway file from filling memory.
constexpr std::size_t kMaxConfigurationFile = std::size_t{64} << 20;

// Reads a local configuration file whole. The configuration lives in
// config/, which only administrators write and may lay out with links, so a
// link is followed; a FIFO in its place never stops the run (see
// fileReadWhole) and a file over kMaxConfigurationFile fails with EFBIG.
// False with errno on failure.
bool readConfigurationFile(const std::string& path, std::string& text);

}  // namespace brenvik
