#pragma once
// Buffered reader of a POST body: one window of 10 MiB (plus a NUL that
// always follows the buffered bytes) that is refilled from the source when
// fewer than 32 KiB remain unread, moving the unread tail to the front.
// Scanning is by length: a NUL inside the data is an ordinary byte.
#include <cstdint>
#include <cstdio>
#include <memory>

namespace brenvik {

// Notifications of an upload stream.
class CBaseUploadStreamEvents {
public:
    virtual ~CBaseUploadStreamEvents() = default;
    virtual void onNoData() = 0;
    virtual void onDataStart(const char* start, int length, int64_t total) = 0;
    virtual void onData(const char* start, int length, int64_t total) = 0;
    virtual void onLengthMismatch(int64_t expected, int64_t read) = 0;
};

class CBaseUploadStream {
public:
    static constexpr int kWindowSize = 10485760;
    static constexpr int kRefillThreshold = 32768;

    // The window size is fixed for requests; tests and the fuzzer use small
    // windows to exercise the refills.
    explicit CBaseUploadStream(CBaseUploadStreamEvents* events, int windowSize = kWindowSize);
    virtual ~CBaseUploadStream() = default;
    CBaseUploadStream(const CBaseUploadStream&) = delete;
    CBaseUploadStream& operator=(const CBaseUploadStream&) = delete;

    // Announced body length; 0 = unknown (read to the end of the source).
    void setExpectedLength(int64_t length) { expectedLength_ = length; }
    // Data notifications from the refill, both off unless switched on:
    // onDataStart for the first block read, onData for every later one.
    void setNotifyDataStart(bool on) { notifyDataStart_ = on; }
    void setNotifyData(bool on) { notifyData_ = on; }

    void fill();
    // Advances n bytes, refilling between steps; true while unread bytes remain.
    bool skip(int64_t n);
    // Advances to a position inside the window, or to the end of the buffered
    // data when the pointer is null.
    bool skipTo(const char* p);
    // Moves past the current line and its line end (CR LF and LF CR count as one).
    bool skipLine();

    const char* current() const { return data_.get() + pos_; }
    const char* end() const { return data_.get() + len_; }
    int64_t unread() const { return len_ - pos_; }
    bool atEnd() const { return pos_ >= len_; }
    bool eof() const { return eof_; }
    int64_t totalRead() const { return totalRead_; }

protected:
    // Reads up to max bytes into buffer; sets eof_ when fewer came.
    virtual int read(char* buffer, int max) = 0;
    void resetWindow();
    void skipByteOrderMark();

    bool eof_ = false;

private:
    int windowSize_;
    std::unique_ptr<char[]> data_;
    int64_t expectedLength_ = 0;
    int pos_ = 0;
    int len_ = 0;
    int64_t totalRead_ = 0;
    bool notifyDataStart_ = false;
    bool notifyData_ = false;
    CBaseUploadStreamEvents* events_;
};

class CFileUploadStream : public CBaseUploadStream {
public:
    explicit CFileUploadStream(CBaseUploadStreamEvents* events, int windowSize = kWindowSize)
        : CBaseUploadStream(events, windowSize) {}
    ~CFileUploadStream() override;

    // Attaches the file (closing a previously owned one), fills the window and
    // skips a UTF-8 byte-order mark.
    void open(std::FILE* file, bool owned);

protected:
    int read(char* buffer, int max) override;

private:
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
};

}  // namespace brenvik
