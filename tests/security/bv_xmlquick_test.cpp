// The quick reader of the security options file: every file it takes is
// answered exactly as the XML module answers it (same elements, texts and
// messages), and every file outside its plain form is left to the module.
#include "security/bv_xmlquick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/bv_errs.h"
#include "security/bv_security_constants.h"
#include "security/bv_xmlhelper.h"
#include "support/session_files.h"
#include "support/temp_dir.h"

using bvparser_internal::bv_XmlHandle;
using bvparser_internal::bv_XMLHelper;
using bvparser_internal::bv_XmlQuickDocument;

namespace {

const char* const kOptionNames[] = {
    "securityEnabled",   "sessionTimeout",         "defaultPasswordExpiryTime", "minimumPasswordLength",
    "useSessionCookies", "verifySessionIPAddress", "vostrelAppServerURL",       "vostrelDatabaseName",
    "vostrelOracleServerName", "logLevel",         "logFileName",               "noSuchOption",
};

// Everything a reader of the file can learn through the helper.
std::string answers(const std::string& path, bool createSchemaInfo) {
    brenvik::bv_errs errs;
    std::string out;
    {
        bv_XMLHelper helper(&errs, true, createSchemaInfo);
        out += "parsed=" + std::to_string(helper.parseFile(path, brenvik::securitySchemaLocation()).ok);
        bv_XmlHandle root = helper.getRootElement();
        out += " root=" + std::to_string(static_cast<bool>(root));
        if (root) {
            out += " rootChildren=" + std::to_string(helper.countChildElements(root, ""));
            for (const std::string prefix : {"bvs:", "x:"}) {
                bv_XmlHandle options = helper.getChildElement(root, prefix + "options", 0);
                if (!options) continue;
                out += "\n" + prefix + "options children=" + std::to_string(helper.countChildElements(options, "")) +
                       " text=[" + helper.getString(options) + "]";
                for (const char* name : kOptionNames) {
                    bv_XmlHandle e = helper.getChildElement(options, prefix + name, 0);
                    out += "\n  " + std::string(name) + (e ? "=[" + helper.getString(e) + "]" : " missing") +
                           " second=" + std::to_string(helper.hasChildElement(options, prefix + name, 1));
                    if (e) out += " bool=" + std::to_string(helper.getBool(e)) + " int=" + std::to_string(helper.getInt(e));
                }
            }
        }
        out += "\nok=" + std::to_string(helper.isOK());
    }
    for (int i = 1; i <= errs.getNumberOfErrors(); ++i)
        out += "\nmessage " + std::to_string(errs.getErrorNumber(i)) + ": " + errs.getErrorString(i);
    return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

TEST(XmlQuickReader, AnswersAsTheModuleDoesAndLeavesOtherFilesToIt) {
    tarvex_test::SecurityOptionsSpec spec;
    spec.securityEnabled = "false";
    const std::string plain = tarvex_test::securityOptionsXml(spec);
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    tarvex_test::SecurityOptionsSpec omitting = spec;
    omitting.omit = {"logLevel", "vostrelDatabaseName"};
    const std::string rootStart = plain.substr(declaration.size(), plain.find('>', declaration.size()) + 1 -
                                                                          declaration.size());
    const std::string bareRoot = rootStart + "\n</bvs:security_options>\n";

    struct Case {
        const char* name;
        std::string xml;
        bool quick;
        bool schemaChanged = false;
    };
    const std::vector<Case> cases = {
        {"as written", plain, true},
        {"no declaration", plain.substr(declaration.size()), true},
        {"options left out", tarvex_test::securityOptionsXml(omitting), true},
        {"empty element", replaced(plain, "<bvs:logLevel>3</bvs:logLevel>", "<bvs:logLevel/>"), true},
        {"another prefix", replaced(replaced(plain, "bvs:", "x:"), "xmlns:bvs", "xmlns:x"), true},
        {"spaces, tab and > in a value",
         replaced(plain, ">vostrel</bvs:vostrelDatabaseName>", "> a>b \t</bvs:vostrelDatabaseName>"), true},
        {"single quotes and spaces in tags",
         replaced(replaced(plain, "majorVersion=\"1\"", "majorVersion = '1'"), "</bvs:options>", "</bvs:options  >"),
         true},
        {"empty options", declaration + rootStart + "<bvs:options></bvs:options></bvs:security_options>", true},
        {"no options", declaration + bareRoot, true},
        // Line ends as XML reads them: the server writes CR LF.
        {"CR LF", replaced(plain, "\n", "\r\n"), true},
        {"lone CR", replaced(plain, "\n", "\r"), true},
        {"CR in a value and in the root's attributes",
         replaced(replaced(plain, ">vostrel</bvs:vostrelDatabaseName>", "> a\r\r\nb\r</bvs:vostrelDatabaseName>"),
                  " majorVersion", "\r\n majorVersion"),
         true},
        {"schema-instance namespace declared, not used",
         replaced(plain, "majorVersion=", "xmlns:i=\"http://www.w3.org/2001/XMLSchema-instance\" majorVersion="), true},
        // Left to the module.
        {"comment", replaced(plain, "<bvs:options>", "<bvs:options><!-- c -->"), false},
        {"entity", replaced(plain, "vostrel</bvs:vostrelDatabaseName>", "a&amp;b</bvs:vostrelDatabaseName>"), false},
        {"non-ASCII value", replaced(plain, ">vostrel</bvs:vostrelDatabaseName>", ">v\xC3\xA9</bvs:vostrelDatabaseName>"),
         false},
        {"unknown element", replaced(plain, "<bvs:options>", "<bvs:options><bvs:colour>red</bvs:colour>"), false},
        {"option twice", replaced(plain, "<bvs:options>", "<bvs:options><bvs:logLevel>4</bvs:logLevel>"), false},
        {"other namespace", replaced(plain, "tarvex_security_1_0\" majorVersion", "other\" majorVersion"), false},
        {"text in options", replaced(plain, "<bvs:options>", "<bvs:options>stray"), false},
        {"element in a value", replaced(plain, ">3</bvs:logLevel>", "><bvs:logLevel>3</bvs:logLevel></bvs:logLevel>"),
         false},
        {"unclosed", replaced(plain, "</bvs:options>", ""), false},
        {"default namespace", replaced(plain, "majorVersion=", "xmlns=\"urn:x\" majorVersion="), false},
        {"other attribute", replaced(plain, "majorVersion=", "colour=\"red\" majorVersion="), false},
        // Bindings the module refuses or judges itself, whatever the rest.
        {"reserved XML namespace bound",
         replaced(plain, "majorVersion=", "xmlns:y=\"http://www.w3.org/XML/1998/namespace\" majorVersion="), false},
        {"reserved xmlns namespace bound",
         replaced(plain, "majorVersion=", "xmlns:y=\"http://www.w3.org/2000/xmlns/\" majorVersion="), false},
        {"another namespace bound, not used", replaced(plain, "majorVersion=", "xmlns:o=\"urn:other\" majorVersion="),
         false},
        {"reserved prefix", replaced(replaced(plain, "bvs:", "xmlx:"), "xmlns:bvs", "xmlns:xmlx"), false},
        {"declaration in another form", replaced(plain, "encoding=\"UTF-8\"", "encoding=\"utf-8\""), false},
        {"schema changed beside the file", plain, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarvex_test::TempDir dir("xmlquick");
        tarvex_test::installSecuritySchema(dir.file("config"));
        if (c.schemaChanged)
            tarvex_test::writeFile(dir.file("config/tarvex_security_1_0.xsd"),
                                   tarvex_test::readFile(dir.file("config/tarvex_security_1_0.xsd")) + "\n");
        const std::string path = dir.file("config/security_options.xml");
        tarvex_test::writeFile(path, c.xml);

        EXPECT_EQ(bv_XmlQuickDocument::read(path, brenvik::securitySchemaLocation()) != nullptr, c.quick);
        // A helper that asks for schema information always goes to the module.
        EXPECT_EQ(answers(path, false), answers(path, true));
    }
}

}  // namespace

namespace {

const char* const kSessionNames[] = {
    "session_data", "emailAddress", "fullUserName", "ipAddress", "lastAccessed", "securityEnabled",
    "timeout",      "userID",       "userName",     "userType",  "verifyAddress", "custom_parameters",
    "param",        "paramName",    "paramValue",   "permitted_tasks", "task",   "task_id",
    "short_desc",   "long_desc",    "task_name",    "type",      "values_array", "value",
    "noSuchElement",
};

// Every element below element, by each name and index, with its text, and
// the sibling walk from its first child.
void describe(bv_XMLHelper& helper, bv_XmlHandle element, const std::string& indent, std::string& out) {
    out += " text=[" + helper.getString(element) + "] children=" +
           std::to_string(helper.countChildElements(element, ""));
    int walked = 0;
    for (bv_XmlHandle c = helper.getChildElement(element, "", 0); c; c = helper.getNextSiblingElement(c, ""))
        ++walked;
    out += " walked=" + std::to_string(walked);
    for (const char* name : kSessionNames) {
        const std::string qualified = std::string("bvs:") + name;
        const int count = helper.countChildElements(element, qualified);
        if (count == 0) continue;
        out += "\n" + indent + name + " x" + std::to_string(count) + " beyond=" +
               std::to_string(helper.hasChildElement(element, qualified, count));
        bv_XmlHandle child = helper.getChildElement(element, qualified, 0);
        for (int i = 0; child; ++i, child = helper.getNextSiblingElement(child, qualified)) {
            out += "\n" + indent + "  [" + std::to_string(i) + "]";
            describe(helper, child, indent + "    ", out);
        }
    }
}

std::string sessionAnswers(const std::string& path, bool createSchemaInfo) {
    brenvik::bv_errs errs;
    std::string out;
    {
        bv_XMLHelper helper(&errs, true, createSchemaInfo);
        out += "parsed=" + std::to_string(helper.parseFile(path, brenvik::securitySchemaLocation()).ok);
        if (bv_XmlHandle root = helper.getRootElement()) {
            describe(helper, root, "", out);
            out += "\nmissing=" + std::to_string(static_cast<bool>(helper.getChildElement(root, "bvs:noSuchElement", 0)));
        }
        out += "\nok=" + std::to_string(helper.isOK());
    }
    for (int i = 1; i <= errs.getNumberOfErrors(); ++i)
        out += "\nmessage " + std::to_string(errs.getErrorNumber(i)) + ": " + errs.getErrorString(i);
    return out;
}

// A session file as the module's writer saves one: the command-line
// session's parameters, one custom parameter and one task.
std::string writtenByTheModule(const std::string& path) {
    brenvik::bv_errs errs;
    bv_XMLHelper helper(&errs, true, false);
    bv_XmlHandle root = helper.createRootNS("security_session", brenvik::securityNamespaceURI(), "bvs",
                                              brenvik::securitySchemaLocation(), "1", "1");
    bv_XmlHandle data = helper.addChild(root, "bvs:session_data");
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"emailAddress", "no_email_address"}, {"fullUserName", "Commandline application"},
             {"ipAddress", "UNKNOWN"}, {"lastAccessed", "0"}, {"securityEnabled", "true"}, {"timeout", "0"},
             {"userID", "3"}, {"userName", "Commandline"}, {"userType", "1"}, {"verifyAddress", "false"}})
        helper.setText(helper.addChild(data, "bvs:" + name), value);
    bv_XmlHandle param = helper.addChild(helper.addChild(data, "bvs:custom_parameters"), "bvs:param");
    helper.setText(helper.addChild(param, "bvs:paramName"), "colour");
    helper.setText(helper.addChild(param, "bvs:paramValue"), "red and blue");
    bv_XmlHandle task = helper.addChild(helper.addChild(data, "bvs:permitted_tasks"), "bvs:task");
    for (const char* name : {"task_id", "short_desc", "long_desc", "task_name", "type"})
        helper.setText(helper.addChild(task, std::string("bvs:") + name), name == std::string("type") ? "10" : "7");
    bv_XmlHandle values = helper.addChild(task, "bvs:values_array");
    for (const char* value : {"SwissProt", "NCBInr"}) helper.setText(helper.addChild(values, "bvs:value"), value);
    EXPECT_TRUE(helper.saveFile(path));
    return tarvex_test::readFile(path);
}

