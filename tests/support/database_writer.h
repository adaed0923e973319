#pragma once
// Builds a database file set for tests, in the layouts the readers expect,
// byte for byte: the FASTA file (title lines are read from it), index
// (.i00), sequence (.s00: amino acids one byte each plus a zero; nucleic
// acids four bits per base), accession (.a00), taxonomy-ID (.t00, when the
// database has a taxonomy section), accession-index cache (.b00, through
// bv_cachefile), statistics (.stats) and an optional reference file; and
// the database's control-file entry, for file mode or mapped mode.
//
//   DatabaseWriter db("SwissProt", install.file("sequence/SwissProt"));
//   db.setFasta(">P1 first\nMKV\n>P2 second\nMKLL\n").setTaxonomySection(1).setTaxIds(0, {9606});
//   db.write();
//   ControlFileWriter control; db.fillControlEntry(control, control.addEntry("SwissProt"), false);
//
// Accessions of an entry are the first word of its title and of every title
// piece after a Ctrl-A (0x01); addAccession and setAccessionFlag change them.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/control_file_writer.h"
#include "support/fake_monitor.h"

namespace tarvex_test {

struct DatabaseWriterEntry {
    std::string titleLine;  // as in the FASTA text, with its ">"
    std::string residues;
    uint64_t titleOffset = 0;
    std::vector<std::pair<std::string, uint8_t>> accessions;  // text, flag
    std::vector<int32_t> taxIds;
    uint64_t referenceOffset = 0;
};

class DatabaseWriter {
public:
    // fastaName "" = name + ".fasta". Files go to folder (created by write).
    DatabaseWriter(std::string name, std::string folder, std::string fastaName = "");

    DatabaseWriter& setFasta(const std::string& text);
    DatabaseWriter& setNucleic(bool nucleic);
    // > 0: the database has taxonomy (.t00 written, control field 56).
    DatabaseWriter& setTaxonomySection(int section);
    DatabaseWriter& setTaxIds(int entry, std::vector<int32_t> ids);
    DatabaseWriter& addAccession(int entry, const std::string& accession, uint8_t flag = 0);
    DatabaseWriter& setAccessionFlag(int entry, const std::string& accession, uint8_t flag);
    // A reference file with the offset of each entry's text in it.
    DatabaseWriter& setReference(const std::string& text, std::vector<uint64_t> offsets);
    DatabaseWriter& setParseRule(int rule);
    // Off: no .b00 file.
    DatabaseWriter& setAccessionIndex(bool write);
    // The .b00 maps accession to index instead of its real entry (a stale cache).
    DatabaseWriter& setCacheIndex(const std::string& accession, int32_t index);
    // Replaces the generated statistics text.
    DatabaseWriter& setStatsText(const std::string& text);

    // Writes every file; false (with what failed in error()) on a failure.
    bool write();

    // The control-file entry of both halves: paths, sequence type, counts,
    // node range 0 .. count - 1, parse rule, taxonomy section, reference
    // switch, and with mapped the node-0 mapping switches (106 and 157).
    void fillControlEntry(ControlFileWriter& control, int entry, bool mapped) const;
    // Registers the files of the set that exist as the monitor's mappings.
    bool registerMapped(FakeMonitor& monitor, FakeMonitor::Owner owner = FakeMonitor::Owner::Live) const;

    // Path of a file kind (0 i00 ... 6 stats, as in database_files.h).
    std::string path(int kind) const;
    std::string fastaPath() const { return folder_ + "/" + fastaName_; }
    std::string referencePath() const { return hasReference_ ? folder_ + "/" + name_ + ".ref" : std::string(); }
    const std::string& name() const { return name_; }
    const std::string& folder() const { return folder_; }
    const std::string& fastaName() const { return fastaName_; }
    std::vector<DatabaseWriterEntry>& entries() { return entries_; }
    int32_t longestSequence() const;
    int32_t longestAccession() const;
    int64_t residueCount() const;
    const std::string& error() const { return error_; }

    // Nucleic-acid base code (T 1, C 2, A 3, G 4, anything else N 5).
    static uint8_t baseCode(char base);
    // The stored form of one sequence.
    static std::string encodeSequence(const std::string& residues, bool nucleic);
    // The statistics text of version 5, with a residue-frequency table.
    static std::string statsText(int32_t sequences, int64_t residues, int32_t longest, int32_t longestAccession,
                                 bool nucleic, const std::map<char, int64_t>& residueCounts);

private:
    bool writeFile(const std::string& path, const std::string& bytes);

    std::string name_;
    std::string folder_;
    std::string fastaName_;
    std::string fastaText_;
    std::vector<DatabaseWriterEntry> entries_;
    bool nucleic_ = false;
    int taxonomySection_ = 0;
    bool hasReference_ = false;
    std::string referenceText_;
    int parseRule_ = 1;
    bool accessionIndex_ = true;
    std::map<std::string, int32_t> cacheOverrides_;
    bool statsGiven_ = false;
    std::string statsText_;
    std::string error_;
};

}  // namespace tarvex_test
