#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

using namespace tarvex_test;

TEST(TempDir, HoldsFilesAndIsRemovedWithThem) {
    std::string kept;
    {
        TempDir dir("support");
        kept = dir.path();
        writeFile(dir.file("a/b/c.txt"), std::string("x\0y", 3));
        EXPECT_EQ(readFile(dir.file("a/b/c.txt")), std::string("x\0y", 3));
        EXPECT_TRUE(pathExists(dir.file("a/b")));
    }
    EXPECT_FALSE(pathExists(kept));
}

TEST(TempDir, EachObjectGetsItsOwnFolder) {
    TempDir a, b;
    EXPECT_NE(a.path(), b.path());
}
