#include "config/bv_clusteroptions.h"

namespace brenvik {

bv_clusteroptions::bv_clusteroptions() { setDefaults(); }

void bv_clusteroptions::setDefaults() {
    clear();
    setDefaultSeparator(" ");
    sectionAvailable_ = false;
    enabled_ = false;
    master_ = bv_nodeaddress();
    defaultNodeOS_ = Linux;
    defaultNodeHomeDir_ = "/TarvexNode";
    defaultPort_ = 5001;
    defaultNodeHomeDirFromMaster_.clear();
    nodeScript_.clear();
    nodeRebootScript_.clear();
    subClusterNumbers_.assign(1, 0);
    subClusterThreads_.assign(1, 0);
    subClusterListsReplaced_ = false;
    nodeIndex_ = 0;
    ipcTimeout_ = 10;
    ipcLogging_ = 0;
    ipcLogfile_ = "../logs/IPC.log";
    checkNodesAliveFreq_ = 30;
    secsToWaitForNode_ = 60;
    nodeSequenceDatabaseDir_ = "../sequence";
}

void bv_clusteroptions::copyFrom(const bv_clusteroptions& other) {
    if (&other == this) return;
    *this = other;
}

}  // namespace brenvik
