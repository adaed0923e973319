#include "support/control_file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tarvex_test {

using brenvik::ControlFileRecord;

int ControlFileWriter::addEntry(const std::string& name) {
    records_.resize(records_.size() + 2);
    std::memset(&records_[records_.size() - 2], 0, 2 * sizeof(ControlFileRecord));
    int entry = entryCount() - 1;
    setName(entry, 0, name);
    setName(entry, 1, name);
    setNode(entry, 0, brenvik::kNodeStatus, brenvik::kUsableStatus);
    setDatabase(entry, 0, brenvik::kDbLastSequence, -1);
    setDatabase(entry, 1, brenvik::kDbLastSequence, -1);
    return entry;
}

ControlFileRecord& ControlFileWriter::half(int entry, int h) {
    size_t index = 2 * static_cast<size_t>(entry) + static_cast<size_t>(h);
    if (entry < 0 || h < 0 || h > 1 || index >= records_.size()) throw std::out_of_range("control file half");
    return records_[index];
}

void ControlFileWriter::setName(int entry, int h, const std::string& name) {
    ControlFileRecord& r = half(entry, h);
    std::memset(r.name, 0, sizeof r.name);
    std::memcpy(r.name, name.data(), std::min(name.size(), sizeof r.name));
}

namespace {
template <size_t N>
void putText(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}
}  // namespace

void ControlFileWriter::setPaths(int entry, const std::string& fastaName, const std::string& fastaPath,
                                 const std::string& referencePath, const std::string& folder) {
    for (int h = 0; h < 2; ++h) {
        ControlFileRecord& r = half(entry, h);
        putText(r.fastaName, fastaName);
        putText(r.fastaPath, fastaPath);
        putText(r.referencePath, referencePath);
        putText(r.compressedFolder, folder);
    }
}

void ControlFileWriter::setNode(int entry, int h, int index, int32_t value) { half(entry, h).node[index] = value; }

void ControlFileWriter::setDatabase(int entry, int h, int index, int32_t value) {
    half(entry, h).database[index] = value;
}

void ControlFileWriter::setSlot(int entry, int h, int i, int32_t jobNumber, uint32_t endTime,
                                const std::string& kind) {
    brenvik::JobSlot& s = half(entry, h).slots[i];
    s.jobNumber = jobNumber;
    s.endTime = endTime;
    s.status = endTime == 0 ? 1 : 2;
    std::memset(s.requestKind, 0, sizeof s.requestKind);
    std::memcpy(s.requestKind, kind.data(), std::min(kind.size(), sizeof s.requestKind - 1));
}

void ControlFileWriter::fillRunning(int entry, int h) {
    for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i) setSlot(entry, h, i, 1000 + i, 0);
}

void ControlFileWriter::write(const std::string& path, size_t extraBytes) const {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("cannot write " + path);
    std::string bytes(reinterpret_cast<const char*>(records_.data()), records_.size() * sizeof(ControlFileRecord));
    bytes.append(extraBytes, '\0');
    bool ok = ::ftruncate(fd, 0) == 0 &&
              ::pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

ControlFileReader::ControlFileReader(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read " + path);
    off_t size = ::lseek(fd, 0, SEEK_END);
    size_t halves = static_cast<size_t>(size) / sizeof(ControlFileRecord);
    halves -= halves % 2;
    records_.resize(halves);
    ssize_t want = static_cast<ssize_t>(halves * sizeof(ControlFileRecord));
    bool ok = ::pread(fd, records_.data(), static_cast<size_t>(want), 0) == want;
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot read " + path);
}

const ControlFileRecord& ControlFileReader::half(int entry, int h) const {
    return records_.at(2 * static_cast<size_t>(entry) + static_cast<size_t>(h));
}

const brenvik::JobSlot& ControlFileReader::slot(int entry, int h, int i) const {
    return half(entry, h).slots[i];
}

std::vector<int> ControlFileReader::slotsOf(int entry, int h, int32_t jobNumber) const {
    std::vector<int> found;
    for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i)
        if (slot(entry, h, i).jobNumber == jobNumber) found.push_back(i);
    return found;
}

}  // namespace tarvex_test
