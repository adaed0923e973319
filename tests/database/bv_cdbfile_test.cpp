#include "database/bv_cdbfile.h"
#include "common/system_calls.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace brenvik;
using namespace tarvex_test;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

void writeCdb(const std::string& path, const Pairs& pairs) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0);
    bv_cdbmake w;
    ASSERT_EQ(makeStart(w, fd), 0);
    for (const auto& [k, v] : pairs) ASSERT_EQ(makeAdd(w, k.data(), k.size(), v.data(), v.size()), 0);
    ASSERT_EQ(makeFinish(w), 0);
    ::close(fd);
}

// Opens a file for reading with a reader (look-ups through the map or by
// positional reads); closes the descriptor at the end.
struct Reader {
    explicit Reader(const std::string& path, bool positional = false)
        : Reader(::open(path.c_str(), O_RDONLY), positional) {}
    // Takes the descriptor over.
    explicit Reader(int descriptor, bool positional = false) : fd(descriptor) {
        db.setPositionalReads(positional);
        rc = fd < 0 ? -100 : db.init(fd);
    }
    ~Reader() {
        db.close(true);
        if (fd >= 0) ::close(fd);
    }
    // Every value of a key in file order; "!corrupt" appended when a step fails.
    std::vector<std::string> all(const std::string& key) {
        std::vector<std::string> out;
        CdbFindState st;
        int r = bv_cdbfile::findFirst(st, &db, key.data(), key.size());
        if (r < 0) return {"!corrupt"};
        if (r == 0) return out;
        while ((r = bv_cdbfile::findNext(st)) == 1) out.push_back(value());
        if (r < 0) out.push_back("!corrupt");
        return out;
    }
    std::string value() {
        const unsigned char* p = db.getData(db.valueLength(), db.valuePosition());
        return p ? std::string(reinterpret_cast<const char*>(p), db.valueLength()) : "!null";
    }
    int fd;
    int rc;
    bv_cdbfile db;
};

bool haveTinycdb() { return std::system("command -v cdb >/dev/null 2>&1") == 0; }

}  // namespace

TEST(CdbHash, KnownValuesAndPacking) {
    EXPECT_EQ(cdbHash("", 0), 5381u);
    EXPECT_EQ(cdbHash("a", 1), 177604u);
    // Colliding keys used by the round-trip tests below.
    EXPECT_EQ(cdbHash("bbb", 3), cdbHash("bcC", 3));
    EXPECT_EQ(cdbHash("bbb", 3), cdbHash("cBC", 3));

    unsigned char b[8];
    cdbPack(0x0102030405060708ULL, b, 8);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(cdbUnpack(b, 8), 0x0102030405060708ULL);
    EXPECT_EQ(cdbUnpack(b, 2), 0x0708u);
    EXPECT_EQ(cdbUnpack(nullptr, 4), 0u);

    CdbLayout l;
    setLayout(l, 2);
    EXPECT_EQ(l.positionSize, 8u);
    EXPECT_EQ(l.slotSize, 12u);
    EXPECT_EQ(l.headerSize, 3072u);
    setLayout(l, 1);
    EXPECT_EQ(l.positionSize, 4u);
    EXPECT_EQ(l.slotSize, 8u);
    EXPECT_EQ(l.headerSize, 2048u);
}

TEST(CdbMake, EmptyFileHasExactBytes) {
    TempDir dir("cdb");
    writeCdb(dir.file("e.cdb"), {});
    std::string bytes = readFile(dir.file("e.cdb"));
    ASSERT_EQ(bytes.size(), 3112u);
    // Every header entry: table position 3072 (8 bytes), slot count 0.
    std::string entry("\x00\x0c\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(bytes.substr(i * 12, 12), entry) << i;
    const std::string footer("\x08\0\0\0\x04\0\0\0\x0c\0\0\0\x00\x0c\0\0\x04\0\0\0\x04\0\0\0\x04\0\0\0\nCDBFILE2.00", 40);
    EXPECT_EQ(bytes.substr(3072), footer);

    Reader r(dir.file("e.cdb"));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.db.layout().positionSize, 8u);
    EXPECT_EQ(r.db.dataEnd(), 3072u);
    EXPECT_EQ(r.db.end(), 3072u);
    EXPECT_EQ(r.db.find("x", 1), 0);
    EXPECT_TRUE(r.all("").empty());
}

