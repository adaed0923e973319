#include "http/bv_connectionsettings.h"

#include <gtest/gtest.h>

namespace {

using namespace brenvik;

TEST(ConnectionSettings, DefaultsAndFourStringConstructor) {
    bv_connectionsettings d;
    EXPECT_EQ(d.getProxyType(), 5);
    EXPECT_EQ(d.getHttpVersion(), 2);
    EXPECT_EQ(d.getTimeout(), 60);
    EXPECT_EQ(d.getRedirectPolicy(), 1);
    EXPECT_EQ(d.getUserAgent(), "TarvexParser/2.7.0.1 winhttp/5.1");
    EXPECT_FALSE(d.getFtpViaHttpProxy());
    EXPECT_FALSE(d.getHttpsViaHttpProxy());
    EXPECT_EQ(d.getSessionID(), "");

    bv_connectionsettings s("sess", "proxy:8080", "pu", "pp");
    EXPECT_EQ(s.getSessionID(), "sess");
    EXPECT_EQ(s.getProxyServer(), "proxy:8080");
    EXPECT_EQ(s.getProxyUsername(), "pu");
    EXPECT_EQ(s.getProxyPassword(), "pp");
    EXPECT_EQ(s.getProxyType(), 5);
    EXPECT_EQ(s.getTimeout(), 60);
    EXPECT_EQ(s.getUserAgent(), d.getUserAgent());

    bv_connectionsettings c;
    c.copyFrom(s);
    c.copyFrom(c);
    EXPECT_EQ(c.getProxyServer(), "proxy:8080");
}

TEST(ConnectionSettings, SetDefaultsKeepsServerCredentials) {
    bv_connectionsettings s("sess", "p", "u", "w");
    s.setCredentials("user", "pass");
    s.setTimeout(5);
    s.setDefaults();
    EXPECT_EQ(s.getUsername(), "user");
    EXPECT_EQ(s.getPassword(), "pass");
    EXPECT_EQ(s.getSessionID(), "");
    EXPECT_EQ(s.getTimeout(), 60);
}

TEST(ConnectionSettings, ProxyTypeNames) {
    struct {
        const char* name;
        int number;
    } fromName[] = {{"none", 0}, {"AUTO", 5}, {"Registry", 1}, {"specify", 2}, {"WpAd", 3},
                    {"environment", 4}, {"wpad ", -1}, {"", -1}, {"proxy", -1}};
    for (const auto& c : fromName) EXPECT_EQ(proxyTypeFromName(c.name), c.number) << c.name;

    struct {
        int number;
        const char* display;
    } toName[] = {{0, "None"}, {1, "Registry"}, {2, "Specify"}, {3, "WPAD"}, {4, "Environment"},
                  {5, "Auto"}, {6, ""}, {-1, ""}};
    for (const auto& c : toName) EXPECT_EQ(proxyTypeToName(c.number), c.display) << c.number;
}

}  // namespace
