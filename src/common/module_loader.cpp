#include "common/module_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "common/system_calls.h"
#include "pal/system_text.h"

namespace brenvik {

namespace {

// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineLoadFailed = 61;  // M12, new

struct LoadedModule {
    const void* functions = nullptr;
    bool failed = true;
};

int& reportJob() {
    static int job = -1;
    return job;
}

// Never destroyed: a report from inside exit() may still ask for a module.
std::map<std::string, LoadedModule>& loadedModules() {
    static auto* modules = new std::map<std::string, LoadedModule>;
    return *modules;
}

// Closes a descriptor unless it was released to the module for good.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int d) : fd(d) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int d) {
        if (fd >= 0) ::close(fd);
        fd = d;
    }
    int release() {
        const int d = fd;
        fd = -1;
        return d;
    }
};

std::string errnoText() { return getSystemErrorText(static_cast<uint32_t>(errno)); }

// What a module is taken from may be changed by no one but root and the
// owner of the program file: whoever else could change it could run code as
// every user of the program. what names the file or folder, path is where
// it is (for the command that mends it).
bool trustedOwner(const struct stat& st, uid_t programOwner) { return st.st_uid == 0 || st.st_uid == programOwner; }

std::optional<std::string> ownerFault(const struct stat& st, uid_t programOwner, const std::string& what) {
    if (trustedOwner(st, programOwner)) return std::nullopt;
    return what + " belongs to user " + std::to_string(st.st_uid) + ", neither root nor the program's owner";
}

std::optional<std::string> writableFault(const std::string& what, const std::string& path) {
    return what + " is writable by its group or others (chmod go-w " + path + ")";
}

std::optional<std::string> ownershipFault(const struct stat& st, uid_t programOwner, const std::string& what,
                                          const std::string& path) {
    if (auto fault = ownerFault(st, programOwner, what)) return fault;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return writableFault(what, path);
    return std::nullopt;
}

// A folder of the path that others may write is safe to look up entry in
// only when it is sticky and the entry is root's or the program's owner's:
// then no one else may rename or remove the entry, so it cannot be swapped
// (/tmp, for a checkout or an installation under it). folder is the
// folder's status, its own owner already checked.
std::optional<std::string> lookUpFault(const struct stat& folder, const struct stat& entry, uid_t programOwner,
                                       const std::string& path) {
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0) return std::nullopt;
    if ((folder.st_mode & S_ISVTX) != 0 && trustedOwner(entry, programOwner)) return std::nullopt;
    return writableFault("the folder " + path, path);
}

bool readAt(int fd, void* buffer, std::size_t size, uint64_t offset) {
    return systemCalls().pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// The loader maps every extent that the ELF headers name; an extent past the
// end of a file cut short (a copy over the module while requests start)
// would be a SIGBUS at the first touch. Every extent is checked in a form
// that cannot overflow.
std::optional<std::string> elfFault(int fd, uint64_t fileSize) {
    Elf64_Ehdr header;
    if (fileSize < sizeof header || !readAt(fd, &header, sizeof header, 0) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return std::string("not an ELF shared object");
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_type != ET_DYN ||
        header.e_phentsize != sizeof(Elf64_Phdr))
        return std::string("not a 64-bit ELF shared object");
    auto fits = [fileSize](uint64_t offset, uint64_t length) {
        return offset <= fileSize && length <= fileSize - offset;
    };
    const std::string cut = "cut short (" + std::to_string(fileSize) + " bytes, less than its ELF headers describe)";
    if (!fits(header.e_phoff, uint64_t{header.e_phnum} * sizeof(Elf64_Phdr))) return cut;
    if (header.e_shnum != 0 && !fits(header.e_shoff, uint64_t{header.e_shnum} * header.e_shentsize)) return cut;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        if (!readAt(fd, &segment, sizeof segment, header.e_phoff + uint64_t{i} * sizeof segment)) return cut;
        if (!fits(segment.p_offset, segment.p_filesz)) return cut;
    }
    return std::nullopt;
}

