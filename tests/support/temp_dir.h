#pragma once
// A folder under $TMPDIR (or /tmp) that lives as long as the object and is
// removed with everything in it afterwards. Tests run in parallel under
// ctest, so each one works in a folder of its own.
#include <string>

namespace tarvex_test {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "t");
    // Under base instead, when base is not empty.
    TempDir(const std::string& tag, const std::string& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string file(const std::string& relative) const;

private:
    std::string path_;
};

// Whole-file helpers for fixtures and assertions.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);

}  // namespace tarvex_test
