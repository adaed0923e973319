#include "security/bv_xmlhelper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "common/bv_errs.h"
#include "security/bv_saxwriter.h"
#include "security/bv_security_constants.h"
#include "security/bv_xmlquick.h"
#include "support/http_test_server.h"
#include "support/session_files.h"
#include "support/temp_dir.h"

using bvparser_internal::bv_SaxWriter;
using bvparser_internal::bv_XmlHandle;
using bvparser_internal::bv_XMLHelper;
using tarvex_test::readFile;
using tarvex_test::TempDir;
using tarvex_test::writeFile;

namespace {

// A session file in the plain written form, which the quick reader takes.
std::string plainSessionText() {
    return tarvex_test::sessionFileXml(tarvex_test::userSession(20, {{10, 10, {"SwissProt"}}}));
}

// An installation's config/ (with the shipped schema) beside sessions/.
class XmlHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.file("config/tarvex_security_1_0.xsd"),
                  readFile(std::string(TARVEX_SOURCE_DIR) + "/config/tarvex_security_1_0.xsd"));
        std::filesystem::create_directories(dir.file("sessions"));
    }
    std::string session(const std::string& name) { return dir.file("sessions/" + name); }
    std::string wrap(const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<bvs:security_session xmlns:bvs=\"" + brenvik::securityNamespaceURI() + "\">\n" + body +
               "</bvs:security_session>\n";
    }
    bool parse(bv_XMLHelper& h, const std::string& name, const std::string& content) {
        writeFile(session(name), content);
        return h.parseFile(session(name), brenvik::securitySchemaLocation()).ok;
    }
    bool hasMessage(const brenvik::bv_errs& e, int number, const std::string& part = "") {
        for (int i = 1; i <= e.getNumberOfErrors(); ++i)
            if (e.getErrorNumber(i) == number && e.getErrorString(i).find(part) != std::string::npos) return true;
        return false;
    }
    TempDir dir{"xmlhelper"};
};

TEST_F(XmlHelperTest, BuildSaveParseValidateAndReadBack) {
    brenvik::bv_errs errs;
    {
        bv_XMLHelper h(&errs, true, false);
        bv_XmlHandle root = h.createRootNS("security_session", brenvik::securityNamespaceURI(), "bvs",
                                             brenvik::securitySchemaLocation(), "1", "1");
        ASSERT_TRUE(root);
        bv_XmlHandle data = h.addChild(root, "bvs:session_data");
        h.setText(h.addChild(data, "bvs:fullUserName"), "J\xc3\xbcrgen <&> \"x\"");
        h.setInt(h.addChild(data, "bvs:userID"), -42);
        h.setBool(h.addChild(data, "bvs:verifyAddress"), true);
        h.addChild(data, "bvs:custom_parameters");
        bv_XmlHandle tasks = h.addChild(data, "bvs:permitted_tasks");
        bv_XmlHandle task = h.addChild(tasks, "bvs:task");
        h.setDouble(h.addChild(task, "bvs:type"), 2.5, 6);
        h.setInt64(h.addChild(task, "bvs:task_id"), -9000000000LL);
        ASSERT_TRUE(h.saveFile(session("s1")));
    }
    ASSERT_TRUE(errs.isValid()) << errs.getLastErrorString();
    std::string text = readFile(session("s1"));
    EXPECT_NE(text.find("\r\n"), std::string::npos);
    EXPECT_NE(text.find("<bvs:type>2.500000</bvs:type>"), std::string::npos) << text;
    EXPECT_NE(text.find("majorVersion=\"1\""), std::string::npos);
    EXPECT_NE(text.find("xsi:schemaLocation=\"" + brenvik::securitySchemaLocation() + "\""), std::string::npos);
    // Nothing but the saved file is left in the folder.
    int files = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.file("sessions"))) (void)entry, ++files;
    EXPECT_EQ(files, 1);

    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(h.parseFile(session("s1"), brenvik::securitySchemaLocation())) << errs.getLastErrorString();
    bv_XmlHandle root = h.getRootElement();
    ASSERT_TRUE(root);
    bv_XmlHandle data = h.getChildElement(root, "bvs:session_data", 0);
    ASSERT_TRUE(data);
    EXPECT_EQ(h.getString(h.getChildElement(data, "bvs:fullUserName", 0)), "J\xc3\xbcrgen <&> \"x\"");
    EXPECT_EQ(h.getInt(h.getChildElement(data, "bvs:userID", 0)), -42);
    EXPECT_TRUE(h.getBool(h.getChildElement(data, "bvs:verifyAddress", 0)));
    bv_XmlHandle task = h.getChildElement(h.getChildElement(data, "bvs:permitted_tasks", 0), "bvs:task", 0);
    EXPECT_EQ(h.getInt64(h.getChildElement(task, "bvs:task_id", 0)), -9000000000LL);
    EXPECT_EQ(h.countChildElements(data, ""), 5);
    EXPECT_EQ(h.getEncoding(), "UTF-8");
    EXPECT_TRUE(h.isOK());
}

