#include "config/global_options.h"

#include <gtest/gtest.h>

using namespace brenvik;

TEST(GlobalOptions, DefaultsThatCoreServicesRead) {
    resetGlobalOptions();
    const bv_options& o = globalOptions();
    EXPECT_EQ(o.getErrorLogFile(), "../logs/errorlog.txt");
    EXPECT_EQ(o.getMonitorLogFile(), "../logs/monitor.log");
    EXPECT_EQ(o.getTarvexControlFile(), "../data/tarvex.control");
    EXPECT_EQ(o.getTarvexJobIdFile(), "../data/tarvex.job");
    EXPECT_EQ(o.seqFetchJobIdFile(), "../data/seqfetch.job");
    EXPECT_EQ(o.getUniqueJobStartNumber(), 1234);
    EXPECT_EQ(o.getVmemory(), -1);
    EXPECT_EQ(o.getNTMonitorGroup(), "Administrators");
    EXPECT_EQ(o.getNTIUserGroup(), "Guests");
    EXPECT_EQ(o.getMailTransport(), 2);
    EXPECT_FALSE(o.isEmailErrorsEnabled());
    EXPECT_EQ(o.getMailTempFile(), "/tmp/MXXXXXX");
    EXPECT_EQ(o.getSendmailPath(), "/usr/lib/sendmail");
    EXPECT_EQ(o.getInterFileBasePath(), "C:/InetPub/Tarvex/data");
    EXPECT_EQ(globalCluster().getIPCLogfile(), "../logs/IPC.log");
    EXPECT_EQ(globalCluster().getNodeIndex(), 0);
    EXPECT_FALSE(globalCluster().isEnabled());
}

TEST(GlobalOptions, PublicationReportsModeChanges) {
    resetGlobalOptions();
    bv_options options;
    options.setErrorLogFile("/tmp/x/errorlog.txt");
    bv_clusteroptions off;
    EXPECT_EQ(switchStandaloneCluster(options, off), std::make_pair(std::string(), std::string()));
    EXPECT_EQ(globalOptions().getErrorLogFile(), "/tmp/x/errorlog.txt");

    bv_clusteroptions on;
    on.setEnabled(true);
    on.setIPCLogfile("/tmp/x/ipc.log");
    EXPECT_EQ(switchStandaloneCluster(options, on), std::make_pair(std::string("standalone"), std::string("cluster")));
    EXPECT_EQ(globalCluster().getIPCLogfile(), "/tmp/x/ipc.log");
    EXPECT_EQ(switchStandaloneCluster(options, on), std::make_pair(std::string(), std::string()));
    EXPECT_EQ(switchStandaloneCluster(options, off), std::make_pair(std::string("cluster"), std::string("standalone")));

    // The start of a run resets both copies, so cluster mode is seen as switched on again.
    switchStandaloneCluster(options, on);
    initProcess();
    EXPECT_EQ(globalOptions().getErrorLogFile(), "../logs/errorlog.txt");
    EXPECT_FALSE(globalCluster().isEnabled());
    EXPECT_EQ(globalCluster().getIPCLogfile(), "../logs/IPC.log");
    EXPECT_EQ(switchStandaloneCluster(options, on), std::make_pair(std::string("standalone"), std::string("cluster")));
    resetGlobalOptions();
}
