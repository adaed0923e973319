#include "database/bv_cdbfile.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/file_utils.h"
#include "common/system_calls.h"

namespace brenvik {

namespace {

constexpr char kFooterTag[] = "\nCDBFILE";
constexpr char kFooterVersion[] = "2.00";
constexpr size_t kWriteBufferSize = 4096;
constexpr uint64_t kMaxPosition = 0x0FFFFFFFFFFFFFF7ULL;
constexpr uint64_t kMax32 = 0xFFFFFFFFULL;
// A table of n entries gets 2n slots, and the slot count is stored in 4 bytes.
constexpr uint64_t kMaxTableEntries = kMax32 / 2;

bool sameLayout(const CdbLayout& a, const CdbLayout& b) {
    return a.positionSize == b.positionSize && a.countSize == b.countSize && a.slotSize == b.slotSize &&
           a.headerSize == b.headerSize && a.hashSize == b.hashSize && a.keyLengthSize == b.keyLengthSize &&
           a.valueLengthSize == b.valueLengthSize;
}

int pwriteAll(int fd, const unsigned char* data, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = systemCalls().pwrite(fd, data, length, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        data += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return 0;
}

int fail(bv_cdbmake& w, int error) {
    w.failed = true;
    w.error = error;
    errno = error;
    return -1;
}

int bufferedWrite(bv_cdbmake& w, const void* bytes, size_t length) {
    if (w.failed) {
        errno = w.error;
        return -1;
    }
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    size_t take = kWriteBufferSize - w.buffered;
    if (take > length) take = length;
    if (take) std::memcpy(w.buffer.data() + w.buffered, p, take);
    w.buffered += take;
    p += take;
    length -= take;
    if (w.buffered < kWriteBufferSize) return 0;
    if (!fileWriteAll(w.fd, w.buffer.data(), kWriteBufferSize)) return fail(w, errno);
    w.buffered = 0;
    size_t direct = length - length % kWriteBufferSize;
    if (direct && !fileWriteAll(w.fd, p, direct)) return fail(w, errno);
    p += direct;
    length -= direct;
    if (length) std::memcpy(w.buffer.data(), p, length);
    w.buffered = length;
    return 0;
}

int flush(bv_cdbmake& w) {
    if (w.failed) {
        errno = w.error;
        return -1;
    }
    if (w.buffered && !fileWriteAll(w.fd, w.buffer.data(), w.buffered)) return fail(w, errno);
    w.buffered = 0;
    return 0;
}

}  // namespace

void setLayout(CdbLayout& layout, int version) {
    const uint32_t position = version == 1 ? 4 : 8;
    layout.positionSize = position;
    layout.countSize = 4;
    layout.slotSize = 4 + position;
    layout.headerSize = 256 * (4 + position);
    layout.hashSize = 4;
    layout.keyLengthSize = 4;
    layout.valueLengthSize = 4;
}

uint32_t cdbHash(const void* bytes, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    uint32_t h = 5381;
    for (size_t i = 0; i < length; ++i) h = (h * 33) ^ p[i];
    return h;
}

uint64_t cdbUnpack(const unsigned char* bytes, unsigned n) {
    if (!bytes) return 0;
    if (n > 8) n = 8;
    uint64_t v = 0;
    for (unsigned i = n; i-- > 0;) v = (v << 8) | bytes[i];
    return v;
}

void cdbPack(uint64_t number, unsigned char* buffer, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        buffer[i] = static_cast<unsigned char>(number & 0xFF);
        number >>= 8;
    }
}

// ---------------------------------------------------------------- reader

bv_cdbfile::~bv_cdbfile() { close(true); }

int bv_cdbfile::corrupt() {
    errno = EPROTO;
    return -1;
}

int bv_cdbfile::init(int fd) {
    close(true);
    fd_ = fd;
    setLayout(layout_, 1);
    end_ = dataEnd_ = 0;

    struct stat st;
    if (systemCalls().fstat(fd, &st) != 0) return -2;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size < layout_.headerSize) {
        errno = EPROTO;
        return -3;
    }
    void* m = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) return -5;
    map_ = static_cast<const unsigned char*>(m);
    mapSize_ = static_cast<size_t>(size);
    end_ = size;

    if (size > layout_.headerSize + kCdbFooterSize) {
        const unsigned char* footer = map_ + size - kCdbFooterSize;
        if (std::memcmp(footer + 28, kFooterTag, 8) == 0) {
            // The version text is not checked; the sizes are, since every
            // later bound depends on them.
            CdbLayout found;
            uint32_t* fields[] = {&found.positionSize, &found.countSize,    &found.slotSize,
                                  &found.headerSize,   &found.hashSize,     &found.keyLengthSize,
                                  &found.valueLengthSize};
            for (int i = 0; i < 7; ++i) *fields[i] = static_cast<uint32_t>(cdbUnpack(footer + 4 * i, 4));
            CdbLayout expected;
            bool known = found.positionSize == 4 || found.positionSize == 8;
            if (known) setLayout(expected, found.positionSize == 4 ? 1 : 2);
            if (!known || !sameLayout(found, expected) || found.headerSize + kCdbFooterSize > size) {
                close(true);
                errno = EPROTO;
                return -7;
            }
            layout_ = found;
            end_ = size - kCdbFooterSize;
        }
    }

    uint64_t first = cdbUnpack(map_, layout_.positionSize);
    if (first < layout_.headerSize) first = layout_.headerSize;
    if (first > end_) first = end_;
    dataEnd_ = first;
    return 0;
}

