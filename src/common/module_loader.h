#pragma once
// The programs' own optional modules: shared objects built with the programs
// that carry a heavy dependency (the XML parser, the HTTP client), opened on
// the first request that needs one, so that every other request starts
// without loading or binding those libraries.
//
// A module is looked for next to the running executable only (never through
// the library search path or the working folder): first in
// "<exe dir>/../lib/tarvex/", then in "<exe dir>/". One thread per process.
namespace brenvik {

// File names of the modules.
inline constexpr const char* kXmlModuleFile = "libtarvex-xml.so";
inline constexpr const char* kHttpModuleFile = "libtarvex-http.so";

// The address of `symbol` in module `fileName`, opening the module on first
// use and keeping it open for the process. On failure the reason is reported
// once per module (M00012, fatal: it ends a command-line or GET run) and null
// is returned, now and on every later call.
void* moduleSymbol(const char* fileName, const char* symbol);

}  // namespace brenvik
