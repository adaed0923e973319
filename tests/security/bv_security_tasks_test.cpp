#include "security/bv_security_tasks.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "security/bv_security_constants.h"
#include "support/session_files.h"
#include "support/temp_dir.h"

using brenvik::bv_security_task;
using brenvik::bv_security_tasks;
using bvparser_internal::bv_XMLHelper;

namespace {

bv_security_task makeTask(int id, int type, std::vector<int> ints = {}, std::vector<double> doubles = {},
                          std::vector<std::string> texts = {}) {
    bv_security_task t;
    t.setTaskID(id);
    t.setType(type);
    for (int i : ints) t.addIntValue(i);
    for (double d : doubles) t.addDoubleValue(d);
    for (const std::string& s : texts) t.addStringValue(s);
    return t;
}

TEST(SecurityTasks, AddOperationsFollowTheType) {
    struct Case {
        int type;
        bool intOk, doubleOk, textOk;
    };
    const Case cases[] = {{0, false, false, false}, {1, true, false, false}, {4, true, false, false},
                          {5, false, true, false},  {8, false, true, false}, {9, false, false, true},
                          {10, false, false, true}, {12, true, false, false}, {13, false, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        bv_security_task t = makeTask(1, c.type);
        EXPECT_EQ(t.addIntValue(1), c.intOk);
        EXPECT_EQ(t.addDoubleValue(1.5), c.doubleOk);
        EXPECT_EQ(t.addStringValue("x"), c.textOk);
    }
    bv_security_task single = makeTask(1, 1, {5, 3});
    EXPECT_EQ(single.getIntValues(), std::vector<int>{3});
    bv_security_task list = makeTask(1, 4, {5, 3, 5});
    EXPECT_EQ(list.getIntValues(), (std::vector<int>{3, 5}));
}

TEST(SecurityTasks, MergeByType) {
    struct Case {
        const char* what;
        bv_security_task first, second;
        std::vector<int> ints;
        std::vector<double> doubles;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"1 replaces", makeTask(2, 1, {8}), makeTask(2, 1, {5}), {5}, {}, {}},
        {"2 larger wins", makeTask(2, 2, {5}), makeTask(2, 2, {8}), {8}, {}, {}},
        {"2 larger kept", makeTask(2, 2, {8}), makeTask(2, 2, {5}), {8}, {}, {}},
        {"3 smaller wins", makeTask(2, 3, {8}), makeTask(2, 3, {5}), {5}, {}, {}},
        {"3 into empty", makeTask(2, 3), makeTask(2, 3, {5}), {5}, {}, {}},
        {"4 union", makeTask(2, 4, {1, 3}), makeTask(2, 4, {2, 3}), {1, 2, 3}, {}, {}},
        {"6 larger wins", makeTask(2, 6, {}, {1.5}), makeTask(2, 6, {}, {2.5}), {}, {2.5}, {}},
        {"7 smaller wins", makeTask(2, 7, {}, {1.5}), makeTask(2, 7, {}, {2.5}), {}, {1.5}, {}},
        {"8 union", makeTask(2, 8, {}, {1.0}), makeTask(2, 8, {}, {2.0}), {}, {1.0, 2.0}, {}},
        {"9 replaces", makeTask(2, 9, {}, {}, {"a"}), makeTask(2, 9, {}, {}, {"b"}), {}, {}, {"b"}},
        {"10 union", makeTask(2, 10, {}, {}, {"b", "a"}), makeTask(2, 10, {}, {}, {"c", "a"}), {}, {}, {"a", "b", "c"}},
        {"values follow the existing type", makeTask(2, 1, {4}), makeTask(2, 4, {1, 9}), {9}, {}, {}},
        {"0 unchanged", makeTask(2, 4, {4}), makeTask(2, 0), {4}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bv_security_tasks list;
        EXPECT_TRUE(list.addOrMergeTask(c.first));
        EXPECT_TRUE(list.addOrMergeTask(c.second));
        bv_security_task merged = list.getTaskByIndex(0);
        EXPECT_EQ(merged.getIntValues(), c.ints);
        EXPECT_EQ(merged.getDoubleValues(), c.doubles);
        EXPECT_EQ(merged.getStringValues(), c.texts);
        EXPECT_EQ(merged.getType(), c.first.getType());
    }
    bv_security_tasks list;
    EXPECT_FALSE(list.addOrMergeTask(makeTask(-1, 0)));
    EXPECT_EQ(list.getTaskByIndex(0).getTaskID(), -1);
    EXPECT_EQ(list.getTaskByIndex(-1).getTaskID(), -1);
}

TEST(SecurityTasks, DatabasePermissions) {
    struct Case {
        const char* what;
        std::vector<bv_security_task> tasks;
        std::vector<std::string> permitted, refused;
    };
    const Case cases[] = {
        {"9 with exclusions", {makeTask(9, 0), makeTask(10, 10, {}, {}, {"SwissProt"})}, {"NCBInr", "swissprot"},
         {"SwissProt"}},
        {"inclusion list", {makeTask(10, 10, {}, {}, {"SwissProt"})}, {"SwissProt"}, {"swissprot", "NCBInr"}},
        {"single name", {makeTask(10, 9, {}, {}, {"SwissProt"})}, {"SwissProt"}, {"NCBInr"}},
        {"nothing", {}, {}, {"SwissProt"}},
        {"9 of another type counts as absent", {makeTask(9, 4, {1})}, {}, {"SwissProt"}},
        {"9 alone permits all", {makeTask(9, 0)}, {"SwissProt", "x"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bv_security_tasks list;
        for (const auto& t : c.tasks) list.addOrMergeTask(t);
        for (const auto& db : c.permitted) EXPECT_TRUE(list.isDatabasePermitted(db)) << db;
        for (const auto& db : c.refused) EXPECT_FALSE(list.isDatabasePermitted(db)) << db;
    }
}

TEST(SecurityTasks, XmlRoundTripAndDefaults) {
    tarvex_test::TempDir dir("tasks");
    tarvex_test::installSecuritySchema(dir.file("config"));
    std::filesystem::create_directories(dir.file("sessions"));
    const std::string path = dir.file("sessions/t");

    bv_security_tasks list;
    list.addOrMergeTask(makeTask(9, 0));
    list.addOrMergeTask(makeTask(3, 6, {}, {2.5}));
    list.addOrMergeTask(makeTask(10, 10, {}, {}, {"b", "a"}));
    list.addOrMergeTask(makeTask(4, 4, {7, -2}));
    {
        brenvik::bv_errs errs;
        bv_XMLHelper h(&errs, true, false);
        auto root = h.createRootNS("security_session", brenvik::securityNamespaceURI(), "bvs",
                                    brenvik::securitySchemaLocation(), "1", "1");
        auto data = h.addChild(root, "bvs:session_data");
        h.addChild(data, "bvs:custom_parameters");
        ASSERT_TRUE(list.writeToXml(nullptr, h, h.addChild(data, "bvs:permitted_tasks")));
        ASSERT_TRUE(h.saveFile(path));
    }
    std::string text = tarvex_test::readFile(path);
    EXPECT_NE(text.find("<bvs:value>2.500000</bvs:value>"), std::string::npos) << text;
    EXPECT_NE(text.find("<bvs:value>true</bvs:value>"), std::string::npos);
    EXPECT_LT(text.find("<bvs:task_id>3<"), text.find("<bvs:task_id>4<"));

    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(h.parseFile(path, brenvik::securitySchemaLocation())) << errs.getLastErrorString();
    auto tasks = h.getChildElement(h.getChildElement(h.getRootElement(), "bvs:session_data", 0),
                                    "bvs:permitted_tasks", 0);
    bv_security_tasks back;
    ASSERT_TRUE(back.readFromXml(nullptr, h, tasks));
    ASSERT_EQ(back.getNumberOfTasks(), 4);
    EXPECT_EQ(back.getTaskByIndex(0).getDoubleValues(), std::vector<double>{2.5});
    EXPECT_EQ(back.getTaskByIndex(1).getIntValues(), (std::vector<int>{-2, 7}));
    EXPECT_TRUE(back.getTaskByIndex(2).isBoolType());  // type 0 reads no value
    EXPECT_EQ(back.getTaskByIndex(3).getStringValues(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(back.isDatabasePermitted("c"));
    EXPECT_FALSE(back.isDatabasePermitted("a"));

    // The filter keeps only the tasks it holds.
    bv_security_tasks filter;
    filter.addOrMergeTask(makeTask(4, 0));
    bv_security_tasks filtered;
    ASSERT_TRUE(filtered.readFromXml(&filter, h, tasks));
    ASSERT_EQ(filtered.getNumberOfTasks(), 1);
    EXPECT_EQ(filtered.getTaskByIndex(0).getTaskID(), 4);
}

TEST(SecurityTasks, ReadingMissingValuesAndNegativeIDs) {
    tarvex_test::TempDir dir("tasks");
    tarvex_test::installSecuritySchema(dir.file("config"));
    tarvex_test::SessionFileSpec spec = tarvex_test::userSession(1, {{1, 1, {}}, {5, 9, {}}, {-1, 0, {}}, {7, 5, {}}});
    const std::string path = tarvex_test::writeSessionFile(dir.file("sessions"), "s", spec);
    brenvik::bv_errs errs;
    bv_XMLHelper h(&errs, true, false);
    ASSERT_TRUE(h.parseFile(path, brenvik::securitySchemaLocation())) << errs.getLastErrorString();
    auto tasks = h.getChildElement(h.getChildElement(h.getRootElement(), "bvs:session_data", 0),
                                    "bvs:permitted_tasks", 0);
    bv_security_tasks list;
    ASSERT_TRUE(list.readFromXml(nullptr, h, tasks));
    ASSERT_EQ(list.getNumberOfTasks(), 3);
    EXPECT_EQ(list.getTaskByIndex(0).getIntValues(), std::vector<int>{0});
    EXPECT_EQ(list.getTaskByIndex(1).getStringValues(), std::vector<std::string>{""});
    EXPECT_EQ(list.getTaskByIndex(2).getDoubleValues(), std::vector<double>{0.0});

    // A task without its type element fails the read.
    std::string text = tarvex_test::sessionFileXml(tarvex_test::userSession(1, {{1, 1, {"3"}}}));
    text.replace(text.find("<bvs:type>1</bvs:type>"), 22, "");
    tarvex_test::writeFile(path, text);
    brenvik::bv_errs errs2;
    bv_XMLHelper h2(&errs2, true, false);
    ASSERT_TRUE(h2.parseFile(path, brenvik::securitySchemaLocation())) << errs2.getLastErrorString();
    auto tasks2 = h2.getChildElement(h2.getChildElement(h2.getRootElement(), "bvs:session_data", 0),
                                      "bvs:permitted_tasks", 0);
    EXPECT_FALSE(list.readFromXml(nullptr, h2, tasks2));
    EXPECT_EQ(errs2.getLastErrorString(), "Cannot find bvs:type element");
}

}  // namespace