// The build identity that the module's file carries in its note
// (common/build_identity.h), read through the descriptor before the loader
// maps it: a module of another build (another interface, a sanitizer
// runtime that must come first) would otherwise run its constructors, and
// those of the libraries it needs, before it could be refused. The headers
// were checked to lie within the file (elfFault).
std::optional<std::string> identityFault(int fd) {
    Elf64_Ehdr header;
    if (!readAt(fd, &header, sizeof header, 0)) return std::string("not an ELF shared object");
    std::string found;
    for (unsigned i = 0; i < header.e_phnum && found.empty(); ++i) {
        Elf64_Phdr segment;
        if (!readAt(fd, &segment, sizeof segment, header.e_phoff + uint64_t{i} * sizeof segment)) break;
        // Ours is a few dozen bytes; notes of other kinds are not read.
        if (segment.p_type != PT_NOTE || segment.p_filesz > 4096) continue;
        std::vector<char> notes(segment.p_filesz);
        if (!readAt(fd, notes.data(), notes.size(), segment.p_offset)) break;
        const uint64_t align = segment.p_align == 8 ? 8 : 4;
        auto padded = [align](uint64_t n) { return (n + align - 1) / align * align; };
        for (uint64_t at = 0; at <= notes.size() && notes.size() - at >= sizeof(Elf64_Nhdr);) {
            Elf64_Nhdr note;
            std::memcpy(&note, notes.data() + at, sizeof note);
            const uint64_t name = at + sizeof note;
            const uint64_t desc = name + padded(note.n_namesz);
            if (note.n_namesz > notes.size() || note.n_descsz > notes.size() || desc > notes.size() ||
                note.n_descsz > notes.size() - desc)
                break;
            if (note.n_type == TARVEX_IDENTITY_NOTE_TYPE && note.n_namesz == sizeof TARVEX_IDENTITY_NOTE_NAME &&
                std::memcmp(notes.data() + name, TARVEX_IDENTITY_NOTE_NAME, sizeof TARVEX_IDENTITY_NOTE_NAME) == 0) {
                found.assign(notes.data() + desc, note.n_descsz);
                found.resize(std::strlen(found.c_str()));
                if (found.empty()) found = "empty";
                break;
            }
            at = desc + padded(note.n_descsz);
        }
    }
    if (found == kBuildIdentity) return std::nullopt;
    return "a module of another build (" + (found.empty() ? std::string("none") : found) +
           "), the program is of build " + kBuildIdentity;
}

// The names of path in the order they are looked up, pushed onto pending
// (a stack: the next one last).
void pushNames(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> names;
    for (std::size_t start = 0, end; start < path.size(); start = end + 1) {
        end = std::min(path.find('/', start), path.size());
        if (end > start) names.emplace_back(path, start, end - start);
    }
    pending.insert(pending.end(), names.rbegin(), names.rend());
}

