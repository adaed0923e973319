// The main of every test program: GoogleTest with the listener that fails a
// test which leaves the process changed.
#include <gtest/gtest.h>

#include "support/process_state.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new tarvex_test::ProcessStateListener);
    return RUN_ALL_TESTS();
}
