#pragma once
// The programs' own optional modules: shared objects built with the programs
// that carry a heavy dependency (the XML parser, the HTTP client), opened on
// the first request that needs one, so that every other request starts
// without loading or binding those libraries.
//
// A module runs with the rights of whoever runs the program (root, on the
// command line), so it is taken only from "<program folder>/../lib/tarvex/"
// (never through the library search path, the working folder or the
// program's own folder), only when the module file is a regular file that is
// not a link, when it and every folder from it up to "/" belong to root or to
// the program file's owner and no one else may write them (a sticky folder
// above the module's own, such as /tmp, may be writable by others when the
// entry looked up in it is root's or the owner's), when its ELF
// headers fit the file (a module cut short would kill the process with
// SIGBUS instead of a report), and only when the file carries this build's
// identity, which is read from it before any of its code runs; then it must
// declare this build's interface version, kind and identity. One thread per
// process.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/build_identity.h"

namespace brenvik {

// File names of the modules.
inline constexpr const char* kXmlModuleFile = "libtarvex-xml.so";
inline constexpr const char* kHttpModuleFile = "libtarvex-http.so";

// Raised whenever the declaration or a module's table changes shape.
inline constexpr uint32_t kModuleInterfaceVersion = 3;

// What a module hands over through its one entry point. interfaceVersion
// stays the first member in every version, so that any module's can be read.
struct ModuleDeclaration {
    uint32_t interfaceVersion;
    const char* kind;           // the table's kKind
    const char* buildIdentity;  // kBuildIdentity of the module's build
    const void* functions;      // the kind's table
};
using ModuleEntryPoint = const ModuleDeclaration* (*)();
inline constexpr const char* kModuleEntryPoint = "tarvex_module_declaration";

// The declaration a module of this build makes for its table.
template <class Table>
constexpr ModuleDeclaration declareModule(const Table& functions) {
    return ModuleDeclaration{kModuleInterfaceVersion, Table::kKind, kBuildIdentity, &functions};
}

// The function table of module fileName, which must be of kind, opening and
// checking the module on first use and keeping it for the process. On
// failure the reason is reported once per module (M00012, fatal: it ends a
// command-line or GET run) and null is returned, now and on every later call.
const void* moduleFunctions(const char* fileName, const char* kind);

// The same, typed by the table (which names its kFile and kKind).
template <class Table>
const Table* moduleTable() {
    return static_cast<const Table*>(moduleFunctions(Table::kFile, Table::kKind));
}

// Why the programs would take no module from folder (an absolute path) if
// their file belonged to programOwner, as the reason they report; nothing
// when they would. For whoever lays out an installation.
std::optional<std::string> moduleFolderFault(const std::string& folder, uid_t programOwner);

// The job number that a module failure is reported with (the tool's ID);
// -1 until a program sets it.
void setModuleReportJob(int job);

}  // namespace brenvik