TEST(CdbMake, RoundTrips) {
    TempDir dir("cdb");
    std::string big(5 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    Pairs pairs = {
        {"one", "1"},
        {"dup", "first"},
        {"", "empty key"},
        {"novalue", ""},
        {"dup", "second"},
        {"bbb", "v-bbb"},   // bbb, bcC, cBC and cCb share one hash
        {"bcC", "v-bcC"},
        {"cBC", "v-cBC"},
        {"big", big},
        {"dup", "third"},
        {std::string("nul\0key", 7), std::string("a\0b", 3)},
    };
    for (int i = 0; i < 3000; ++i) pairs.push_back({"k" + std::to_string(i), std::string(i % 50, 'v') + std::to_string(i)});
    writeCdb(dir.file("r.cdb"), pairs);

  for (const bool positional : {false, true}) {
    SCOPED_TRACE(positional ? "positional reads" : "through the map");
    Reader r(dir.file("r.cdb"), positional);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.all("dup"), (std::vector<std::string>{"first", "second", "third"}));
    ASSERT_EQ(r.db.find("dup", 3), 1);
    EXPECT_EQ(r.value(), "first");
    for (const char* k : {"bbb", "bcC", "cBC"}) EXPECT_EQ(r.all(k), std::vector<std::string>{std::string("v-") + k});
    EXPECT_EQ(r.db.find("cCb", 3), 0) << "same hash as stored keys, but absent";
    EXPECT_EQ(r.all(""), std::vector<std::string>{"empty key"});
    EXPECT_EQ(r.all("novalue"), std::vector<std::string>{""});
    ASSERT_EQ(r.db.find("big", 3), 1);
    EXPECT_EQ(r.db.valueLength(), big.size());
    EXPECT_TRUE(r.value() == big);
    EXPECT_EQ(r.all(std::string("nul\0key", 7)), std::vector<std::string>{std::string("a\0b", 3)});
    for (int i = 0; i < 3000; ++i) {
        std::string k = "k" + std::to_string(i);
        ASSERT_EQ(r.db.find(k.data(), k.size()), 1) << k;
        ASSERT_EQ(r.value(), std::string(i % 50, 'v') + std::to_string(i));
        std::string got(r.db.valueLength(), '?');
        ASSERT_EQ(r.db.read(got.data(), got.size(), r.db.valuePosition()), 0);
        ASSERT_EQ(got, r.value());
    }
    EXPECT_EQ(r.db.find("k3000", 5), 0);
    EXPECT_EQ(r.db.read(nullptr, 2, r.db.end() - 1), -1);
    EXPECT_EQ(r.db.getData(0, r.db.end()), nullptr);
  }
}

TEST(CdbFile, OtherFooterVersionTextAndBareClassicFile) {
    TempDir dir("cdb");
    writeCdb(dir.file("v.cdb"), {{"key", "value"}});
    std::string bytes = readFile(dir.file("v.cdb"));
    bytes.replace(bytes.size() - 4, 4, "9.99");
    writeFile(dir.file("v.cdb"), bytes);
    Reader r(dir.file("v.cdb"));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.db.layout().positionSize, 8u);
    EXPECT_EQ(r.all("key"), std::vector<std::string>{"value"});

    writeFile(dir.file("z.cdb"), std::string(2048, '\0'));
    Reader z(dir.file("z.cdb"));
    ASSERT_EQ(z.rc, 0);
    EXPECT_EQ(z.db.layout().positionSize, 4u);
    EXPECT_EQ(z.db.dataEnd(), 2048u);
    EXPECT_EQ(z.db.find("a", 1), 0);
    EXPECT_EQ(z.db.find("", 0), 0);
}

