#pragma once
// bv_clusteroptions: the Cluster section of tarvex.dat (cluster switch,
// master computer, node defaults, sub-cluster sets, IPC settings). Every
// configuration object owns one; a process-wide copy (global_options.h) is
// what the core services read. Copies are deep; not thread-safe.
#include <cstdint>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

// The master computer of a cluster.
struct bv_nodeaddress {
    static constexpr size_t kMaxName = 99;
    static constexpr size_t kMaxDigits = 19;
    std::string address = "127.0.0.1";  // the digit text of the value
    std::string name = "localhost";
    uint16_t port = 0;
    std::string valueText;  // the whole value of the MasterComputerName line
    bool operator==(const bv_nodeaddress&) const = default;
};

class bv_clusteroptions : public bv_customproperty {
public:
    enum NodeOS { Unknown_OS = 0, Windows_NT = 1, Linux = 2 };
    // Word values keep at most this many characters.
    static constexpr size_t kMaxWord = 255;
    // Nested "@include" files: at most this many sources open at once.
    static constexpr int kMaxIncludeDepth = 8;

    bv_clusteroptions();

    void setDefaults();
    void copyFrom(const bv_clusteroptions& other);
    bool operator==(const bv_clusteroptions&) const = default;

    // Reads the section's lines up to its end line, following "@include"
    // lines into other local files, recording problems on errs (bad lines as
    // warnings, a missing or unreadable include file as an error).
    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool on) { enabled_ = on; }
    const bv_nodeaddress& getMasterComputer() const { return master_; }
    int getDefaultNodeOS() const { return defaultNodeOS_; }
    std::string getDefaultNodeHomeDir() const { return defaultNodeHomeDir_; }
    int32_t getDefaultPort() const { return defaultPort_; }
    std::string getDefaultNodeHomeDirFromMaster() const { return defaultNodeHomeDirFromMaster_; }
    std::string getTarvexNodeScript() const { return nodeScript_; }
    std::string getTarvexNodeRebootScript() const { return nodeRebootScript_; }
    const std::vector<int32_t>& getSubClusterNumbers() const { return subClusterNumbers_; }
    const std::vector<int32_t>& getSubClusterThreads() const { return subClusterThreads_; }
    bool areSubClusterListsReplaced() const { return subClusterListsReplaced_; }
    int getNodeIndex() const { return nodeIndex_; }
    int32_t getIPCTimeout() const { return ipcTimeout_; }
    int32_t getIPCLogging() const { return ipcLogging_; }
    std::string getIPCLogfile() const { return ipcLogfile_; }
    void setIPCLogfile(const std::string& v) { ipcLogfile_ = v; }
    int32_t getCheckNodesAliveFreq() const { return checkNodesAliveFreq_; }
    int32_t getSecsToWaitForNodeAtStartup() const { return secsToWaitForNode_; }
    std::string getNodeSequenceDatabaseDir() const { return nodeSequenceDatabaseDir_; }

private:
    void readLine(const std::string& line, bv_errs& errs, const std::string& fileName);
    void readMasterComputerName(const std::string& line, bv_errs& errs, const std::string& fileName);
    void readSubClusterSet(const std::string& line, bv_errs& errs, const std::string& fileName);

    bool sectionAvailable_ = false;
    bool enabled_ = false;
    bv_nodeaddress master_;
    int defaultNodeOS_ = Linux;
    std::string defaultNodeHomeDir_ = "/TarvexNode";
    int32_t defaultPort_ = 5001;
    std::string defaultNodeHomeDirFromMaster_;
    std::string nodeScript_;
    std::string nodeRebootScript_;
    std::vector<int32_t> subClusterNumbers_{0};
    std::vector<int32_t> subClusterThreads_{0};
    bool subClusterListsReplaced_ = false;
    int nodeIndex_ = 0;
    int32_t ipcTimeout_ = 10;
    int32_t ipcLogging_ = 0;
    std::string ipcLogfile_ = "../logs/IPC.log";
    int32_t checkNodesAliveFreq_ = 30;
    int32_t secsToWaitForNode_ = 60;
    std::string nodeSequenceDatabaseDir_ = "../sequence";
};

}  // namespace brenvik
