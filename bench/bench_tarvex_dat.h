// The tarvex.dat of the bench installations: database "Big" on taxonomy
// section 1, the given taxonomy sections, no cluster, logs and job files in
// the installation's own folders.
#pragma once

#include <string>

inline std::string benchTarvexDat(const std::string& taxonomySections) {
    return "Databases\n"
           "Big\t../sequence/Big/Big_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t1\n"
           "end\n\n" +
           taxonomySections +
           "Cluster\nEnabled\t0\nend\n\n"
           "Options\n"
           "ErrorLogFile\t../logs/errorlog.txt\n"
           "TarvexControlFile\t../data/tarvex.control\n"
           "TarvexJobIdFile\t../data/tarvex.job\n"
           "SeqFetchJobIdFile\t../data/seqfetch.job\n"
           "EmailErrorsEnabled\t0\nEmailUsersEnabled\t0\nUnixWebUserGroup\t-1\n"
           "end\n";
}