// Opens the folder at path (absolute) one name at a time from "/",
// following links as the kernel does, and refuses it unless the folder and
// every folder that one of its names is looked up in could be changed by no
// one but root and the program's owner: whoever could write one of them
// could put another folder, and other modules, in its place. A link is
// followed only from such a folder, so only they could have made it.
// resolved is the folder's path without links.
std::optional<std::string> openSafeFolder(const std::string& path, uid_t programOwner, Descriptor& folder,
                                          std::string& resolved) {
    std::vector<std::string> pending;
    pushNames(path, pending);
    resolved = "/";
    folder.reset(systemCalls().open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    // here: the status of the folder that the next name is looked up in,
    // whose owner is checked; whether others may write it is checked
    // against the entry found in it (lookUpFault).
    struct stat here;
    struct stat st;
    if (folder.fd < 0 || systemCalls().fstat(folder.fd, &here) != 0) return errnoText();
    if (auto fault = ownerFault(here, programOwner, "the folder /")) return fault;
    for (int links = 0; !pending.empty();) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name == ".") continue;
        if (name != ".." && systemCalls().fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            if (auto fault = lookUpFault(here, st, programOwner, resolved)) return fault;
            char target[PATH_MAX];
            const ssize_t length = ::readlinkat(folder.fd, name.c_str(), target, sizeof target);
            if (length <= 0 || length == static_cast<ssize_t>(sizeof target)) return errnoText();
            if (++links > 40) {
                errno = ELOOP;
                return errnoText();
            }
            pushNames(std::string(target, static_cast<std::size_t>(length)), pending);
            if (target[0] == '/') {
                folder.reset(systemCalls().open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
                if (folder.fd < 0 || systemCalls().fstat(folder.fd, &here) != 0) return errnoText();
                resolved = "/";
            }
            continue;
        }
        // O_NOFOLLOW: a link put in the place since it was looked at is
        // not followed.
        Descriptor next(systemCalls().openat(folder.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
        if (next.fd < 0 || systemCalls().fstat(next.fd, &st) != 0) return errnoText();
        if (auto fault = lookUpFault(here, st, programOwner, resolved)) return fault;
        if (name == "..")
            resolved.erase(std::max<std::size_t>(resolved.rfind('/'), 1));
        else
            resolved += (resolved.size() > 1 ? "/" : "") + name;
        if (auto fault = ownerFault(st, programOwner, "the folder " + resolved)) return fault;
        here = st;
        folder.reset(next.release());
    }
    // The module's own folder no one else may write, sticky or not: there
    // whoever may write could put a file of root's under a module's name
    // (a hard link), which the sticky bit does not prevent.
    if ((here.st_mode & (S_IWGRP | S_IWOTH)) != 0) return writableFault("the folder " + resolved, resolved);
    return std::nullopt;
}

// The running program's folder with its trailing "/" and the owner of the
// program file; false when the kernel does not tell.
bool programFolder(std::string& folder, uid_t& owner) {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    struct stat st;
    if (length <= 0 || systemCalls().stat("/proc/self/exe", &st) != 0) return false;
    const std::string text(path, static_cast<std::size_t>(length));
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return false;
    folder = text.substr(0, slash + 1);
    owner = st.st_uid;
    return true;
}

// Opens and checks the module; the reason it cannot be used otherwise.
std::optional<std::string> openModule(const std::string& folderPath, const char* fileName, uid_t programOwner,
                                      const char* kind, LoadedModule& module) {
    Descriptor folder(-1);
    std::string resolved;
    if (auto fault = openSafeFolder(folderPath, programOwner, folder, resolved)) return fault;
    struct stat st;
    // No link as the module itself; the checks below and dlopen() all go
    // through this one descriptor, so nothing can be swapped in between.
    Descriptor file(systemCalls().openat(folder.fd, fileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (file.fd < 0 || systemCalls().fstat(file.fd, &st) != 0) return errnoText();
    if (!S_ISREG(st.st_mode)) return std::string("not a regular file");
    if (auto fault = ownershipFault(st, programOwner, "the file", resolved + "/" + fileName)) return fault;
    if (auto fault = elfFault(file.fd, static_cast<uint64_t>(st.st_size))) return fault;
    if (auto fault = identityFault(file.fd)) return fault;

    // By this process's ID rather than "self": the name stays valid for a
    // debugger or symbolizer that reads the loaded object's file.
    const std::string byDescriptor = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(file.fd);
    ::dlerror();
    void* handle = ::dlopen(byDescriptor.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = ::dlerror();
        std::string reason = text != nullptr ? text : "cannot be loaded";
        // dlerror() starts with the descriptor's name, which says nothing.
        if (reason.compare(0, byDescriptor.size() + 2, byDescriptor + ": ") == 0)
            reason.erase(0, byDescriptor.size() + 2);
        return reason;
    }
    // The loaded object keeps its descriptor's name; the descriptor stays
    // open for as long as the module is loaded (for good).
    file.fd = -1;
    auto entry = reinterpret_cast<ModuleEntryPoint>(::dlsym(handle, kModuleEntryPoint));
    const ModuleDeclaration* declaration = entry ? entry() : nullptr;
    if (declaration == nullptr) return std::string("no module declaration (") + kModuleEntryPoint + ")";
    if (declaration->interfaceVersion != kModuleInterfaceVersion)
        return "module interface version " + std::to_string(declaration->interfaceVersion) + ", the program's is " +
               std::to_string(kModuleInterfaceVersion);
    if (declaration->kind == nullptr || std::strcmp(declaration->kind, kind) != 0)
        return std::string("a module of kind ") + (declaration->kind ? declaration->kind : "") +
               ", the program needs kind " + kind;
    if (declaration->buildIdentity == nullptr || std::strcmp(declaration->buildIdentity, kBuildIdentity) != 0)
        return std::string("a module of another build (") + (declaration->buildIdentity ? declaration->buildIdentity : "") +
               "), the program is of build " + kBuildIdentity;
    if (declaration->functions == nullptr) return std::string("no function table");
    module.functions = declaration->functions;
    module.failed = false;
    return std::nullopt;
}

}  // namespace

void setModuleReportJob(int job) { reportJob() = job; }

std::optional<std::string> moduleFolderFault(const std::string& folder, uid_t programOwner) {
    Descriptor opened(-1);
    std::string resolved;
    return openSafeFolder(folder, programOwner, opened, resolved);
}

const void* moduleFunctions(const char* fileName, const char* kind) {
    auto& modules = loadedModules();
    auto it = modules.find(fileName);
    if (it != modules.end()) return it->second.failed ? nullptr : it->second.functions;
    // Recorded as failed before the report, which may end the process or
    // come back here through a report of its own.
    it = modules.emplace(fileName, LoadedModule{}).first;
    std::string folder;
    uid_t owner = 0;
    std::string path = fileName;
    std::optional<std::string> fault = "the program's own folder is unknown";
    if (programFolder(folder, owner)) {
        path = folder + "../lib/tarvex/" + fileName;
        fault = openModule(folder + "../lib/tarvex", fileName, owner, kind, it->second);
    }
    if (fault) {
        errorReporter.report(12, reportJob(), kLineLoadFailed, "module_loader", path, "loading", *fault);
        return nullptr;
    }
    return it->second.functions;
}

}  // namespace brenvik
