#include "support/taxonomy_fixture.h"

#include <unistd.h>

#include <stdexcept>

namespace tarvex_test {

TaxonomyInstall::TaxonomyInstall() : dir_("taxonomy") {
    writeFile(dir_.file("cgi/.keep"), "");
    writeFile(dir_.file("taxonomy/.keep"), "");
    writeFile(dir_.file("logs/.keep"), "");
    char cwd[4096];
    oldCwd_ = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
    if (chdir(dir_.file("cgi").c_str()) != 0) throw std::runtime_error("cannot enter " + dir_.file("cgi"));
}

TaxonomyInstall::~TaxonomyInstall() {
    if (chdir(oldCwd_.c_str()) != 0) {
        // The folder is removed next; nothing more to do.
    }
}

void TaxonomyInstall::write(const std::string& name, const std::string& content) {
    writeFile(dir_.file("taxonomy/" + name), content);
}

void TaxonomyInstall::copyFixture(const std::string& fixture, const std::string& as) {
    write(as.empty() ? fixture : as, taxonomyFixture(fixture));
}

std::string taxonomyFixture(const std::string& name) {
    return readFile(std::string(TARVEX_TEST_DATA) + "/taxonomy/" + name);
}

}  // namespace tarvex_test
