#pragma once
// A temporary folder laid out like a server installation's cgi/ and
// taxonomy/ folders, entered as the working folder for the object's life:
// the taxonomy readers open "../taxonomy/<name>" from the program folder.
// Fixture files in the NCBI dump formats live in TARVEX_TEST_DATA/taxonomy.
#include <string>

#include "support/temp_dir.h"

namespace tarvex_test {

class TaxonomyInstall {
public:
    TaxonomyInstall();
    ~TaxonomyInstall();
    TaxonomyInstall(const TaxonomyInstall&) = delete;
    TaxonomyInstall& operator=(const TaxonomyInstall&) = delete;

    // Writes taxonomy/<name>.
    void write(const std::string& name, const std::string& content);
    // Copies a fixture from the test data into taxonomy/<as> (default: same name).
    void copyFixture(const std::string& fixture, const std::string& as = "");
    // Path of taxonomy/<name> as the programs see it from cgi/.
    static std::string relative(const std::string& name) { return "../taxonomy/" + name; }
    // Absolute path of taxonomy/<name>.
    std::string path(const std::string& name) const { return dir_.file("taxonomy/" + name); }
    const std::string& root() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string oldCwd_;
};

// Holds the write lock on byte 0 of a cache file, as another task that is
// building it would (an open-file-description lock conflicts with the
// tested code's own descriptors too). Released when destroyed.
class ForeignCacheLock {
public:
    explicit ForeignCacheLock(const std::string& path);
    ~ForeignCacheLock();
    ForeignCacheLock(const ForeignCacheLock&) = delete;
    ForeignCacheLock& operator=(const ForeignCacheLock&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// The content of a fixture file of the test data's taxonomy folder.
std::string taxonomyFixture(const std::string& name);

}  // namespace tarvex_test
