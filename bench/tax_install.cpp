// Lays out a server installation for bench/tax.sh around a taxonomy dump:
//
//   tax_install <folder> <dump folder> [entries]
//                                        writes <folder>/{cgi,config,data,logs,
//                                        sessions,taxonomy}, links the dump's
//                                        nodes.dmp and names.dmp into taxonomy/
//                                        and registers the control file; with
//                                        entries, database Big gets that many
//                                        protein entries "T<n>", each with
//                                        taxonomy IDs of the dump's ids.txt
//   tax_install --stop <folder>          removes the control file's marker
//
// Database "Big" uses Taxonomy_1 (the dump); Taxonomy_2, the section of the
// species-name search, lists the same names file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fake_monitor.h"
#include "support/session_files.h"
#include "support/taxonomy_fixture.h"

#include "bench_tarvex_dat.h"

namespace {

std::string tarvexDat() {
    return benchTarvexDat(
        "PARSE\nRULE_1\t\">\\([^ ]*\\)\"\nend\n\n"
        "Taxonomy_1\nTitle:Full size\nEnabled\t1\n"
        "SpeciesFiles\tNCBI:names.dmp\nNodesFiles\tNCBI:nodes.dmp\nGencodeFiles\tNCBI:gencode.dmp\nend\n\n"
        "Taxonomy_2\nTitle:Species search\nEnabled\t0\nSpeciesFiles\tNCBI:names.dmp\nend\n\n");
}

bool writeFile(const std::string& path, const std::string& content) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc == 3 && std::strcmp(argv[1], "--stop") == 0) {
        const std::string control = fs::absolute(fs::path(argv[2]) / "data/tarvex.control").string();
        mmap_marker::removeMarker(tarvex_test::FakeMonitor::markerOf(control));
        return 0;
    }
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s <folder> <dump folder> [entries] | --stop <folder>\n", argv[0]);
        return 2;
    }
    const fs::path root = fs::absolute(argv[1]);
    const fs::path dump = fs::absolute(argv[2]);
    for (const char* dir : {"cgi", "config", "data", "logs", "sessions", "taxonomy", "sequence"})
        fs::create_directories(root / dir);
    for (const char* name : {"nodes.dmp", "names.dmp"}) {
        const fs::path link = root / "taxonomy" / name;
        fs::remove(link);
        fs::create_symlink(dump / name, link);
    }
    bool ok = writeFile((root / "config/tarvex.dat").string(), tarvexDat()) &&
              writeFile((root / "taxonomy/gencode.dmp").string(), tarvex_test::taxonomyFixture("gencode.dmp"));
    tarvex_test::SecurityOptionsSpec spec;
    spec.securityEnabled = "false";
    tarvex_test::writeSecurityOptions((root / "config").string(), spec);

    tarvex_test::ControlFileWriter control;
    const long entries = argc == 4 ? std::atol(argv[3]) : 0;
    if (entries > 0) {
        std::vector<int32_t> ids;
        std::ifstream idsFile(dump / "ids.txt");
        for (int32_t id; idsFile >> id;) ids.push_back(id);
        if (ids.empty()) {
            std::fprintf(stderr, "no IDs in %s\n", (dump / "ids.txt").c_str());
            return 1;
        }
        tarvex_test::DatabaseWriter db("Big", (root / "sequence/Big").string(), "Big_1.fasta");
        std::string fasta;
        fasta.reserve(static_cast<size_t>(entries) * 40);
        char line[64];
        for (long i = 0; i < entries; ++i) {
            std::snprintf(line, sizeof line, ">T%07ld protein %ld\nMKVLAAGIVG\n", i, i);
            fasta += line;
        }
        db.setFasta(fasta).setTaxonomySection(1).setParseRule(1);
        // One ID for most entries, two for every tenth.
        for (long i = 0; i < entries; ++i) {
            std::vector<int32_t> entryIds = {ids[static_cast<size_t>(i) % ids.size()]};
            if (i % 10 == 0) entryIds.push_back(ids[static_cast<size_t>(i / 10) % ids.size()]);
            db.setTaxIds(static_cast<int>(i), entryIds);
        }
        if (!db.write()) {
            std::fprintf(stderr, "database writer: %s\n", db.error().c_str());
            return 1;
        }
        db.fillControlEntry(control, control.addEntry("Big"), false);
    } else {
        control.addEntry("Big");
    }
    const std::string controlPath = (root / "data/tarvex.control").string();
    control.write(controlPath);
    // Kept past this process: the marker names no owner, and --stop removes it.
    auto* monitor = new tarvex_test::FakeMonitor;
    ok = monitor->registerControlFile(controlPath, tarvex_test::FakeMonitor::Owner::PidZero) && ok;
    if (!ok) {
        std::fprintf(stderr, "could not lay out %s\n", root.c_str());
        return 1;
    }
    return 0;
}
