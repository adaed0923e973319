// Lays out the demo server installation: demo_install <demo source folder>
// <installation folder>. Writes the two databases from the FASTA files
// through the test-support database writer, the control file with their
// entries, the taxonomy folder, tarvex.dat and the security options, and
// registers the control file and the database files the way the monitor
// service would, as markers of owner 0 that outlive this program.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/reporter_platform.h"
#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fake_monitor.h"
#include "support/session_files.h"

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ownGroup() {
    struct group* g = ::getgrgid(::getgid());
    return g ? g->gr_name : "root";
}

// The text between start and the next '|' of a title line.
std::string field(const std::string& title, const std::string& start) {
    size_t at = title.find(start);
    if (at == std::string::npos) return std::string();
    at += start.size();
    return title.substr(at, title.find('|', at) - at);
}

// Every entry's accession is what the database's parse rule cuts out of its
// title, as the server's database compressor does.
void setAccessions(tarvex_test::DatabaseWriter& db, const std::string& start) {
    for (auto& entry : db.entries()) {
        std::string accession = field(entry.titleLine, start);
        if (accession.empty()) throw std::runtime_error("no accession in " + entry.titleLine);
        entry.accessions = {{accession, 0}};
    }
}

int run(const fs::path& source, const fs::path& target) {
    fs::remove_all(target);
    for (const char* sub : {"cgi", "config", "data", "logs", "sessions", "taxonomy", "sequence"})
        fs::create_directories(target / sub);

    std::string config = readText(source / "tarvex.dat");
    for (size_t at; (at = config.find("@GROUP@")) != std::string::npos;) config.replace(at, 7, ownGroup());
    writeText(target / "config/tarvex.dat", config);
    tarvex_test::SecurityOptionsSpec security;
    security.securityEnabled = "false";
    tarvex_test::writeSecurityOptions((target / "config").string(), security);

    for (const auto& file : fs::directory_iterator(source / "taxonomy"))
        fs::copy_file(file.path(), target / "taxonomy" / file.path().filename());

    // The protein database with its reference file (one flat-file entry per
    // protein, in the same order).
    tarvex_test::DatabaseWriter swissProt("SwissProt", (target / "sequence/SwissProt").string(), "SwissProt.fasta");
    swissProt.setFasta(readText(source / "SwissProt.fasta")).setParseRule(1).setTaxonomySection(1);
    setAccessions(swissProt, "sp|");
    std::string reference = readText(source / "SwissProt.ref");
    std::vector<uint64_t> offsets;
    for (size_t at = 0; at < reference.size(); at = reference.find('\n', at) + 1) {
        if (reference.compare(at, 5, "ID   ") == 0) offsets.push_back(at);
        if (reference.find('\n', at) == std::string::npos) break;
    }
    if (offsets.size() != swissProt.entries().size()) throw std::runtime_error("SwissProt.ref does not fit");
    swissProt.setReference(reference, offsets);
    for (size_t i = 0; i < swissProt.entries().size(); ++i) {
        const std::string& title = swissProt.entries()[i].titleLine;
        size_t ox = title.find("OX=");
        if (ox != std::string::npos) swissProt.setTaxIds(static_cast<int>(i), {std::stoi(title.substr(ox + 3))});
    }

    // The nucleic-acid database; its taxonomy IDs come from the gi list.
    tarvex_test::DatabaseWriter virus("Virus", (target / "sequence/Virus").string(), "Virus.fasta");
    virus.setFasta(readText(source / "Virus.fasta")).setNucleic(true).setParseRule(5).setTaxonomySection(2);
    setAccessions(virus, "gi|");
    std::map<std::string, int> taxIdOfGi;
    std::istringstream gis(readText(source / "Virus.taxids"));
    for (std::string gi; gis >> gi;) gis >> taxIdOfGi[gi];
    for (size_t i = 0; i < virus.entries().size(); ++i)
        virus.setTaxIds(static_cast<int>(i), {taxIdOfGi[virus.entries()[i].accessions[0].first]});

    for (tarvex_test::DatabaseWriter* db : {&swissProt, &virus})
        if (!db->write()) throw std::runtime_error(db->name() + ": " + db->error());

    tarvex_test::ControlFileWriter control;
    swissProt.fillControlEntry(control, control.addEntry("SwissProt"), true);
    virus.fillControlEntry(control, control.addEntry("Virus"), true);
    const std::string controlPath = (target / "data/tarvex.control").string();
    control.write(controlPath);

    // Stands in for the monitor service for as long as the files exist: the
    // object is never destroyed, so its owner-0 markers stay.
    static auto* const monitor = new tarvex_test::FakeMonitor;
    bool ok = monitor->registerControlFile(controlPath, tarvex_test::FakeMonitor::Owner::PidZero);
    ok = swissProt.registerMapped(*monitor, tarvex_test::FakeMonitor::Owner::PidZero) && ok;
    ok = virus.registerMapped(*monitor, tarvex_test::FakeMonitor::Owner::PidZero) && ok;
    if (!ok) throw std::runtime_error("cannot register the mappings");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <demo source folder> <installation folder>\n", argv[0]);
        return 2;
    }
    // The files it makes go to the group its tarvex.dat names, its user's own,
    // rather than to the default group, which this system need not have.
    reporter_platform::Settings settings = reporter_platform::settings();
    settings.userGroup = ownGroup();
    reporter_platform::publishSettings(std::move(settings));
    try {
        return run(fs::absolute(argv[1]), fs::absolute(argv[2]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo_install: %s\n", e.what());
        return 1;
    }
}
