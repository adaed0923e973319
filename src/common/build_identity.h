#pragma once
// The identity of this build, which a module must carry to be loaded by the
// programs (common/module_loader.h). It is derived from what the programs'
// and the modules' binary interface depends on (cmake/BuildIdentity.cmake)
// and defined in a generated source that each program and each module
// compiles for itself, so that a module reports what it was built with.
namespace brenvik {
extern const char kBuildIdentity[];
}

// The ELF note that carries an identity in the file itself ("Tarvex", type
// 1, the identity with its ending zero), so that the programs can read it
// through the descriptor before any of the module's code runs.
#define TARVEX_IDENTITY_NOTE_NAME "Tarvex"
#define TARVEX_IDENTITY_NOTE_TYPE 1
#define TARVEX_IDENTITY_NOTE(identity)                                  \
    __asm__(".pushsection .note.tarvex.identity,\"a\",@note\n"          \
            ".balign 4\n"                                               \
            ".long 7\n"                                                 \
            ".long 2f - 1f\n"                                           \
            ".long 1\n"                                                 \
            ".asciz \"" TARVEX_IDENTITY_NOTE_NAME "\"\n"                \
            ".balign 4\n"                                               \
            "1: .asciz \"" identity "\"\n"                              \
            "2: .balign 4\n"                                            \
            ".popsection\n")
