#include "common/message_catalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/printf_args.h"

namespace {

TEST(MessageCatalog, EntriesFollowTheirNumbers) {
    int onceOnly = 0, noCaller = 0, unnamed = 0;
    for (int n = 0; n < ERROR_CATALOGUE_SIZE; ++n) {
        const ErrorCatalogueEntry& e = errorCatalogue[n];
        EXPECT_EQ(e.number, n);
        ASSERT_NE(e.format, nullptr);
        ASSERT_NE(e.name, nullptr);
        EXPECT_STREQ(e.parameters, "");
        EXPECT_STREQ(e.help, "");
        onceOnly += e.onceOnly;
        noCaller += e.noCallerText;
        if (std::strcmp(e.name, "n/a") == 0) {
            ++unnamed;
            EXPECT_STREQ(e.format, "(Message number no longer used)") << n;
        } else {
            EXPECT_EQ(std::string(e.name).rfind("ERR_", 0), 0u) << n;
        }
    }
    EXPECT_EQ(onceOnly, 1);
    EXPECT_TRUE(errorCatalogue[252].onceOnly);
    EXPECT_EQ(noCaller, 4);
    for (int n : {274, 391, 471, 556}) EXPECT_TRUE(errorCatalogue[n].noCallerText) << n;
    // 0 and the 16 numbers that never had a name.
    EXPECT_EQ(unnamed, 17);
}

TEST(MessageCatalog, EntriesTheProgramsReport) {
    struct Case {
        int number;
        int kind;
        const char* name;
        const char* format;
    } cases[] = {
        {4, 6, "ERR_COMPILE_PATT", ""},
        {12, 3, "ERR_OPEN_FILE", "Can't open %s for \"%s\". Error %s"},
        {27, 0, "ERR_NO_DATABASE", "Sorry, the database (%s) is not currently available for searching"},
        {65, 11, "ERR_MAPI_FAIL", "Failed to open the MAPI DLL"},
        {267, 18, "ERR_FAIL_LOCK_FILE", "Failed to lock file %s - error: %s"},
        // Ours: the page's reason for a control file refused for what it is.
        {285, 19, "ERR_NO_MAP_CONTROL_FILE", "Cannot map the control file %s. Error %s"},
        {327, 3, "ERR_NO_BV_WATCHER", "The bv-watcher daemon/service is not running, please start it. (Sub Cluster %d)"},
        {364, 12, "ERR_MAX_ACC_LEN_DISCREPENCY", "Message no longer used"},
        {440, 17, "ERR_SESSION_INVALID",
         "You are not logged in. Please <a href=\"../cgi/signin.pl?referer=%s\">login</a> <br>%s"},
        {509, 7, "ERR_MUTEX_FAILED", "Mutex error (%s) - error code: %u"},
        {604, 11, "ERR_MAIL_CMC_NOT_SUPPORTED", "CMC is not supported any more to send mails."},
        // A named entry without a documented format shows its name; no kind: 12.
        {123, 12, "ERR_INVALID_PARSE_RULE_NO", "ERR_INVALID_PARSE_RULE_NO"},
        {1, 12, "ERR_FAILED_TO_ALLOC", "(Message number no longer used)"},
        {620, 12, "n/a", "(Message number no longer used)"},
    };
    for (const Case& c : cases) {
        const ErrorCatalogueEntry& e = errorCatalogue[c.number];
        EXPECT_EQ(e.kind, c.kind) << c.number;
        EXPECT_STREQ(e.name, c.name) << c.number;
        EXPECT_STREQ(e.format, c.format) << c.number;
    }
    for (int n : {65, 66, 67, 246, 248, 322, 536, 539, 604}) EXPECT_EQ(errorCatalogue[n].kind, 11) << n;
}

TEST(MessageCatalog, KindFlags) {
    const std::uint32_t flags[ERROR_KIND_COUNT] = {0x2, 0x11, 0x11, 0x2,  0xA,  0x2,  0xC,  0xA,
                                                   0xA, 0x2,  0x49, 0x4,  0x1,  0x61, 0x64, 0xA4,
                                                   0x84, 0x2, 0x1,  0x121, 0x22, 0x2};
    for (int k = 0; k < ERROR_KIND_COUNT; ++k) EXPECT_EQ(errorKinds[k].flags, flags[k]) << k;
    EXPECT_STREQ(errorKinds[3].header, "The following serious error has occurred:");
    EXPECT_STREQ(errorKinds[21].trailer, "Please try again in a few minutes");
    EXPECT_EQ(errorKinds[17].header, nullptr);
    EXPECT_EQ(errorKinds[17].trailer, nullptr);
}

TEST(MessageCatalog, OutsideNumbersGetASyntheticEntry) {
    for (int n : {-1, 624, 999, 100000}) {
        ErrorCatalogueEntry e = catalogueEntry(n);
        EXPECT_EQ(e.number, n);
        EXPECT_EQ(e.kind, 12);
        EXPECT_STREQ(e.format, "Unknown error number");
    }
}

// Every message that the programs report, with the argument types its
// callers pass: the formats take exactly these arguments.
using tarvex_printf::formatAcceptsArgs;
using S = const char*;
static_assert(formatAcceptsArgs<S, S, S>(errorCatalogue[12].format));
static_assert(formatAcceptsArgs<std::string>(errorCatalogue[27].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[38].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[42].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[47].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[48].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[49].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[50].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[51].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[53].format));
static_assert(formatAcceptsArgs<int, int>(errorCatalogue[54].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[55].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[56].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[65].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[66].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[67].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[72].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[73].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[74].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[83].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[104].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[127].format));
static_assert(formatAcceptsArgs<int, S>(errorCatalogue[128].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[129].format));
static_assert(formatAcceptsArgs<unsigned, S, S>(errorCatalogue[143].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[144].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[145].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[188].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[246].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[248].format));
static_assert(formatAcceptsArgs<S, S, S>(errorCatalogue[251].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[252].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[259].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[267].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[270].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[283].format));
static_assert(formatAcceptsArgs<std::string, std::string>(errorCatalogue[285].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[322].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[327].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[344].format));
static_assert(formatAcceptsArgs<int, S>(errorCatalogue[345].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[353].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[359].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[370].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[400].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[403].format));
static_assert(formatAcceptsArgs<S, S>(errorCatalogue[440].format));
static_assert(formatAcceptsArgs<S, int, S>(errorCatalogue[443].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[451].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[461].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[470].format));
static_assert(formatAcceptsArgs<S, unsigned>(errorCatalogue[509].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[512].format));
static_assert(formatAcceptsArgs<int>(errorCatalogue[513].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[536].format));
static_assert(formatAcceptsArgs<S>(errorCatalogue[539].format));
static_assert(formatAcceptsArgs<int, S>(errorCatalogue[540].format));
static_assert(formatAcceptsArgs<>(errorCatalogue[604].format));
// The check itself refuses what printf would misread.
static_assert(!formatAcceptsArgs<int>(errorCatalogue[27].format));
static_assert(!formatAcceptsArgs<S, S>(errorCatalogue[27].format));
static_assert(!formatAcceptsArgs<long>(errorCatalogue[327].format));
static_assert(formatAcceptsArgs<long>("%ld"));
static_assert(!formatAcceptsArgs<int>("%n"));
static_assert(formatAcceptsArgs<int, double>("%.*f %%"));

}  // namespace