TEST(CdbFile, ReadsClassicFilesMadeByTinycdb) {
    if (!haveTinycdb()) GTEST_SKIP() << "tinycdb's cdb command is not installed";
    TempDir dir("cdb");
    Pairs pairs = {{"alpha", "1"}, {"beta", "two"}, {"alpha", "again"}, {"", "e"}, {"bbb", "x"}, {"bcC", "y"}};
    for (int i = 0; i < 500; ++i) pairs.push_back({"acc" + std::to_string(i), std::to_string(i * i)});
    std::string input;
    for (const auto& [k, v] : pairs) input += "+" + std::to_string(k.size()) + "," + std::to_string(v.size()) + ":" + k + "->" + v + "\n";
    input += "\n";
    writeFile(dir.file("in.txt"), input);
    std::string cmd = "cdb -c '" + dir.file("t.cdb") + "' '" + dir.file("in.txt") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    Reader r(dir.file("t.cdb"));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.db.layout().positionSize, 4u);
    EXPECT_EQ(r.all("alpha"), (std::vector<std::string>{"1", "again"}));
    EXPECT_EQ(r.all(""), std::vector<std::string>{"e"});
    EXPECT_EQ(r.all("bcC"), std::vector<std::string>{"y"});
    for (int i = 0; i < 500; ++i) {
        std::string k = "acc" + std::to_string(i);
        ASSERT_EQ(r.db.find(k.data(), k.size()), 1) << k;
        ASSERT_EQ(r.value(), std::to_string(i * i));
    }
    EXPECT_EQ(r.db.find("gamma", 5), 0);
}

namespace {

// A small version-2 file and the positions inside it that the damage table
// below overwrites.
struct Sample {
    std::string bytes;
    uint64_t record = 0;    // position of the record of key "key"
    uint64_t table = 0;     // position of that key's table
    uint32_t entry = 0;     // header entry of that key
};

Sample makeSample(const TempDir& dir) {
    writeCdb(dir.file("s.cdb"), {{"key", "value"}, {"other", "x"}});
    Sample s;
    s.bytes = readFile(dir.file("s.cdb"));
    s.entry = (cdbHash("key", 3) & 0xFF) * 12;
    s.table = cdbUnpack(reinterpret_cast<const unsigned char*>(s.bytes.data()) + s.entry, 8);
    s.record = 3072;
    return s;
}

void put(std::string& bytes, uint64_t pos, uint64_t value, unsigned n) {
    unsigned char b[8];
    cdbPack(value, b, n);
    bytes.replace(pos, n, reinterpret_cast<char*>(b), n);
}

}  // namespace

