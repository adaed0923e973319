#include "support/database_writer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <stdexcept>

#include "database/bv_cachefile.h"
#include "database/database_files.h"

namespace tarvex_test {

namespace {

void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

DatabaseWriter::DatabaseWriter(std::string name, std::string folder, std::string fastaName)
    : name_(std::move(name)), folder_(std::move(folder)), fastaName_(std::move(fastaName)) {
    if (fastaName_.empty()) fastaName_ = name_ + ".fasta";
}

DatabaseWriter& DatabaseWriter::setFasta(const std::string& text) {
    fastaText_ = text;
    entries_.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '>') {
            DatabaseWriterEntry e;
            e.titleLine = line;
            e.titleOffset = pos;
            const std::string title = line.substr(1);
            size_t piece = 0;
            while (piece <= title.size()) {
                size_t cut = title.find('\x01', piece);
                if (cut == std::string::npos) cut = title.size();
                const std::string part = title.substr(piece, cut - piece);
                const size_t wordEnd = part.find_first_of(" \t");
                const std::string word = part.substr(0, wordEnd);
                if (!word.empty()) e.accessions.emplace_back(word, 0);
                piece = cut + 1;
            }
            entries_.push_back(std::move(e));
        } else if (!entries_.empty()) {
            for (char c : line)
                if (c != ' ' && c != '\t') entries_.back().residues.push_back(c);
        }
        pos = next;
    }
    return *this;
}

DatabaseWriter& DatabaseWriter::setNucleic(bool nucleic) {
    nucleic_ = nucleic;
    return *this;
}

DatabaseWriter& DatabaseWriter::setTaxonomySection(int section) {
    taxonomySection_ = section;
    return *this;
}

DatabaseWriter& DatabaseWriter::setTaxIds(int entry, std::vector<int32_t> ids) {
    entries_.at(static_cast<size_t>(entry)).taxIds = std::move(ids);
    return *this;
}

DatabaseWriter& DatabaseWriter::addAccession(int entry, const std::string& accession, uint8_t flag) {
    entries_.at(static_cast<size_t>(entry)).accessions.emplace_back(accession, flag);
    return *this;
}

DatabaseWriter& DatabaseWriter::setAccessionFlag(int entry, const std::string& accession, uint8_t flag) {
    for (auto& a : entries_.at(static_cast<size_t>(entry)).accessions)
        if (a.first == accession) a.second = flag;
    return *this;
}

DatabaseWriter& DatabaseWriter::setReference(const std::string& text, std::vector<uint64_t> offsets) {
    hasReference_ = true;
    referenceText_ = text;
    for (size_t i = 0; i < entries_.size() && i < offsets.size(); ++i) entries_[i].referenceOffset = offsets[i];
    return *this;
}

DatabaseWriter& DatabaseWriter::setParseRule(int rule) {
    parseRule_ = rule;
    return *this;
}

DatabaseWriter& DatabaseWriter::setAccessionIndex(bool write) {
    accessionIndex_ = write;
    return *this;
}

DatabaseWriter& DatabaseWriter::setCacheIndex(const std::string& accession, int32_t index) {
    cacheOverrides_[accession] = index;
    return *this;
}

DatabaseWriter& DatabaseWriter::setStatsText(const std::string& text) {
    statsGiven_ = true;
    statsText_ = text;
    return *this;
}

uint8_t DatabaseWriter::baseCode(char base) {
    switch (base) {
    case 'T': case 't': case 'U': case 'u': return 1;
    case 'C': case 'c': return 2;
    case 'A': case 'a': return 3;
    case 'G': case 'g': return 4;
    default: return 5;
    }
}

std::string DatabaseWriter::encodeSequence(const std::string& residues, bool nucleic) {
    if (!nucleic) return residues + std::string(1, '\0');
    std::string out(residues.size() / 2 + 1, '\0');
    for (size_t i = 0; i < residues.size(); ++i) {
        const uint8_t code = baseCode(residues[i]);
        out[i / 2] = static_cast<char>(static_cast<uint8_t>(out[i / 2]) | (i % 2 == 0 ? code : code << 4));
    }
    return out;
}

int32_t DatabaseWriter::longestSequence() const {
    size_t n = 0;
    for (const auto& e : entries_) n = std::max(n, e.residues.size());
    return static_cast<int32_t>(n);
}

int32_t DatabaseWriter::longestAccession() const {
    size_t n = 0;
    for (const auto& e : entries_)
        for (const auto& a : e.accessions) n = std::max(n, a.first.size());
    return static_cast<int32_t>(n);
}

int64_t DatabaseWriter::residueCount() const {
    int64_t n = 0;
    for (const auto& e : entries_) n += static_cast<int64_t>(e.residues.size());
    return n;
}

std::string DatabaseWriter::statsText(int32_t sequences, int64_t residues, int32_t longest, int32_t longestAccession,
                                      bool nucleic, const std::map<char, int64_t>& residueCounts) {
    std::string s;
    s += "Time files compressed (int) :\t1700000000\n";
    s += "Time of fasta files (int)   :\t1690000000\n";
    s += "Number of sequences         :\t" + std::to_string(sequences) + "\n";
    s += "Number of residues          :\t" + std::to_string(residues) + "\n";
    s += "Number of sequences too long:\t0\n";
    s += "Length of longest sequence  :\t" + std::to_string(longest) + "\n";
    s += "Maximum Accession Length    :\t" + std::to_string(longestAccession) + "\n";
    s += "Version of Tarvex           :\t2.0\n";
    s += "Version of this file        :\t5\n";
    s += std::string("Type of fasta file          :\t") + (nucleic ? "NA" : "AA") + "\n";
    s += "Parse rule for accession    :\t>\\([^ ]*\\)\n";
    s += "\nResidue\tFrequency\n";
    for (const auto& [residue, count] : residueCounts) s += std::string(1, residue) + "\t" + std::to_string(count) + "\n";
    s += "\n";
    return s;
}

