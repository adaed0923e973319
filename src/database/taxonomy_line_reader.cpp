#include "database/taxonomy_line_reader.h"
#include "common/system_calls.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

TaxonomyLineReader::TaxonomyLineReader(std::FILE* stream, LineEnds ends, size_t maxLine)
    : stream_(stream), ends_(ends), maxLine_(maxLine), buffer_(size_t{1} << 20) {
    struct stat st;
    if (stream_ != nullptr && systemCalls().fstat(fileno(stream_), &st) == 0 && S_ISREG(st.st_mode))
        limit_ = static_cast<size_t>(st.st_size);
}

bool TaxonomyLineReader::fill() {
    if (eof_ || stream_ == nullptr) return false;
    len_ = limit_ > bytesRead_ ? std::fread(buffer_.data(), 1, std::min(buffer_.size(), limit_ - bytesRead_), stream_) : 0;
    pos_ = 0;
    bytesRead_ += len_;
    if (len_ == 0) {
        eof_ = true;
        return false;
    }
    return true;
}

bool TaxonomyLineReader::next(std::string& line) {
    for (;;) {
        line.clear();
        bool tooLong = false;
        bool sawAny = false;
        bool ended = false;
        while (!ended) {
            if (pos_ >= len_ && !fill()) break;
            if (!sawAny && buffer_[pos_] == '\0') {
                notText_ = eof_ = true;
                len_ = pos_;
                return false;
            }
            sawAny = true;
            const char* start = buffer_.data() + pos_;
            const size_t avail = len_ - pos_;
            size_t n = 0;
            if (ends_ == LineEnds::LfDropCr) {
                const void* hit = std::memchr(start, '\n', avail);
                n = hit ? static_cast<size_t>(static_cast<const char*>(hit) - start) : avail;
            } else {
                // The first of LF, CR and NUL: three vectorised scans, each
                // bounded by the end found so far.
                n = avail;
                for (const char end : {'\n', '\r', '\0'}) {
                    const void* hit = std::memchr(start, end, n);
                    if (hit) n = static_cast<size_t>(static_cast<const char*>(hit) - start);
                }
            }
            if (!tooLong) {
                if (n > maxLine_ - line.size()) {
                    tooLong = true;
                    std::string().swap(line);
                } else {
                    line.append(start, n);
                }
            }
            pos_ += n;
            if (pos_ < len_) {
                ++pos_;  // step over the line end
                ended = true;
            }
        }
        if (!sawAny) return false;
        ++lineNumber_;
        if (tooLong) {
            ++skipped_;
            continue;
        }
        if (ends_ == LineEnds::LfDropCr && !line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
}