TEST_F(XmlHelperTest, SchemaViolationsAreRecordedWithTheirPosition) {
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    EXPECT_FALSE(parse(h, "bad",
                       wrap("<bvs:session_data>\n  <bvs:nonsense>1</bvs:nonsense>\n</bvs:session_data>\n")));
    EXPECT_FALSE(h.isOK());
    ASSERT_GE(errs.getNumberOfErrors(), 1);
    EXPECT_EQ(errs.getErrorNumber(1), 2049);
    std::string text = errs.getErrorString(1);
    EXPECT_NE(text.find(session("bad") + ": line 4, col "), std::string::npos) << text;
    EXPECT_NE(text.find(" - "), std::string::npos) << text;

    brenvik::bv_errs errs2;
    bv_XMLHelper h2(&errs2, true, false);
    EXPECT_FALSE(parse(h2, "malformed", "<bvs:security_session><unclosed>"));
    EXPECT_TRUE(hasMessage(errs2, 2049));
}

// Whole numbers are read as a stream reads them: white space and a sign
// first, digits up to the first other character, 0 when nothing is read or
// the value does not fit.
TEST_F(XmlHelperTest, Int64Values) {
    const struct {
        const char* text;
        int64_t value;
    } cases[] = {{"42", 42},
                 {" \t\n 42", 42},
                 {"+42", 42},
                 {"-42", -42},
                 {"0042abc", 42},
                 {"12 34", 12},
                 {"9223372036854775807", INT64_MAX},
                 {"-9223372036854775808", INT64_MIN},
                 {"9223372036854775808", 0},
                 {"-99999999999999999999", 0},
                 {"- 5", 0},
                 {"+", 0},
                 {"0x10", 0},
                 {"x1", 0},
                 {"", 0}};
    std::string body = "<bvs:session_data>";
    for (const auto& c : cases) body += std::string("<bvs:userID>") + c.text + "</bvs:userID>";
    body += "</bvs:session_data>";
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(parse(h, "numbers", wrap(body))) << errs.getLastErrorString();
    bv_XmlHandle data = h.getChildElement(h.getRootElement(), "bvs:session_data", 0);
    ASSERT_TRUE(data);
    int index = 0;
    for (const auto& c : cases) {
        bv_XmlHandle e = h.getChildElement(data, "bvs:userID", index++);
        ASSERT_TRUE(e) << c.text;
        EXPECT_EQ(h.getInt64(e), c.value) << c.text;
    }
}

