#pragma once
// Permitted tasks of a user: numbered permissions with typed values, merged
// by type, and the database test (tasks 9 and 10) that the session asks.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/bv_errs.h"
#include "security/bv_xmlhelper.h"

namespace brenvik {

class bv_security_task {
public:
    bv_security_task() = default;
    bv_security_task(const bv_security_task&) = default;
    bv_security_task& operator=(const bv_security_task&) = default;
    void copyFrom(const bv_security_task& other) { *this = other; }

    // By the value type: single-value types replace, list types add, a value
    // of the wrong kind (or any value for type 0) is refused.
    bool addIntValue(int value);
    bool addDoubleValue(double value);
    bool addStringValue(const std::string& value);
    void clearValues();

    std::vector<int> getIntValues() const { return {ints_.begin(), ints_.end()}; }
    std::vector<double> getDoubleValues() const { return {doubles_.begin(), doubles_.end()}; }
    std::vector<std::string> getStringValues() const { return {strings_.begin(), strings_.end()}; }

    int getTaskID() const { return id_; }
    void setTaskID(int id) { id_ = id; }
    int getType() const { return type_; }
    void setType(int type) { type_ = type; }
    bool isBoolType() const { return type_ == 0; }
    const std::string& getShortDescription() const { return shortDesc_; }
    const std::string& getLongDescription() const { return longDesc_; }
    const std::string& getTaskName() const { return name_; }
    void setShortDescription(const std::string& text) { shortDesc_ = text; }
    void setLongDescription(const std::string& text) { longDesc_ = text; }
    void setTaskName(const std::string& text) { name_ = text; }

    // Types 9 and 10 only; exact case.
    bool hasStringValue(const std::string& text) const;

    bool readFromXml(bvparser_internal::bv_XMLHelper& helper, bvparser_internal::bv_XmlHandle task);
    bool writeToXml(bvparser_internal::bv_XmlWriter& writer, bvparser_internal::bv_XmlHandle task) const;

private:
    int id_ = -1;
    std::string shortDesc_;
    std::string longDesc_;
    std::string name_;
    int type_ = 0;
    std::set<int> ints_;
    std::set<double> doubles_;
    std::set<std::string> strings_;
};

class bv_security_tasks : public bv_errs {
public:
    bv_security_tasks() = default;

    bool addOrMergeTask(const bv_security_task& task);
    // A copy of the n-th task in ascending ID order; an empty task (ID -1)
    // out of range.
    bv_security_task getTaskByIndex(int n) const;
    int getNumberOfTasks() const { return static_cast<int>(tasks_.size()); }
    bool hasTask(int id) const { return tasks_.count(id) != 0; }
    bool hasStringValue(int id, const std::string& text) const;
    bool isDatabasePermitted(const std::string& name) const;
    void clear() { tasks_.clear(); }

    // filter: when given, only tasks whose ID it holds are read or written.
    bool readFromXml(const bv_security_tasks* filter, bvparser_internal::bv_XMLHelper& helper,
                     bvparser_internal::bv_XmlHandle list);
    bool writeToXml(const bv_security_tasks* filter, bvparser_internal::bv_XmlWriter& writer,
                    bvparser_internal::bv_XmlHandle list) const;

private:
    std::map<int, bv_security_task> tasks_;
};

}  // namespace brenvik
