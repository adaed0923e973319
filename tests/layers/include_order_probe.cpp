// Compiled with the include path of one library and its place in the layer
// order (TARVEX_LAYER): the folders at or below it are visible, none above
// it, and a front end sees no other front end.
#ifndef TARVEX_LAYER
#error "TARVEX_LAYER names the library's place in the order"
#endif

#if __has_include("pal/mutex.h") != (0 <= TARVEX_LAYER)
#error "pal/ seen from the wrong place"
#endif
#if __has_include("common/bv_errs.h") != (1 <= TARVEX_LAYER)
#error "common/ seen from the wrong place"
#endif
#if __has_include("http/bv_connectionsettings.h") != (2 <= TARVEX_LAYER)
#error "http/ seen from the wrong place"
#endif
#if __has_include("config/bv_options.h") != (3 <= TARVEX_LAYER)
#error "config/ seen from the wrong place"
#endif
#if __has_include("database/bv_job.h") != (4 <= TARVEX_LAYER)
#error "database/ seen from the wrong place"
#endif
#if __has_include("security/bv_session.h") != (5 <= TARVEX_LAYER)
#error "security/ seen from the wrong place"
#endif
#if __has_include("request/request_params.h") != (6 <= TARVEX_LAYER)
#error "request/ seen from the wrong place"
#endif
#if __has_include("taxfetch/taxfetch.h") != (TARVEX_LAYER == 7)
#error "taxfetch/ seen from the wrong place"
#endif
#if __has_include("seqfetch/seqfetch.h") != (TARVEX_LAYER == 8)
#error "seqfetch/ seen from the wrong place"
#endif
// Headers the build makes belong to their folder's place as well.
#if __has_include("common/build_identity.h") != (1 <= TARVEX_LAYER)
#error "common/build_identity.h seen from the wrong place"
#endif
#if __has_include("security/bv_security_schema.h") != (5 <= TARVEX_LAYER)
#error "security/bv_security_schema.h seen from the wrong place"
#endif
