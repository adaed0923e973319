#include "request/cmdline_request.h"

#include <cstring>
#include <string_view>

#include "common/module_loader.h"
#include "common/process_startup.h"
#include "common/text_utils.h"

cmdline_request::cmdline_request(int toolId) : jobNumber_(toolId), jobManager_(toolId) {}

cmdline_request::~cmdline_request() {
    if (geneticCodes_) clearGeneticCodeTables(*geneticCodes_);
    geneticCodes_.reset();
    rules_.clear();
}

GeneticCodeTables* cmdline_request::getGeneticCodeTables() {
    // make() hands out a zeroed buffer: ready and loaded flags are clear.
    if (!geneticCodes_) geneticCodes_ = makeGeneticCodeTables();
    return geneticCodes_.get();
}

namespace {

int hexValue(unsigned char c) {
    // Not checked to be a hex digit: the system's own arithmetic.
    if (c >= 0x41 && c < 0x80) return (c & ~0x20) - 55;
    return c - 48;
}

}  // namespace

RunMode chooseRunMode(int argc, const char* programName) {
    const char* query = getEnv("QUERY_STRING");
    const char* script = getEnv("SCRIPT_NAME");
    if (query != nullptr && script != nullptr) {
        const std::string_view name(script);
        const std::string_view own(programName);
        const std::string_view plain = own.ends_with(".exe") ? own.substr(0, own.size() - 4) : own;
        if (name.ends_with(own) || name.ends_with(plain)) return isBlankLine(query) ? RunMode::Post : RunMode::Get;
    }
    return argc >= 2 ? RunMode::CommandLine : RunMode::Post;
}

int runFrontEnd(int argc, char** argv, const ProgramRoads& roads) {
    ignoreBrokenPipe();
    bufferStandardOutput();
    brenvik::setModuleReportJob(roads.toolId);
    switch (chooseRunMode(argc, roads.programName)) {
    case RunMode::Get:
        return roads.commandLine(true, argc, argv);
    case RunMode::CommandLine:
        return roads.commandLine(false, argc, argv);
    case RunMode::Post:
        break;
    }
    return roads.post();
}

size_t decodeQueryPiece(char* piece, size_t length) {
    size_t out = 0;
    for (size_t in = 0; in < length;) {
        if (piece[in] == '%' && length - in > 2) {
            int high = hexValue(static_cast<unsigned char>(piece[in + 1]));
            int low = hexValue(static_cast<unsigned char>(piece[in + 2]));
            piece[out++] = static_cast<char>(static_cast<unsigned char>((high * 16 + low) & 0xFF));
            in += 3;
        } else {
            piece[out++] = piece[in++];
        }
    }
    piece[out] = '\0';
    return out;
}

int cmdline_request::buildArguments(const char* ownName, bool cgi, int* count, const char** args, int argc,
                                    const char* const* argv) {
    decodedLengths_.clear();
    if (!cgi) {
        if (argc < 0 || argc > kMaxArguments) return 0;
        for (int i = 0; i < argc; ++i) args[i] = argv[i];
        *count = argc;
        return argc;
    }

    const char* query = getEnv("QUERY_STRING");
    if (!query) query = "";
    size_t total = std::strlen(query);
    queryCopy_ = std::make_unique<char[]>(total + 1);
    std::memcpy(queryCopy_.get(), query, total + 1);

    args[0] = ownName;
    *count = 1;
    decodedLengths_.assign(1, std::strlen(ownName));
    char* rest = queryCopy_.get();
    char* end = rest + total;
    // The separators are found before decoding, so %2B stays a '+' inside
    // an argument. A query string of more pieces than the vector holds stops
    // at its last entry; the front ends then answer with their usage text.
    while (*count < kMaxArguments) {
        char* space = std::strstr(rest, "%20");
        char* plus = std::strchr(rest, '+');
        char* separator = nullptr;
        size_t skip = 0;
        if (space && (!plus || space < plus)) {
            separator = space;
            skip = 3;
        } else if (plus) {
            separator = plus;
            skip = 1;
        }
        char* pieceEnd = separator ? separator : end;
        *pieceEnd = '\0';
        decodedLengths_.resize(static_cast<size_t>(*count) + 1);
        decodedLengths_[static_cast<size_t>(*count)] = decodeQueryPiece(rest, static_cast<size_t>(pieceEnd - rest));
        args[(*count)++] = rest;
        if (!separator) break;
        rest = pieceEnd + skip;
    }
    return *count;
}

std::string cmdline_request::wholeArgument(const char* const* args, int index) const {
    const char* text = args[index];
    if (index >= 0 && static_cast<size_t>(index) < decodedLengths_.size()) return std::string(text, decodedLengths_[static_cast<size_t>(index)]);
    return text ? text : "";
}
