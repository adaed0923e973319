#include "support/taxonomy_fixture.h"

#include <fcntl.h>
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

ForeignCacheLock::ForeignCacheLock(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    held_ = fcntl(fd_, F_OFD_SETLK, &lock) == 0;
}

ForeignCacheLock::~ForeignCacheLock() {
    if (fd_ >= 0) close(fd_);
}

std::string taxonomyFixture(const std::string& name) {
    return readFile(std::string(TARVEX_TEST_DATA) + "/taxonomy/" + name);
}

}  // namespace tarvex_test