void bv_cdbfile::close(bool closeMapping) {
    valuePosition_ = valueLength_ = keyPosition_ = keyLength_ = 0;
    if (!closeMapping) return;
    if (map_) ::munmap(const_cast<unsigned char*>(map_), mapSize_);
    map_ = nullptr;
    mapSize_ = 0;
    end_ = 0;
    dataEnd_ = 0;
    fd_ = -1;
}

const unsigned char* bv_cdbfile::mappedData(size_t length, uint64_t position) {
    const uint64_t d = length ? length : 1;
    if (!map_ || position > end_ || d > end_ - position) {
        errno = EPROTO;
        return nullptr;
    }
    return map_ + position;
}

const unsigned char* bv_cdbfile::getData(size_t length, uint64_t position) {
    const unsigned char* p = mappedData(length, position);
    return p && positionalReads_ ? bytesAt(position, length) : p;
}

const unsigned char* bv_cdbfile::bytesAt(uint64_t position, size_t length) {
    if (!positionalReads_) return map_ + position;
    if (scratch_.size() < length || scratch_.empty()) scratch_.resize(std::max<size_t>(length, 64));
    size_t done = 0;
    while (done < length) {
        const ssize_t got =
            systemCalls().pread(fd_, scratch_.data() + done, length - done, static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) continue;
        // The file is shorter than when it was mapped, or cannot be read.
        if (got <= 0) {
            errno = EIO;
            return nullptr;
        }
        done += static_cast<size_t>(got);
    }
    return scratch_.data();
}

int bv_cdbfile::read(void* buffer, size_t length, uint64_t position) {
    const unsigned char* p = getData(length, position);
    if (!p) return -1;
    if (length) std::memcpy(buffer, p, length);
    return 0;
}

int bv_cdbfile::tableFor(uint32_t hash, uint64_t& start, uint64_t& slots) {
    // The header lies inside the file: init checked size >= header size.
    const unsigned char* entry = bytesAt(static_cast<uint64_t>(hash & 0xFF) * layout_.slotSize, layout_.slotSize);
    if (!entry) return -1;
    slots = cdbUnpack(entry + layout_.positionSize, layout_.countSize);
    if (slots == 0) return 0;
    start = cdbUnpack(entry, layout_.positionSize);
    if (start < dataEnd_ || start > end_ || slots > (end_ - start) / layout_.slotSize) return corrupt();
    return 1;
}

int bv_cdbfile::matchRecord(uint64_t record, const void* key, size_t length) {
    if (record < layout_.headerSize || record > dataEnd_ || dataEnd_ - record < kCdbRecordHeaderSize)
        return corrupt();
    const unsigned char* header = bytesAt(record, kCdbRecordHeaderSize);
    if (!header) return -1;
    const uint64_t klen = cdbUnpack(header, 4);
    const uint64_t vlen = cdbUnpack(header + 4, 4);
    if (klen != length) return 0;
    const uint64_t keyStart = record + kCdbRecordHeaderSize;
    if (klen > dataEnd_ - keyStart) return corrupt();
    if (length) {
        const unsigned char* stored = bytesAt(keyStart, length);
        if (!stored) return -1;
        if (std::memcmp(stored, key, length) != 0) return 0;
    }
    const uint64_t valueStart = keyStart + klen;
    if (vlen > dataEnd_ - valueStart) return corrupt();
    valuePosition_ = valueStart;
    valueLength_ = vlen;
    keyPosition_ = keyStart;
    keyLength_ = klen;
    return 1;
}

