#pragma once
// Streaming XML text writer: writes a document element by element as
// indented text, buffering it and handing it to the sink in large pieces.
// A small state machine refuses calls out of order with an AssertFailure
// thrown before anything is written. Not thread-safe; one writer per stream.
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace NARROW_CHAR_PAL {

class Writer {
public:
    // sink must outlive the writer. While elements are open the buffer goes
    // to the sink only once it is longer than flushThreshold.
    explicit Writer(std::ostream& sink, std::size_t flushThreshold = 4096,
                    std::size_t indentStep = 2, char indentChar = ' ',
                    bool atLineStart = true);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void startElement(const char* name);
    void startElement(const std::string& name);
    void attribute(const char* name, const std::string& value);
    void attribute(const std::string& name, const std::string& value);
    void text(const std::string& value);
    void endElement();
    void element(const std::string& name, const std::string& value);
    void closeStartTag();
    void writeIndent();
    void flush(bool force);
    // Final flush (sink failures swallowed); afterwards every call but
    // close() throws, as after a completed document.
    void close();

    // 0 nothing written, 1 document complete, 2 start tag open,
    // 3 inside an attribute value, 4 inside element content.
    int state() const { return state_; }

private:
    void appendEscaped(const std::string& value);

    std::ostream& sink_;
    std::string buffer_;
    std::size_t flushThreshold_;
    std::size_t indentStep_;
    char indentChar_;
    bool inlineContent_ = false;
    bool atLineStart_;
    int state_ = 0;
    std::vector<std::string> openElements_;
};

}  // namespace NARROW_CHAR_PAL