bool DatabaseWriter::writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error_ = "cannot write " + path;
        return false;
    }
    return true;
}

std::string DatabaseWriter::path(int kind) const {
    brenvik::ControlFileRecord record{};
    auto put = [](char* field, size_t size, const std::string& text) {
        std::memcpy(field, text.data(), std::min(text.size(), size - 1));
    };
    put(record.fastaName, sizeof record.fastaName, fastaName_);
    put(record.compressedFolder, sizeof record.compressedFolder, folder_);
    record.database[brenvik::kDbTaxonomySection] = taxonomySection_ > 0 ? taxonomySection_ : 1;
    return brenvik::getDatabaseFileName(kind, &record);
}

bool DatabaseWriter::write() {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    std::string index, sequences, accessions, taxIds;
    std::map<char, int64_t> counts;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const DatabaseWriterEntry& e = entries_[i];
        brenvik::IndexRecord r;
        r.titleOffset = e.titleOffset;
        r.referenceOffset = e.referenceOffset;
        r.sequenceOffset = sequences.size();
        r.accessionOffset = accessions.size();
        r.taxIdOffset = static_cast<uint32_t>(taxIds.size());
        r.length = static_cast<uint32_t>(e.residues.size());
        char bytes[brenvik::kIndexRecordSize];
        brenvik::encodeIndexRecord(r, bytes);
        index.append(bytes, sizeof bytes);
        sequences += encodeSequence(e.residues, nucleic_);
        for (const auto& [text, flag] : e.accessions) {
            accessions += text;
            accessions.push_back('\0');
            accessions.push_back(static_cast<char>(flag));
            putLe32(accessions, static_cast<uint32_t>(i));
        }
        putLe32(taxIds, static_cast<uint32_t>(e.taxIds.size()));
        for (int32_t id : e.taxIds) putLe32(taxIds, static_cast<uint32_t>(id));
        for (char c : e.residues) ++counts[nucleic_ ? "NTCAGN"[baseCode(c)] : c];
    }
    using namespace brenvik;
    if (!writeFile(fastaPath(), fastaText_) || !writeFile(path(DB_FILE_INDEX), index) ||
        !writeFile(path(DB_FILE_SEQUENCE), sequences) || !writeFile(path(DB_FILE_ACCESSION), accessions))
        return false;
    if (taxonomySection_ > 0 && !writeFile(path(DB_FILE_TAXIDS), taxIds)) return false;
    if (hasReference_ && !writeFile(referencePath(), referenceText_)) return false;
    const std::string stats = statsGiven_ ? statsText_
                                          : statsText(static_cast<int32_t>(entries_.size()), residueCount(),
                                                      longestSequence(), longestAccession(), nucleic_, counts);
    if (!writeFile(path(DB_FILE_STATS), stats)) return false;
    if (accessionIndex_) {
        const std::string cacheName = path(DB_FILE_ACCINDEX);
        std::filesystem::remove(cacheName, ec);
        bv_cachefile cache(cacheName.c_str(), "1.0", nullptr);
        if (!cache.create()) {
            error_ = "cannot create " + cacheName;
            return false;
        }
        bool ok = true;
        for (const auto& [text, index] : cacheOverrides_) ok = cache.addInt32(text, static_cast<uint32_t>(index)) && ok;
        for (size_t i = 0; i < entries_.size(); ++i)
            for (const auto& [text, flag] : entries_[i].accessions)
                if (flag != kAccessionFlagHidden && cacheOverrides_.count(text) == 0)
                    ok = cache.addInt32(text, static_cast<uint32_t>(i)) && ok;
        if (!cache.finish() || !ok) {
            error_ = "cannot write " + cacheName;
            return false;
        }
    }
    return true;
}

void DatabaseWriter::fillControlEntry(ControlFileWriter& control, int entry, bool mapped) const {
    using namespace brenvik;
    control.setPaths(entry, fastaName_, fastaPath(), referencePath(), folder_);
    const int32_t count = static_cast<int32_t>(entries_.size());
    for (int h = 0; h < 2; ++h) {
        control.setDatabase(entry, h, kDbHasReference, hasReference_ ? 1 : 0);
        control.setDatabase(entry, h, kDbSequenceType, nucleic_ ? 1 : 0);
        control.setDatabase(entry, h, kDbParseRule, parseRule_);
        control.setDatabase(entry, h, kDbTaxonomySection, taxonomySection_);
        control.setDatabase(entry, h, kDbLongestSequence, longestSequence());
        control.setDatabase(entry, h, kDbSequenceCount, count);
        control.setDatabase(entry, h, kDbLongestAccession, longestAccession());
        control.setDatabase(entry, h, kDbFirstSequence, 0);
        control.setDatabase(entry, h, kDbLastSequence, count - 1);
        control.setNode(entry, h, kNodeMemoryMapped, mapped ? 1 : 0);
        control.setNode(entry, h, kNodeMappingsExist, mapped ? 1 : 0);
    }
}

bool DatabaseWriter::registerMapped(FakeMonitor& monitor, FakeMonitor::Owner owner) const {
    bool ok = true;
    for (int kind = 0; kind < brenvik::DB_FILE_KINDS; ++kind) {
        if (kind == brenvik::DB_FILE_ACCINDEX) continue;
        if (kind == brenvik::DB_FILE_TAXIDS && taxonomySection_ <= 0) continue;
        const std::string p = path(kind);
        if (!std::filesystem::exists(p)) continue;
        ok = monitor.registerDatabaseFile(p, owner) && ok;
    }
    return ok;
}

}  // namespace tarvex_test