int bv_cdbfile::find(const void* key, size_t length) {
    if (!map_ || length >= dataEnd_) return 0;
    const uint32_t h = cdbHash(key, length);
    uint64_t start = 0, n = 0;
    int r = tableFor(h, start, n);
    if (r <= 0) return r;
    const uint64_t tableEnd = start + n * layout_.slotSize;
    uint64_t pos = start + ((h >> 8) % n) * layout_.slotSize;
    for (uint64_t i = 0; i < n; ++i) {
        const unsigned char* slot = bytesAt(pos, layout_.slotSize);
        if (!slot) return -1;
        const uint32_t slotHash = static_cast<uint32_t>(cdbUnpack(slot, 4));
        const uint64_t record = cdbUnpack(slot + 4, layout_.positionSize);
        if (record == 0) return 0;
        if (slotHash == h) {
            int m = matchRecord(record, key, length);
            if (m != 0) return m;
        }
        pos += layout_.slotSize;
        if (pos >= tableEnd) pos = start;
    }
    return 0;
}

int bv_cdbfile::findFirst(CdbFindState& state, bv_cdbfile* reader, const void* key, size_t length) {
    state = CdbFindState{};
    state.reader = reader;
    state.key = key;
    state.keyLength = length;
    if (!reader || !reader->map_ || length >= reader->dataEnd_) return 0;
    const uint32_t h = cdbHash(key, length);
    uint64_t start = 0, n = 0;
    int r = reader->tableFor(h, start, n);
    if (r <= 0) return r;
    state.hash = h;
    state.tableStart = start;
    state.tableEnd = start + n * reader->layout_.slotSize;
    state.slotPosition = start + ((h >> 8) % n) * reader->layout_.slotSize;
    state.bytesLeft = n * reader->layout_.slotSize;
    return 1;
}

int bv_cdbfile::findNext(CdbFindState& state) {
    bv_cdbfile* reader = state.reader;
    if (!reader || !reader->map_) return 0;
    // A state kept across a re-init of its reader must still fit the file.
    if (state.bytesLeft && state.tableEnd > reader->end_) return reader->corrupt();
    const uint32_t slotSize = reader->layout_.slotSize;
    while (state.bytesLeft >= slotSize) {
        const unsigned char* slot = reader->bytesAt(state.slotPosition, slotSize);
        if (!slot) return -1;
        const uint32_t slotHash = static_cast<uint32_t>(cdbUnpack(slot, 4));
        const uint64_t record = cdbUnpack(slot + 4, reader->layout_.positionSize);
        state.bytesLeft -= slotSize;
        state.slotPosition += slotSize;
        if (state.slotPosition >= state.tableEnd) state.slotPosition = state.tableStart;
        if (record == 0) {
            state.bytesLeft = 0;
            return 0;
        }
        if (slotHash == state.hash) {
            int m = reader->matchRecord(record, state.key, state.keyLength);
            if (m != 0) return m;
        }
    }
    state.bytesLeft = 0;
    return 0;
}

// ---------------------------------------------------------------- writer

bv_cdbmake::bv_cdbmake() : buffer(kWriteBufferSize, 0) { setLayout(layout, 2); }

int makeStart(bv_cdbmake& w, int fd) {
    w.fd = fd;
    setLayout(w.layout, 2);
    std::fill(w.buffer.begin(), w.buffer.end(), 0);
    // The buffer stands for offsets 0..4,095, so its first flush puts zeros
    // where the header goes; makeFinish writes the header over them last.
    w.buffered = w.layout.headerSize;
    w.position = w.layout.headerSize;
    w.records = 0;
    w.failed = false;
    w.error = 0;
    for (auto& t : w.tables) std::vector<std::pair<uint32_t, uint64_t>>().swap(t);
    return 0;
}

namespace {

// Lengths are checked before a byte of the key is touched (the hash reads it).
int checkLengths(bv_cdbmake& w, size_t keyLength, size_t valueLength) {
    if (w.failed) {
        errno = w.error;
        return -1;
    }
    const uint64_t room = w.position < kMaxPosition ? kMaxPosition - w.position : 0;
    if (keyLength > room || valueLength > room - keyLength) return fail(w, ENOMEM);
    if (keyLength > kMax32 || valueLength > kMax32 || w.records >= kMax32) return fail(w, EOVERFLOW);
    return 0;
}

}  // namespace

