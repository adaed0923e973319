#include "common/module_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>

#include "common/error_reporter.h"

namespace brenvik {

namespace {

struct LoadedModule {
    void* handle = nullptr;
    bool failed = false;
};

// Never destroyed: a report from inside exit() may still ask for a module.
std::map<std::string, LoadedModule>& loadedModules() {
    static auto* modules = new std::map<std::string, LoadedModule>;
    return *modules;
}

// The running executable's folder with its trailing "/", or "" when the
// kernel does not tell.
std::string executableFolder() {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    std::string text(path, static_cast<std::size_t>(length));
    std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void reportFailure(const std::string& path, std::string reason) {
    // dlerror() starts with the path that the report names already.
    if (reason.compare(0, path.size() + 2, path + ": ") == 0) reason.erase(0, path.size() + 2);
    errorReporter.report(12, -1, 61, "module_loader", path, "loading", reason);
}

LoadedModule openModule(const char* fileName) {
    LoadedModule module;
    const std::string folder = executableFolder();
    if (folder.empty()) {
        module.failed = true;
        reportFailure(fileName, "the program's own folder is unknown");
        return module;
    }
    // An installation keeps the modules in lib/tarvex beside the program
    // folder; a build tree or a flat copy keeps them next to the program.
    std::string path = folder + "../lib/tarvex/" + fileName;
    if (!fileExists(path) && fileExists(folder + fileName)) path = folder + fileName;
    ::dlerror();
    module.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module.handle == nullptr) {
        module.failed = true;
        const char* reason = ::dlerror();
        reportFailure(path, reason ? reason : "unknown error");
    }
    return module;
}

}  // namespace

void* moduleSymbol(const char* fileName, const char* symbol) {
    auto& modules = loadedModules();
    auto it = modules.find(fileName);
    if (it == modules.end()) {
        // Recorded before the report, which may end the process or come back
        // here through a report of its own.
        it = modules.emplace(fileName, LoadedModule{nullptr, true}).first;
        it->second = openModule(fileName);
    }
    if (it->second.failed) return nullptr;
    ::dlerror();
    void* address = ::dlsym(it->second.handle, symbol);
    if (address == nullptr) {
        it->second.failed = true;
        const char* reason = ::dlerror();
        reportFailure(fileName, reason ? reason : std::string(symbol) + ": symbol not found");
    }
    return address;
}

}  // namespace brenvik
