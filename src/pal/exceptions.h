#pragma once
// Exceptions of the platform layer: AssertFailure for misuse of the layer,
// WindowsError for a failed system call (the code is the captured errno, or
// one of the layer's own codes). Thrown by value, caught by reference.
#include <cstdint>
#include <string>

namespace NARROW_CHAR_PAL {

class Exception {
public:
    Exception(int line, const char* file) : line(line), file(file ? file : "") {}
    Exception(const Exception&) = default;
    virtual ~Exception() = default;
    virtual std::string message() const = 0;

    int line;
    std::string file;
};

class AssertFailure : public Exception {
public:
    AssertFailure(const std::string& text, int line, const char* file) : Exception(line, file), text(text) {}
    AssertFailure(const AssertFailure&) = default;
    // "Assert Failure: " + text
    std::string message() const override;

    std::string text;
};

class WindowsError : public Exception {
public:
    WindowsError(uint32_t code, int line, const char* file) : Exception(line, file), code(code) {}
    WindowsError(const WindowsError&) = default;
    // The process-wide catalogue's text of the code ("Message 0x... not found
    // in the catalog." when the system has none).
    std::string message() const override;

    uint32_t code;
};

}  // namespace NARROW_CHAR_PAL