TEST_F(XmlHelperTest, NavigationAndValueGetters) {
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(parse(h, "nav",
                      wrap("<bvs:session_data><bvs:userName>YES</bvs:userName><bvs:userID>1</bvs:userID>"
                           "<bvs:userType>on</bvs:userType><bvs:timeout></bvs:timeout>"
                           "<bvs:lastAccessed> 0.1xyz</bvs:lastAccessed><bvs:ipAddress>99999999999</bvs:ipAddress>"
                           "</bvs:session_data>")))
        << errs.getLastErrorString();
    bv_XmlHandle data = h.getChildElement(h.getRootElement(), "bvs:session_data", 0);
    ASSERT_TRUE(data);
    auto child = [&](const char* n) { return h.getChildElement(data, n, 0); };
    EXPECT_TRUE(h.getBool(child("bvs:userName")));
    EXPECT_TRUE(h.getBool(child("bvs:userID")));
    EXPECT_FALSE(h.getBool(child("bvs:userType")));
    EXPECT_FALSE(h.getBool(child("bvs:timeout")));
    EXPECT_EQ(h.getInt(child("bvs:timeout")), 0);
    EXPECT_EQ(h.getInt(child("bvs:userType")), 0);
    EXPECT_EQ(h.getInt(child("bvs:ipAddress")), INT32_MAX);
    EXPECT_EQ(h.getInt64(child("bvs:ipAddress")), 99999999999LL);
    EXPECT_EQ(h.getDouble(child("bvs:lastAccessed")), static_cast<double>(0.1f));
    EXPECT_EQ(h.getInt64(child("bvs:userType")), 0);
    ASSERT_TRUE(errs.isValid());

    EXPECT_EQ(h.countChildElements(bv_XmlHandle(), "x"), -1);
    EXPECT_FALSE(h.getChildElement(bv_XmlHandle(), "x", 0));
    EXPECT_EQ(errs.getNumberOfErrors(), 0);
    EXPECT_FALSE(h.hasChildElement(data, "bvs:userID", 1));
    EXPECT_EQ(errs.getNumberOfErrors(), 0);
    EXPECT_FALSE(h.getChildElement(data, "bvs:userID", 1));
    EXPECT_EQ(errs.getLastError(), 2055);
    EXPECT_EQ(errs.getLastErrorString(), "Cannot find bvs:userID element");
    // The prefix is part of the name.
    EXPECT_FALSE(h.hasChildElement(data, "userID", 0));
}

TEST_F(XmlHelperTest, RootOfNothingIsRecorded) {
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    EXPECT_FALSE(h.getRootElement());
    EXPECT_EQ(errs.getLastError(), 2050);
}

