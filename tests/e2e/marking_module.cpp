// A module of another build that leaves a mark as soon as any of its code
// runs: its constructor creates the file that TARVEX_TEST_MODULE_MARK names.
// It declares the XML module's kind, so that only its build identity tells
// it from the real one.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "common/build_identity.h"
#include "common/module_loader.h"

TARVEX_IDENTITY_NOTE("tarvex-another-build");

namespace {

__attribute__((constructor)) void leaveMark() {
    const char* path = std::getenv("TARVEX_TEST_MODULE_MARK");
    if (path == nullptr) return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

const int kNoTable = 0;
constexpr brenvik::ModuleDeclaration kDeclaration{brenvik::kModuleInterfaceVersion, "xml", "tarvex-another-build",
                                                  &kNoTable};

}  // namespace

extern "C" __attribute__((visibility("default"))) const brenvik::ModuleDeclaration* tarvex_module_declaration() {
    leaveMark();
    return &kDeclaration;
}