int makeAdd(bv_cdbmake& w, const void* key, size_t keyLength, const void* value, size_t valueLength) {
    if (checkLengths(w, keyLength, valueLength) != 0) return -1;
    return makeAddWithHash(w, cdbHash(key, keyLength), key, keyLength, value, valueLength);
}

int makeAddWithHash(bv_cdbmake& w, uint32_t hash, const void* key, size_t keyLength, const void* value,
                    size_t valueLength) {
    if (checkLengths(w, keyLength, valueLength) != 0) return -1;
    auto& table = w.tables[hash & 0xFF];
    if (table.size() >= kMaxTableEntries) return fail(w, EOVERFLOW);
    try {
        table.emplace_back(hash, w.position);
    } catch (const std::bad_alloc&) {
        return fail(w, ENOMEM);
    }
    ++w.records;
    unsigned char lengths[kCdbRecordHeaderSize];
    cdbPack(keyLength, lengths, 4);
    cdbPack(valueLength, lengths + 4, 4);
    if (bufferedWrite(w, lengths, sizeof lengths) != 0 || bufferedWrite(w, key, keyLength) != 0 ||
        bufferedWrite(w, value, valueLength) != 0)
        return -1;
    w.position += kCdbRecordHeaderSize + keyLength + valueLength;
    return 0;
}

void makeReserve(bv_cdbmake& w, uint64_t records) {
    // Hashes spread evenly over the 256 tables; a little slack for chance.
    const uint64_t perTable = std::min<uint64_t>(records / 256 + records / 2048 + 16, kMaxTableEntries);
    try {
        for (auto& table : w.tables)
            if (table.capacity() < perTable) table.reserve(static_cast<size_t>(perTable));
    } catch (const std::bad_alloc&) {
        // Only a hint: the tables grow as records come.
    }
}

int makeFinish(bv_cdbmake& w) {
    if (w.failed) {
        errno = w.error;
        return -1;
    }
    if ((0x0FFFFFFFFFFFFFFFULL - w.position) / 8 < w.records) return fail(w, ENOMEM);
    const uint32_t slotSize = w.layout.slotSize;
    std::vector<unsigned char> header(w.layout.headerSize, 0);
    std::vector<std::pair<uint32_t, uint64_t>> slots;
    std::vector<unsigned char> packed;
    try {
        size_t largest = 0;
        for (const auto& t : w.tables) largest = std::max(largest, t.size());
        slots.reserve(largest * 2);
        packed.resize(std::max<size_t>(largest * 2, 1) * slotSize);
    } catch (const std::bad_alloc&) {
        return fail(w, ENOMEM);
    }
    for (int i = 0; i < 256; ++i) {
        const auto& entries = w.tables[i];
        const uint64_t n = static_cast<uint64_t>(entries.size()) * 2;
        cdbPack(w.position, header.data() + i * slotSize, w.layout.positionSize);
        cdbPack(n, header.data() + i * slotSize + w.layout.positionSize, w.layout.countSize);
        if (n == 0) continue;
        slots.assign(n, {0, 0});
        for (const auto& e : entries) {
            uint64_t s = (e.first >> 8) % n;
            while (slots[s].second != 0) s = s + 1 == n ? 0 : s + 1;
            slots[s] = e;
        }
        for (uint64_t s = 0; s < n; ++s) {
            cdbPack(slots[s].first, packed.data() + s * slotSize, 4);
            cdbPack(slots[s].second, packed.data() + s * slotSize + 4, w.layout.positionSize);
        }
        if (bufferedWrite(w, packed.data(), n * slotSize) != 0) return -1;
        w.position += n * slotSize;
    }
    unsigned char footer[kCdbFooterSize];
    const uint32_t fields[] = {w.layout.positionSize, w.layout.countSize,    w.layout.slotSize,
                               w.layout.headerSize,   w.layout.hashSize,     w.layout.keyLengthSize,
                               w.layout.valueLengthSize};
    for (int i = 0; i < 7; ++i) cdbPack(fields[i], footer + 4 * i, 4);
    std::memcpy(footer + 28, kFooterTag, 8);
    std::memcpy(footer + 36, kFooterVersion, 4);
    if (bufferedWrite(w, footer, sizeof footer) != 0 || flush(w) != 0) return -1;
    // The header goes in last: until it is there the file's tables are empty.
    if (pwriteAll(w.fd, header.data(), header.size(), 0) != 0) return fail(w, errno);
    for (auto& t : w.tables) std::vector<std::pair<uint32_t, uint64_t>>().swap(t);
    return 0;
}

}  // namespace brenvik