TEST_F(XmlHelperTest, HostileDocumentsReadNothingOutside) {
    writeFile(dir.file("secret.txt"), "TOPSECRET");
    struct Case {
        const char* what;
        std::string content;
    };
    const std::string ns = brenvik::securityNamespaceURI();
    const Case cases[] = {
        {"external entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE bvs:security_session [<!ENTITY x SYSTEM \"file://" +
             dir.file("secret.txt") + "\">]>\n<bvs:security_session xmlns:bvs=\"" + ns +
             "\"><bvs:session_data><bvs:userName>&x;</bvs:userName></bvs:session_data></bvs:security_session>"},
        {"external DTD",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/evil.dtd\">\n<bvs:security_session "
         "xmlns:bvs=\"" + ns + "\"/>"},
        {"entity expansion",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
         "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
         "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]>\n<bvs:security_session xmlns:bvs=\"" + ns +
             "\"><bvs:session_data><bvs:userName>&e;&e;&e;</bvs:userName></bvs:session_data></bvs:security_session>"},
        {"foreign schema",
         "<?xml version=\"1.0\"?>\n<r xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xsi:noNamespaceSchemaLocation=\"http://127.0.0.1:9/evil.xsd\"/>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        brenvik::bv_errs errs;
        bv_XMLHelper h(&errs, true, false);
        writeFile(session("hostile"), c.content);
        EXPECT_FALSE(h.parseFile(session("hostile"), brenvik::securitySchemaLocation()));
        EXPECT_FALSE(errs.isValid());
        for (int i = 1; i <= errs.getNumberOfErrors(); ++i)
            EXPECT_EQ(errs.getErrorString(i).find("TOPSECRET"), std::string::npos);
        bv_XmlHandle root = h.getRootElement();
        if (root) {
            bv_XmlHandle data = h.getChildElement(root, "bvs:session_data", 0);
            bv_XmlHandle user = data ? h.getChildElement(data, "bvs:userName", 0) : bv_XmlHandle();
            if (user) {
                EXPECT_EQ(h.getString(user).find("TOPSECRET"), std::string::npos);
            }
        }
    }
}

TEST_F(XmlHelperTest, NothingIsFetchedOverTheNetwork) {
    tarvex_test::HttpTestServer server([](const tarvex_test::HttpRequest&) {
        return tarvex_test::httpReply(200, "OK", "<!ENTITY x \"FETCHED\">");
    });
    const std::string remote = server.baseUrl() + "/evil";
    const std::string ns = brenvik::securityNamespaceURI();
    const std::string documents[] = {
        "<?xml version=\"1.0\"?>\n<!DOCTYPE bvs:security_session SYSTEM \"" + remote + ".dtd\">\n"
        "<bvs:security_session xmlns:bvs=\"" + ns + "\"/>",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY x SYSTEM \"" + remote + ".txt\">]>\n"
        "<bvs:security_session xmlns:bvs=\"" + ns + "\"><bvs:session_data><bvs:userName>&x;</bvs:userName>"
        "</bvs:session_data></bvs:security_session>",
        "<?xml version=\"1.0\"?>\n<bvs:security_session xmlns:bvs=\"" + ns + "\" xmlns:o=\"urn:other\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"urn:other " + remote +
            ".xsd\"><o:x/></bvs:security_session>",
        "<?xml version=\"1.0\"?>\n<r xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:noNamespaceSchemaLocation=\"" + remote + ".xsd\"/>",
    };
    for (const std::string& content : documents) {
        SCOPED_TRACE(content);
        brenvik::bv_errs errs;
        bv_XMLHelper h(&errs, true, false);
        EXPECT_FALSE(parse(h, "remote", content));
        // The schema named by the caller is still the one that validates.
        EXPECT_FALSE(errs.isValid());
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(XmlHelperTest, ManyCharacterReferencesAreNoExpansionAttack) {
    std::string value;
    for (int i = 0; i < 5000; ++i) value += "&amp;&lt;&#65;";
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(parse(h, "big", wrap("<bvs:session_data><bvs:userName>" + value +
                                     "</bvs:userName></bvs:session_data>")))
        << errs.getLastErrorString();
    bv_XmlHandle data = h.getChildElement(h.getRootElement(), "bvs:session_data", 0);
    EXPECT_EQ(h.getString(h.getChildElement(data, "bvs:userName", 0)).size(), 15000u);
}

TEST_F(XmlHelperTest, FailedSaveLeavesNoFile) {
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    h.createRootNS("security_session", brenvik::securityNamespaceURI(), "bvs", "", "1", "1");
    const bvparser_internal::bv_XmlFileResult saved = h.saveFile(dir.file("missing/folder/s"));
    EXPECT_FALSE(saved);
    EXPECT_EQ(saved.systemError, static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(errs.isValid());
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// A failed parse names the system's code when the file could not be opened,
// and none when it was read but is not usable (in either reader). A link in
// the file's last component cannot be opened unless links are followed, in
// either reader; a planted FIFO ends the parse instead of stopping it.
TEST_F(XmlHelperTest, ParseResultsTellAFileNotOpenedFromAFileNotUsable) {
    writeFile(session("plain"), plainSessionText());
    // A comment leaves the file to the module.
    std::string moduleForm = plainSessionText();
    moduleForm.insert(moduleForm.find("<bvs:"), "<!-- module -->\r\n");
    writeFile(session("module"), moduleForm);
    writeFile(session("malformed"), "<bvs:security_session><unclosed>");
    writeFile(session("invalid"), wrap("<bvs:session_data><bvs:colour>red</bvs:colour></bvs:session_data>\n"));
    ASSERT_EQ(::symlink("plain", session("link-to-plain").c_str()), 0);
    ASSERT_EQ(::symlink("module", session("link-to-module").c_str()), 0);
    ASSERT_EQ(::mkfifo(session("fifo").c_str(), 0600), 0);
    const struct {
        const char* file;
        bool followLink;
        bool ok;
        uint32_t systemError;
        const char* message;  // part of the last error when not ok
    } cases[] = {
        {"plain", false, true, 0, ""},
        {"module", false, true, 0, ""},
        {"malformed", false, false, 0, "sessions/malformed: line 1"},
        {"invalid", false, false, 0, "sessions/invalid: line 3"},
        {"missing", false, false, static_cast<uint32_t>(ENOENT), "sessions/missing: No such file or directory"},
        {"link-to-plain", false, false, static_cast<uint32_t>(ELOOP), "link-to-plain: Too many levels of symbolic links"},
        {"link-to-module", false, false, static_cast<uint32_t>(ELOOP), "link-to-module: Too many levels of symbolic"},
        {"link-to-plain", true, true, 0, ""},
        {"link-to-module", true, true, 0, ""},
        {"fifo", false, false, 0, "sessions/fifo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.followLink ? " (links followed)" : ""));
        brenvik::bv_errs errs;
        bv_XMLHelper h(&errs, true, false);
        const bvparser_internal::bv_XmlFileResult parsed =
            h.parseFile(session(c.file), brenvik::securitySchemaLocation(), c.followLink);
        EXPECT_EQ(parsed.ok, c.ok);
        EXPECT_EQ(parsed.systemError, c.systemError);
        EXPECT_EQ(errs.isValid(), c.ok) << errs.getLastErrorString();
        if (!c.ok) {
            EXPECT_NE(errs.getLastErrorString().find(c.message), std::string::npos) << errs.getLastErrorString();
        } else {
            bv_XmlHandle data = h.getChildElement(h.getRootElement(), "bvs:session_data", 0);
            EXPECT_EQ(h.getInt(h.getChildElement(data, "bvs:userID", 0)), 20) << errs.getLastErrorString();
        }
    }
}

TEST_F(XmlHelperTest, HelpersShareOneInitialisation) {
    // Overlapping lifetimes, then a fresh start after the last one ended.
    for (int round = 0; round < 2; ++round) {
        brenvik::bv_errs errs;
        auto a = std::make_unique<bv_XMLHelper>(&errs, true, false);
        auto b = std::make_unique<bv_XMLHelper>(&errs, true, false);
        a.reset();
        ASSERT_TRUE(b->createRoot("r", ""));
        EXPECT_TRUE(b->saveFile(dir.file("plain.xml")));
        b.reset();
        EXPECT_TRUE(errs.isValid()) << errs.getLastErrorString();
    }
    EXPECT_NE(readFile(dir.file("plain.xml")).find("<r/>"), std::string::npos);
}

TEST_F(XmlHelperTest, StreamingWriterWritesTheSameCalls) {
    brenvik::bv_errs errs;
    {
        bv_SaxWriter w(&errs);
        ASSERT_TRUE(w.open(dir.file("sax.xml")));
        bv_XmlHandle root = w.createRootNS("security_session", brenvik::securityNamespaceURI(), "bvs",
                                             brenvik::securitySchemaLocation(), "1", "1");
        bv_XmlHandle data = w.addChild(root, "bvs:session_data");
        w.setText(w.addChild(data, "bvs:userName"), "a<b");
        w.setAttribute(data, "bvs:userID", "7", false);
        bv_XmlHandle list = w.addChild(data, "bvs:custom_parameters");
        w.setAttribute(list, "n", "v", true);
        w.addChild(data, "bvs:permitted_tasks");
        w.setAttribute(list, "late", "v", true);  // its start tag is long closed
        EXPECT_FALSE(w.isOK());
        EXPECT_FALSE(w.close());
    }
    std::string text = readFile(dir.file("sax.xml"));
    EXPECT_NE(text.find("<bvs:userName>a&lt;b</bvs:userName>"), std::string::npos) << text;
    EXPECT_NE(text.find("<bvs:userID>7</bvs:userID>"), std::string::npos) << text;
    EXPECT_NE(text.find("<bvs:custom_parameters n=\"v\"/>"), std::string::npos) << text;
    EXPECT_EQ(text.find("late"), std::string::npos);
    EXPECT_EQ(errs.getLastError(), 2049);
}

}  // namespace

namespace {

// A document the quick reader read is read-only: each edit and the save is
// refused (2049) and changes nothing, and its handles stay good for reading.
// A new root starts a document of the module, which takes edits.
TEST_F(XmlHelperTest, AQuickReadDocumentIsReadOnly) {
    writeFile(session("plain"), plainSessionText());
    ASSERT_NE(bvparser_internal::bv_XmlQuickDocument::read(session("plain"), brenvik::securitySchemaLocation()),
              nullptr);
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(h.parseFile(session("plain"), brenvik::securitySchemaLocation()));
    bv_XmlHandle data = h.getChildElement(h.getRootElement(), "bvs:session_data", 0);
    bv_XmlHandle user = h.getChildElement(data, "bvs:userName", 0);
    ASSERT_TRUE(user);
    const int children = h.countChildElements(data, "");
    const struct {
        const char* what;
        std::function<void()> edit;
    } edits[] = {
        {"text", [&] { h.setText(user, "-edited"); }},
        {"attribute", [&] { h.setAttribute(user, "a", "v", true); }},
        {"child", [&] { EXPECT_FALSE(h.addChild(data, "bvs:userID")); }},
        {"save", [&] { EXPECT_FALSE(h.saveFile(session("saved"))); }},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(e.what);
        errs.clearAllErrors();
        e.edit();
        EXPECT_EQ(errs.getNumberOfErrors(), 1);
        EXPECT_TRUE(hasMessage(errs, 2049, "the document is read-only")) << errs.getLastErrorString();
    }
    errs.clearAllErrors();
    EXPECT_EQ(h.getString(user), "user20");
    EXPECT_EQ(h.countChildElements(data, ""), children);
    EXPECT_FALSE(std::filesystem::exists(session("saved")));
    EXPECT_TRUE(errs.isValid()) << errs.getLastErrorString();

    const bv_XmlHandle root = h.createRoot("r", "");
    ASSERT_TRUE(root);
    h.setText(h.addChild(root, "child"), "built");
    EXPECT_TRUE(h.saveFile(dir.file("built.xml")));
    EXPECT_TRUE(errs.isValid()) << errs.getLastErrorString();
    EXPECT_NE(readFile(dir.file("built.xml")).find("<child>built</child>"), std::string::npos);
}

// A handle is good only for the document it came from: one of another
// helper, of a document parsed or built over since, or of a helper gone is
// refused (2049), never followed.
TEST_F(XmlHelperTest, HandlesOfAnotherDocumentAreRefused) {
    writeFile(session("plain"), plainSessionText());
    writeFile(session("module"), wrap("<!-- read by the module -->\n<bvs:session_data><bvs:userName>m</bvs:userName>"
                                      "</bvs:session_data>\n"));
    struct Case {
        const char* name;
        const char* file;  // null: a document built by the helper
        const char* replacedBy;  // what the helper does after the handle was taken; null: another helper
    };
    const Case cases[] = {
        {"quick read, another helper", "plain", nullptr},
        {"module read, another helper", "module", nullptr},
        {"built, another helper", nullptr, nullptr},
        {"quick read, parsed again", "plain", "parse"},
        {"module read, parsed again", "module", "parse"},
        {"quick read, new root", "plain", "root"},
        {"built, new root", nullptr, "root"},
        {"helper gone", "module", "gone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        brenvik::bv_errs errs;
        auto first = std::make_unique<bv_XMLHelper>(&errs, true, false);
        bv_XmlHandle stale;
        if (c.file) {
            ASSERT_TRUE(first->parseFile(session(c.file), brenvik::securitySchemaLocation()));
            stale = first->getChildElement(first->getRootElement(), "bvs:session_data", 0);
        } else {
            stale = first->addChild(first->createRoot("r", ""), "child");
        }
        ASSERT_TRUE(stale);
        std::unique_ptr<bv_XMLHelper> other;
        bv_XMLHelper* user = first.get();
        if (c.replacedBy == nullptr || std::string(c.replacedBy) == "gone") {
            other = std::make_unique<bv_XMLHelper>(&errs, true, false);
            ASSERT_TRUE(other->parseFile(session("module"), brenvik::securitySchemaLocation()));
            user = other.get();
            if (c.replacedBy) first.reset();
        } else if (std::string(c.replacedBy) == "parse") {
            ASSERT_TRUE(first->parseFile(session(c.file), brenvik::securitySchemaLocation()));
        } else {
            ASSERT_TRUE(first->createRoot("r", ""));
        }
        ASSERT_TRUE(errs.isValid()) << errs.getLastErrorString();
        EXPECT_FALSE(user->getChildElement(stale, "", 0));
        EXPECT_FALSE(user->getNextSiblingElement(stale, ""));
        EXPECT_EQ(user->countChildElements(stale, ""), -1);
        EXPECT_FALSE(user->hasChildElement(stale, "", 0));
        EXPECT_EQ(user->getString(stale), "");
        EXPECT_FALSE(user->addChild(stale, "bvs:userID"));
        user->setText(stale, "x");
        user->setAttribute(stale, "a", "v", true);
        EXPECT_FALSE(errs.isValid());
        EXPECT_TRUE(hasMessage(errs, 2049, "an element handle of another document"));
    }
}

}  // namespace