TEST(CdbFile, DamagedFilesReadAsCorrupt) {
    TempDir dir("cdb");
    const Sample s = makeSample(dir);
    const uint64_t size = s.bytes.size();
    const uint64_t footer = size - 40;
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
        int init;   // expected init result
        int find;   // expected find of "key" (when init is 0)
    };
    const std::vector<Case> cases = {
        {"shorter than a header", [](std::string& b) { b.resize(100); }, -3, 0},
        {"empty", [](std::string& b) { b.clear(); }, -3, 0},
        {"position size 16", [&](std::string& b) { put(b, footer, 16, 4); }, -7, 0},
        {"slot size wrong", [&](std::string& b) { put(b, footer + 8, 8, 4); }, -7, 0},
        {"header size wrong", [&](std::string& b) { put(b, footer + 12, 2048, 4); }, -7, 0},
        {"key length size 8", [&](std::string& b) { put(b, footer + 20, 8, 4); }, -7, 0},
        {"header larger than file", [](std::string& b) { b.resize(3000); b += std::string("\x08\0\0\0\x04\0\0\0\x0c\0\0\0\x00\x0c\0\0\x04\0\0\0\x04\0\0\0\x04\0\0\0\nCDBFILE2.00", 40); }, -7, 0},
        {"table past the end", [&](std::string& b) { put(b, s.entry, size + 100, 8); }, 0, -1},
        {"table before the data end", [&](std::string& b) { put(b, s.entry, 3072, 8); }, 0, -1},
        {"slot count past the end", [&](std::string& b) { put(b, s.entry + 8, 0xFFFFFFFF, 4); }, 0, -1},
        {"record past the data end", [&](std::string& b) {
             for (uint64_t p = s.table; p < footer; p += 12)
                 if (cdbUnpack(reinterpret_cast<const unsigned char*>(b.data()) + p + 4, 8) == s.record) put(b, p + 4, footer - 4, 8);
         }, 0, -1},
        {"record inside the header", [&](std::string& b) {
             for (uint64_t p = s.table; p < footer; p += 12)
                 if (cdbUnpack(reinterpret_cast<const unsigned char*>(b.data()) + p + 4, 8) == s.record) put(b, p + 4, 16, 8);
         }, 0, -1},
        {"value length past the end", [&](std::string& b) { put(b, s.record + 4, 0xFFFFFFF0, 4); }, 0, -1},
        {"value length one too long", [&](std::string& b) {
             // "key"/"value" then "other"/"x": the second record ends at the data end.
             put(b, s.record + 4, 5 + 8 + 5 + 1 + 1, 4);
         }, 0, -1},
        {"data end past the file", [&](std::string& b) { put(b, 0, 0xFFFFFFFFFFFF, 8); }, 0, -1},
    };
    for (const auto& c : cases)
    for (const bool positional : {false, true}) {
        SCOPED_TRACE(c.name + std::string(positional ? ", positional reads" : ""));
        std::string b = s.bytes;
        c.damage(b);
        writeFile(dir.file("d.cdb"), b);
        Reader r(dir.file("d.cdb"), positional);
        ASSERT_EQ(r.rc, c.init);
        if (c.init != 0) {
            EXPECT_EQ(errno, EPROTO);
            EXPECT_EQ(r.db.find("key", 3), 0) << "a failed init leaves nothing to read";
            continue;
        }
        errno = 0;
        EXPECT_EQ(r.db.find("key", 3), c.find);
        if (c.find < 0) {
            EXPECT_EQ(errno, EPROTO);
            EXPECT_EQ(r.all("key"), std::vector<std::string>{"!corrupt"});
        }
    }
}

// Every truncation and every single-byte change of a small file: whatever the
// reader answers, it stays inside the file (the sanitizer build checks) and
// never returns a value that the file does not hold for that key.
TEST(CdbFile, AnyDamageStaysInsideTheFile) {
    TempDir dir("cdb");
    Pairs pairs = {{"key", "value"}, {"other", "x"}, {"key", "v2"}, {"bbb", "1"}, {"bcC", "2"}};
    writeCdb(dir.file("s.cdb"), pairs);
    const std::string good = readFile(dir.file("s.cdb"));
    auto check = [&](const std::string& bytes) {
        // In memory: thousands of files cut and rewritten on a disk wait for
        // its write-back instead of testing the reader.
        const int fd = ::memfd_create("d.cdb", MFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            ::close(fd);
            FAIL() << "cannot write the memory file";
        }
        for (const bool positional : {false, true}) {
            Reader r(::dup(fd), positional);
            if (r.rc != 0) continue;
            for (const char* k : {"key", "other", "bbb", "bcC", "cBC", "nope"}) {
                if (r.db.find(k, std::strlen(k)) == 1) {
                    ASSERT_GE(r.db.valuePosition(), 8u);
                    ASSERT_LE(r.db.valuePosition() + r.db.valueLength(), r.db.end());
                }
                r.all(k);
            }
        }
        ::close(fd);
    };
    for (size_t len = 0; len < good.size(); len += (len < 2048 ? 256 : 1)) check(good.substr(0, len));
    for (size_t i = 0; i < good.size(); ++i) {
        std::string b = good;
        b[i] = static_cast<char>(b[i] ^ 0xA5);
        check(b);
    }
}

