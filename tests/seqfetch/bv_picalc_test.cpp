#include "seqfetch/bv_picalc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/error_reporter.h"
#include "support/temp_dir.h"
#include "support/reporter_switches.h"

namespace {

struct PiCase {
    const char* sequence;
    int length;
    double expected;
    const char* printed;
};

// Exact bisection results: the tolerance on the charge stops the search early.
const PiCase piCases[] = {
    {"G", -1, 5.6875, "5.69"},
    {"KKKK", -1, 10.47265625, "10.47"},
    {"DDDD", -1, 3.5205078125, "3.52"},
    {"ACDEFGHIKLMNPQRSTVWY", -1, 6.78125, "6.78"},
    // lower case counts nothing and leaves both terminal pK values at 0
    {"g", -1, 0.0068359375, "0.01"},
    // the length bounds the read: only "G" counts, whatever follows
    {"GKKKK", 1, 5.6875, "5.69"},
    {"KKKKDDDD", 4, 10.47265625, "10.47"},
};

TEST(IsoelectricPoint, KnownSequencesGiveTheirBisectionValues) {
    for (const PiCase& c : piCases) {
        SCOPED_TRACE(c.sequence);
        const double pi = calcIsoelectricPoint(c.sequence, 7, c.length);
        EXPECT_DOUBLE_EQ(pi, c.expected);
        char text[32];
        std::snprintf(text, sizeof text, "%.2lf", pi);
        EXPECT_STREQ(text, c.printed);
    }
}

TEST(IsoelectricPoint, UnchargedLettersAtTheEndsUseTerminalPkZero) {
    // B, J, O, U, X, Z carry no charge; at an end they give pK 0, like lower case.
    EXPECT_DOUBLE_EQ(calcIsoelectricPoint("X", -1, -1), calcIsoelectricPoint("g", -1, -1));
    EXPECT_DOUBLE_EQ(calcIsoelectricPoint("BGZ", -1, -1), calcIsoelectricPoint("bGz", -1, -1));
    // counted in the middle they change nothing
    EXPECT_DOUBLE_EQ(calcIsoelectricPoint("GXBJOUZG", -1, -1), calcIsoelectricPoint("GG", -1, -1));
}

TEST(IsoelectricPoint, EmptySequenceAndNullGiveANumber) {
    const double empty = calcIsoelectricPoint("", -1, -1);
    EXPECT_GT(empty, 0.0);
    EXPECT_DOUBLE_EQ(calcIsoelectricPoint(nullptr, -1, -1), empty);
    EXPECT_DOUBLE_EQ(calcIsoelectricPoint("KKKK", -1, 0), empty);
}

TEST(IsoelectricPoint, NonConvergenceGivesZeroAndIsReported) {
    tarvex_test::ReporterSwitches saved;
    errorReporter.toErrorLog = errorReporter.toPage = errorReporter.toMail = false;
    errorReporter.toMonitorLog = errorReporter.toIpcLog = false;
    const std::string arginines(200, 'R');
    const double pi = calcIsoelectricPoint(arginines.c_str(), 12, -1);
    EXPECT_DOUBLE_EQ(pi, 0.0);
    char text[32];
    std::snprintf(text, sizeof text, "%.2lf", pi);
    EXPECT_STREQ(text, "0.00");
    EXPECT_EQ(errorReporter.getLastNumber(), 345);
    EXPECT_EQ(errorReporter.getLastJob(), 12);
    EXPECT_FALSE(errorReporter.isFatalSeen());
}

// Biopython's net charge at our pI must be within the tolerance: the pK set
// is the same, the solver is not, so the values themselves may differ.
TEST(IsoelectricPoint, NetChargeAtResultAgreesWithBiopython) {
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0 ||
        std::system("/usr/bin/python3 -c 'import Bio.SeqUtils.IsoelectricPoint' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Biopython is not installed";

    tarvex_test::TempDir dir("pi");
    std::mt19937 random(20240611);
    const std::string letters = "ACDEFGHIKLMNPQRSTVWY";
    std::ostringstream input;
    std::vector<std::string> sequences;
    for (int i = 0; i < 300; ++i) {
        std::string s(1 + random() % 400, 'A');
        for (char& c : s) c = letters[random() % letters.size()];
        const double pi = calcIsoelectricPoint(s.c_str(), -1, -1);
        if (pi == 0.0) continue;  // no convergence: nothing to compare
        char value[64];
        std::snprintf(value, sizeof value, "%.17g", pi);
        input << s << ' ' << value << '\n';
        sequences.push_back(s);
    }
    tarvex_test::writeFile(dir.file("in.txt"), input.str());
    tarvex_test::writeFile(dir.file("charge.py"),
                           "import sys\n"
                           "from Bio.SeqUtils.IsoelectricPoint import IsoelectricPoint\n"
                           "for line in open(sys.argv[1]):\n"
                           "    seq, ph = line.split()\n"
                           "    print(IsoelectricPoint(seq).charge_at_pH(float(ph)))\n");
    const std::string command = std::string(python) + " " + dir.file("charge.py") + " " + dir.file("in.txt") +
                                " > " + dir.file("out.txt");
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::istringstream output(tarvex_test::readFile(dir.file("out.txt")));
    size_t checked = 0;
    double charge = 0;
    while (output >> charge) {
        ASSERT_LT(checked, sequences.size());
        EXPECT_LT(std::fabs(charge), 0.01) << sequences[checked];
        ++checked;
    }
    EXPECT_EQ(checked, sequences.size());
    EXPECT_GT(checked, 250u);
}

}  // namespace
