#include <gtest/gtest.h>

#include <unistd.h>

#include "support/fixture_install.h"

using tarvex_test::FixtureInstall;

TEST(FixtureInstall, FolderTreeFilesAndRemoval) {
    std::string root;
    {
        FixtureInstall install;
        root = install.root();
        for (const std::string& d : {install.cgiDir(), install.configDir(), install.dataDir(), install.logsDir(),
                                     install.sessionsDir(), install.taxonomyDir(), install.sequenceDir()}) {
            EXPECT_TRUE(tarvex_test::pathExists(d)) << d;
            EXPECT_EQ(d.rfind(root + "/", 0), 0u) << d;
        }
        install.write("config/tarvex.dat", "Options\nend\n");
        EXPECT_EQ(install.read("config/tarvex.dat"), "Options\nend\n");
        EXPECT_EQ(install.read("config/missing"), "");

        // From cgi/, the installation's relative paths reach its files.
        tarvex_test::WorkingFolder cwd(install.cgiDir());
        EXPECT_EQ(tarvex_test::readFile("../config/tarvex.dat"), "Options\nend\n");
    }
    EXPECT_FALSE(tarvex_test::pathExists(root));
    FixtureInstall a, b;
    EXPECT_NE(a.root(), b.root());
}
