#include "support/session_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <stdexcept>

#include "support/temp_dir.h"

namespace tarvex_test {

namespace {

const char* const kNamespace = "http://www.tarvex.example/xmlns/schema/tarvex_security_1_0";

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string element(const std::string& prefix, const std::string& name, const std::string& value) {
    return "<" + prefix + ":" + name + ">" + escape(value) + "</" + prefix + ":" + name + ">";
}

}  // namespace

SessionFileSpec userSession(int userID, std::vector<SessionTaskSpec> tasks) {
    SessionFileSpec spec;
    spec.params = {{"emailAddress", "user@example.org"},
                   {"fullUserName", "Test User"},
                   {"securityEnabled", "true"},
                   {"timeout", "0"},
                   {"userID", std::to_string(userID)},
                   {"userName", "user" + std::to_string(userID)},
                   {"userType", "1"}};
    spec.tasks = std::move(tasks);
    return spec;
}

std::string sessionFileXml(const SessionFileSpec& spec) {
    const std::string& p = spec.prefix;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n";
    xml += "<" + p + ":security_session xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:schemaLocation=\"" + std::string(kNamespace) + " ../config/tarvex_security_1_0.xsd\" xmlns:" + p +
           "=\"" + kNamespace + "\" majorVersion=\"1\" minorVersion=\"1\">\r\n";
    xml += "  <" + p + ":session_data>\r\n";
    for (const auto& [name, value] : spec.params) xml += "    " + element(p, name, value) + "\r\n";
    if (spec.withCustomParameters) {
        xml += "    <" + p + ":custom_parameters>\r\n";
        for (const auto& [name, value] : spec.custom)
            xml += "      <" + p + ":param>" + element(p, "paramName", name) + element(p, "paramValue", value) +
                   "</" + p + ":param>\r\n";
        xml += "    </" + p + ":custom_parameters>\r\n";
    }
    if (spec.withPermittedTasks) {
        xml += "    <" + p + ":permitted_tasks>\r\n";
        for (const SessionTaskSpec& task : spec.tasks) {
            xml += "      <" + p + ":task>" + element(p, "task_id", std::to_string(task.id)) +
                   element(p, "short_desc", task.name) + element(p, "long_desc", task.name) +
                   element(p, "task_name", task.name) + element(p, "type", std::to_string(task.type)) + "<" + p +
                   ":values_array>";
            for (const std::string& v : task.values) xml += element(p, "value", v);
            xml += "</" + p + ":values_array></" + p + ":task>\r\n";
        }
        xml += "    </" + p + ":permitted_tasks>\r\n";
    }
    xml += "  </" + p + ":session_data>\r\n</" + p + ":security_session>\r\n";
    return xml;
}

std::string writeSessionFile(const std::string& sessionsDir, const std::string& id, const SessionFileSpec& spec) {
    std::string path = sessionsDir + "/" + id;
    writeFile(path, sessionFileXml(spec));
    return path;
}

std::string securityOptionsXml(const SecurityOptionsSpec& spec) {
    const std::pair<const char*, std::string> options[] = {
        {"securityEnabled", spec.securityEnabled},
        {"sessionTimeout", "21600"},
        {"defaultPasswordExpiryTime", "365"},
        {"minimumPasswordLength", "5"},
        {"useSessionCookies", "false"},
        {"verifySessionIPAddress", "false"},
        {"vostrelAppServerURL", spec.appServerURL},
        {"vostrelDatabaseName", "vostrel"},
        {"vostrelOracleServerName", "vostrel"},
        {"logLevel", spec.logLevel},
        {"logFileName", spec.logFileName},
    };
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<bvs:security_options xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:schemaLocation=\"" + std::string(kNamespace) + " ../config/tarvex_security_1_0.xsd\" xmlns:bvs=\"" +
           kNamespace + "\" majorVersion=\"1\" minorVersion=\"1\">\n  <bvs:options>\n";
    for (const auto& [name, value] : options) {
        bool omitted = false;
        for (const std::string& o : spec.omit) omitted = omitted || o == name;
        if (!omitted) xml += "    " + element("bvs", name, value) + "\n";
    }
    xml += "  </bvs:options>\n</bvs:security_options>\n";
    return xml;
}

void installSecuritySchema(const std::string& configDir) {
    writeFile(configDir + "/tarvex_security_1_0.xsd",
              readFile(std::string(TARVEX_SOURCE_DIR) + "/config/tarvex_security_1_0.xsd"));
}

void writeSecurityOptions(const std::string& configDir, const SecurityOptionsSpec& spec) {
    installSecuritySchema(configDir);
    writeFile(configDir + "/security_options.xml", securityOptionsXml(spec));
}

void setModificationTime(const std::string& path, std::time_t when) {
    const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("cannot set the modification time of " + path);
}

}  // namespace tarvex_test
