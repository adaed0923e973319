#include "pal/xml_text_writer.h"

#include "pal/exceptions.h"

namespace NARROW_CHAR_PAL {

namespace {

// Throw positions are part of the module's documented diagnostics.
constexpr const char* kModule = "writer";
constexpr const char* kBadTransition = "Invalid xml state/transition";

[[noreturn]] void fail(const char* text, int line) { throw AssertFailure(text, line, kModule); }

enum State { kEmpty = 0, kComplete = 1, kStartTagOpen = 2, kInAttribute = 3, kInContent = 4 };

}  // namespace

Writer::Writer(std::ostream& sink, std::size_t flushThreshold, std::size_t indentStep,
               char indentChar, bool atLineStart)
    : sink_(sink),
      flushThreshold_(flushThreshold),
      indentStep_(indentStep),
      indentChar_(indentChar),
      atLineStart_(atLineStart) {}

Writer::~Writer() { close(); }

void Writer::writeIndent() {
    if (!atLineStart_) buffer_ += '\n';
    buffer_.append(indentStep_ * openElements_.size(), indentChar_);
    atLineStart_ = false;
}

void Writer::startElement(const char* name) {
    if (name == nullptr) fail("tag_name is NULL", 62);
    if (state_ != kEmpty && state_ != kStartTagOpen && state_ != kInContent) fail(kBadTransition, 76);
    if (state_ == kStartTagOpen) closeStartTag();
    writeIndent();
    buffer_ += '<';
    buffer_ += name;
    openElements_.emplace_back(name);
    state_ = kStartTagOpen;
    inlineContent_ = true;
}

void Writer::startElement(const std::string& name) { startElement(name.c_str()); }

void Writer::attribute(const char* name, const std::string& value) {
    if (name == nullptr) fail("attr_nm is NULL", 252);
    if (state_ != kStartTagOpen) fail(kBadTransition, 260);
    buffer_ += ' ';
    buffer_ += name;
    buffer_ += "=\"";
    state_ = kInAttribute;
    text(value);
    state_ = kStartTagOpen;
    buffer_ += '"';
}

void Writer::attribute(const std::string& name, const std::string& value) {
    attribute(name.c_str(), value);
}

void Writer::appendEscaped(const std::string& value) {
    for (char c : value) {
        switch (c) {
            case '<': buffer_ += "&lt;"; break;
            case '>': buffer_ += "&gt;"; break;
            case '&': buffer_ += "&amp;"; break;
            case '"':
                if (state_ == kInAttribute) buffer_ += "&quot;";
                else buffer_ += c;
                break;
            default: buffer_ += c;
        }
    }
}

void Writer::text(const std::string& value) {
    switch (state_) {
        case kStartTagOpen:
            closeStartTag();
            appendEscaped(value);
            break;
        case kInAttribute:
            appendEscaped(value);
            break;
        case kInContent:
            writeIndent();
            appendEscaped(value);
            break;
        default:
            fail(kBadTransition, 323);
    }
}

void Writer::endElement() {
    if (state_ != kStartTagOpen && state_ != kInContent) fail(kBadTransition, 110);
    std::string name = std::move(openElements_.back());
    openElements_.pop_back();
    if (state_ == kStartTagOpen) {
        buffer_ += "/>";
    } else {
        if (atLineStart_ || !inlineContent_) writeIndent();
        buffer_ += "</";
        buffer_ += name;
        buffer_ += '>';
    }
    buffer_ += '\n';
    atLineStart_ = true;
    inlineContent_ = false;
    state_ = openElements_.empty() ? kComplete : kInContent;
    flush(false);
}

void Writer::element(const std::string& name, const std::string& value) {
    startElement(name);
    text(value);
    endElement();
}

void Writer::closeStartTag() {
    if (state_ != kStartTagOpen) fail(kBadTransition, 483);
    buffer_ += '>';
    state_ = kInContent;
}

void Writer::flush(bool force) {
    std::size_t limit = (state_ == kEmpty || state_ == kComplete || force) ? 0 : flushThreshold_;
    if (buffer_.size() > limit) {
        sink_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        buffer_.clear();
    }
}

void Writer::close() {
    if (!buffer_.empty()) {
        try {
            sink_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
            sink_.flush();
        } catch (...) {
            // A failing sink must not turn a clean-up into a throw.
        }
    }
    buffer_.clear();
    buffer_.shrink_to_fit();
    openElements_.clear();
    openElements_.shrink_to_fit();
    // Nothing can be appended to a released writer.
    state_ = kComplete;
}

}  // namespace NARROW_CHAR_PAL
