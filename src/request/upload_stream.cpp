#include "request/upload_stream.h"

#include <algorithm>
#include <cstring>

namespace brenvik {

CBaseUploadStream::CBaseUploadStream(CBaseUploadStreamEvents* events, int windowSize)
    : windowSize_(windowSize > 0 ? windowSize : kWindowSize), data_(new char[windowSize_ + 1]), events_(events) {
    data_[0] = '\0';
}

void CBaseUploadStream::resetWindow() {
    pos_ = 0;
    len_ = 0;
    totalRead_ = 0;
    eof_ = false;
    data_[0] = '\0';
}

void CBaseUploadStream::fill() {
    if (eof_) return;
    const int unreadBytes = len_ - pos_;
    if (unreadBytes >= kRefillThreshold) return;
    int64_t room = windowSize_ - unreadBytes;
    if (expectedLength_ > 0) room = std::min<int64_t>(room, expectedLength_ - totalRead_);
    if (room <= 0) return;
    if (pos_ > 0) {
        std::memmove(data_.get(), data_.get() + pos_, static_cast<size_t>(unreadBytes));
        len_ = unreadBytes;
        pos_ = 0;
    }
    const int got = read(data_.get() + len_, static_cast<int>(room));
    if (got <= 0) {
        eof_ = true;
        data_[len_] = '\0';
        if (totalRead_ == 0) {
            if (events_) events_->onNoData();
        } else if (expectedLength_ > 0 && totalRead_ != expectedLength_) {
            // Data arrived but stopped short of the announced length.
            if (events_) events_->onLengthMismatch(expectedLength_, totalRead_);
        }
        // Without an announced length, the end of the source ends the body.
        return;
    }
    const bool first = totalRead_ == 0;
    totalRead_ += got;
    if (eof_ && expectedLength_ > 0 && totalRead_ != expectedLength_ && events_)
        events_->onLengthMismatch(expectedLength_, totalRead_);
    const char* block = data_.get() + len_;
    len_ += got;
    data_[len_] = '\0';
    if (events_ && first && notifyDataStart_) events_->onDataStart(block, got, totalRead_);
    if (events_ && !first && notifyData_) events_->onData(block, got, totalRead_);
}

bool CBaseUploadStream::skip(int64_t n) {
    while (n > 0 && pos_ < len_) {
        const int step = static_cast<int>(std::min<int64_t>(n, len_ - pos_));
        pos_ += step;
        n -= step;
        if (len_ - pos_ < kRefillThreshold) fill();
    }
    return pos_ < len_;
}

bool CBaseUploadStream::skipTo(const char* p) {
    if (!p) return skip(len_ - pos_);
    return skip(p - (data_.get() + pos_));
}

bool CBaseUploadStream::skipLine() {
    const char* lineEnd = nullptr;
    for (;;) {
        const char* from = data_.get() + pos_;
        const size_t count = static_cast<size_t>(len_ - pos_);
        const char* cr = static_cast<const char*>(std::memchr(from, '\r', count));
        const char* lf = static_cast<const char*>(std::memchr(from, '\n', cr ? static_cast<size_t>(cr - from) : count));
        lineEnd = lf ? lf : cr;
        if (lineEnd || eof_) break;
        // No line end buffered: consume what there is and read on.
        const int before = len_;
        pos_ = len_;
        fill();
        if (len_ == 0 || (len_ == before && pos_ == len_)) break;
    }
    if (!lineEnd) {
        pos_ = len_;
        return false;
    }
    skipTo(lineEnd);
    if (len_ - pos_ < 2) fill();
    const char a = data_[pos_];
    const char b = pos_ + 1 < len_ ? data_[pos_ + 1] : '\0';
    if ((a == '\r' && b == '\n') || (a == '\n' && b == '\r'))
        skip(2);
    else
        skip(1);
    return pos_ < len_;
}

void CBaseUploadStream::skipByteOrderMark() {
    if (len_ - pos_ >= 3 && std::memcmp(data_.get() + pos_, "\xEF\xBB\xBF", 3) == 0) skip(3);
}

CFileUploadStream::~CFileUploadStream() {
    if (ownsFile_ && file_) std::fclose(file_);
}

void CFileUploadStream::open(std::FILE* file, bool owned) {
    if (ownsFile_ && file_ && file_ != file) std::fclose(file_);
    file_ = file;
    ownsFile_ = owned;
    resetWindow();
    fill();
    skipByteOrderMark();
}

int CFileUploadStream::read(char* buffer, int max) {
    if (!file_) {
        eof_ = true;
        return 0;
    }
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(max), file_);
    if (got < static_cast<size_t>(max)) eof_ = true;
    return static_cast<int>(got);
}

}  // namespace brenvik