// A file cut short after it was mapped: positional reads report the failed
// read (-1, errno EIO) where touching the map would raise SIGBUS; bytes
// still in the file read as before.
TEST(CdbFile, PositionalReadsOfAFileCutAfterMapping) {
    TempDir dir("cdb");
    Pairs pairs = {{"first", "1"}};
    for (int i = 0; i < 2000; ++i) pairs.push_back({"k" + std::to_string(i), std::string(100, 'v')});
    writeCdb(dir.file("c.cdb"), pairs);
    Reader r(dir.file("c.cdb"), true);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.db.find("k1999", 5), 1);
    ASSERT_EQ(::truncate(dir.file("c.cdb").c_str(), 4096), 0);
    errno = 0;
    EXPECT_EQ(r.db.find("k1999", 5), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(r.all("k1999"), std::vector<std::string>{"!corrupt"});
    ASSERT_EQ(r.db.find("first", 5), -1) << "its table lies past the cut";
    EXPECT_NE(r.db.getData(8, 8), nullptr);
    EXPECT_EQ(r.db.getData(5, 5000), nullptr);
    EXPECT_EQ(errno, EIO);
}

TEST(CdbMake, RefusesWhatDoesNotFit) {
    TempDir dir("cdb");
    struct Case {
        const char* name;
        size_t keyLength, valueLength;
        int error;
    };
    const Case cases[] = {
        {"key over the position room", 0x0FFFFFFFFFFFFFF0ULL, 0, ENOMEM},
        {"value over the position room", 1, 0x0FFFFFFFFFFFFFF0ULL, ENOMEM},
        {"key length over 4 bytes", 0x100000000ULL, 0, EOVERFLOW},
        {"value length over 4 bytes", 1, 0x100000000ULL, EOVERFLOW},
    };
    char dummy[1] = {'k'};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("f.cdb");
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
        ASSERT_GE(fd, 0);
        bv_cdbmake w;
        makeStart(w, fd);
        ASSERT_EQ(makeAdd(w, "a", 1, "b", 1), 0);
        errno = 0;
        EXPECT_EQ(makeAdd(w, dummy, c.keyLength, dummy, c.valueLength), -1);
        EXPECT_EQ(errno, c.error);
        // One refused record makes the whole file unfinishable.
        EXPECT_EQ(makeAdd(w, "c", 1, "d", 1), -1);
        EXPECT_EQ(makeFinish(w), -1);
        EXPECT_EQ(errno, c.error);
        ::close(fd);
        Reader r(path);
        EXPECT_NE(r.rc == 0 ? r.db.find("a", 1) : 0, 1);
    }
}

TEST(CdbMake, WriteErrorFailsAndFinishRefuses) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    bv_cdbmake w;
    makeStart(w, fd);
    std::string v(10000, 'x');
    EXPECT_EQ(makeAdd(w, "k", 1, v.data(), v.size()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(makeAdd(w, "k", 1, "v", 1), -1);
    EXPECT_EQ(makeFinish(w), -1);
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
}

// A device that takes nothing (write answers 0) fails the writer with EIO;
// the loop that wrote the buffers tried again for ever.
TEST(CdbMake, AWriteThatTakesNothingFailsInsteadOfSpinning) {
    tarvex_test::TempDir dir;
    const int fd = ::open(dir.file("taken-nothing.cdb").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    bv_cdbmake w;
    ASSERT_EQ(makeStart(w, fd), 0);
    const auto saved = systemCalls().write;
    systemCalls().write = [](int, const void*, size_t) -> ssize_t { return 0; };
    const std::string v(100000, 'x');  // more than the writer buffers
    const int added = makeAdd(w, "k", 1, v.data(), v.size());
    const int error = errno;
    systemCalls().write = saved;
    EXPECT_EQ(added, -1);
    EXPECT_EQ(error, EIO);
    ::close(fd);
}