TEST(XmlQuickReader, ReadsSessionFilesAsTheModuleDoes) {
    tarvex_test::SessionFileSpec spec = tarvex_test::userSession(20, {{10, 10, {"SwissProt", "NCBInr"}}, {11, 4, {"5"}}});
    spec.custom = {{"colour", "red"}, {"empty", ""}};
    const std::string plain = tarvex_test::sessionFileXml(spec);
    tarvex_test::SessionFileSpec bare;
    bare.withCustomParameters = false;
    bare.withPermittedTasks = false;
    bare.params = {{"userID", "3"}};
    const std::string data = "<bvs:session_data>";
    const std::string tasksEnd = "</bvs:permitted_tasks>";

    struct Case {
        const char* name;
        std::string xml;  // empty: as the module writes it
        bool quick;
    };
    const std::vector<Case> cases = {
        {"written by the module", "", true},
        {"written by hand", plain, true},
        {"LF only", replaced(plain, "\r\n", "\n"), true},
        {"no lists", tarvex_test::sessionFileXml(bare), true},
        {"parameter twice", replaced(plain, data, data + "<bvs:userID>7</bvs:userID>"), true},
        {"empty value", replaced(plain, "<bvs:timeout>0</bvs:timeout>", "<bvs:timeout/>"), true},
        {"no session data", replaced(plain.substr(0, plain.find(data)), "\r\n", "") + "</bvs:security_session>", true},
        {"lone CR", replaced(plain, "<bvs:timeout>0", "<bvs:timeout>0\r1\r\r\n"), true},
        // Left to the module.
        {"reserved namespace bound", replaced(plain, "xmlns:bvs=", "xmlns:y=\"http://www.w3.org/2000/xmlns/\" xmlns:bvs="),
         false},
        {"entity", replaced(plain, ">red<", ">r&amp;d<"), false},
        {"non-ASCII", replaced(plain, ">red<", ">r\xC3\xA9\x64<"), false},
        {"parameter after a list", replaced(plain, tasksEnd, tasksEnd + "<bvs:userID>7</bvs:userID>"), false},
        {"lists in the other order",
         replaced(replaced(replaced(plain, "custom_parameters>", "SWAP>"), "permitted_tasks>", "custom_parameters>"),
                  "SWAP>", "permitted_tasks>"),
         false},
        {"two task lists", replaced(plain, tasksEnd, tasksEnd + "<bvs:permitted_tasks/>"), false},
        {"task field twice", replaced(plain, "<bvs:type>4</bvs:type>", "<bvs:type>4</bvs:type><bvs:type>5</bvs:type>"),
         false},
        {"unknown element", replaced(plain, data, data + "<bvs:colour>red</bvs:colour>"), false},
        {"element in a value", replaced(plain, ">red<", "><bvs:value>red</bvs:value><"), false},
        {"text in a list", replaced(plain, "<bvs:permitted_tasks>", "<bvs:permitted_tasks>stray"), false},
        {"session data twice", replaced(plain, "</bvs:security_session>",
                                        "<bvs:session_data/></bvs:security_session>"),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarvex_test::TempDir dir("xmlquick");
        tarvex_test::installSecuritySchema(dir.file("config"));
        std::filesystem::create_directories(dir.file("sessions"));
        const std::string path = dir.file("sessions/con_consoleaccessx");
        if (c.xml.empty()) {
            const std::string written = writtenByTheModule(path);
            // The form the session writer gives its files.
            EXPECT_NE(written.find("standalone=\"no\" ?>\r\n"), std::string::npos) << written;
        } else {
            tarvex_test::writeFile(path, c.xml);
        }

        EXPECT_EQ(bv_XmlQuickDocument::read(path, brenvik::securitySchemaLocation()) != nullptr, c.quick);
        const std::string quick = sessionAnswers(path, false);
        EXPECT_EQ(quick, sessionAnswers(path, true));
        if (c.quick) {
            EXPECT_EQ(quick.compare(0, 9, "parsed=1 "), 0) << quick;
        }
    }
}

}  // namespace
