#include "security/bv_security_tasks.h"

#include "security/bv_security_schema.h"

namespace brenvik {

using bvparser_internal::bv_XmlHandle;
using bvparser_internal::bv_XMLHelper;
using bvparser_internal::bv_XmlWriter;
namespace bvs = bvparser_internal::bvs;

namespace {

constexpr int kAllDatabasesTask = 9;
constexpr int kDatabaseListTask = 10;

bool isSingleInt(int type) { return type >= 1 && type <= 3; }
bool isIntList(int type) { return type == 4 || type == 11 || type == 12; }
bool isSingleDouble(int type) { return type >= 5 && type <= 7; }
bool isDoubleList(int type) { return type == 8; }

}  // namespace

bool bv_security_task::addIntValue(int value) {
    if (isSingleInt(type_)) ints_.clear();
    else if (!isIntList(type_)) return false;
    ints_.insert(value);
    return true;
}

bool bv_security_task::addDoubleValue(double value) {
    if (isSingleDouble(type_)) doubles_.clear();
    else if (!isDoubleList(type_)) return false;
    doubles_.insert(value);
    return true;
}

bool bv_security_task::addStringValue(const std::string& value) {
    if (type_ == 9) strings_.clear();
    else if (type_ != 10) return false;
    strings_.insert(value);
    return true;
}

void bv_security_task::clearValues() {
    ints_.clear();
    doubles_.clear();
    strings_.clear();
}

bool bv_security_task::hasStringValue(const std::string& text) const {
    return (type_ == 9 || type_ == 10) && strings_.count(text) != 0;
}

bool bv_security_task::readFromXml(bv_XMLHelper& helper, bv_XmlHandle task) {
    bv_XmlHandle e = helper.getChildElement(task, bvs::task_id, 0);
    if (!helper.isOK() || !e) return false;
    id_ = helper.getInt(e);
    e = helper.getChildElement(task, bvs::short_desc, 0);
    if (!helper.isOK() || !e) return false;
    shortDesc_ = helper.getString(e);
    e = helper.getChildElement(task, bvs::long_desc, 0);
    if (!helper.isOK() || !e) return false;
    longDesc_ = helper.getString(e);
    e = helper.getChildElement(task, bvs::task_name, 0);
    if (!helper.isOK() || !e) return false;
    name_ = helper.getString(e);
    e = helper.getChildElement(task, bvs::type, 0);
    if (!helper.isOK() || !e) return false;
    type_ = helper.getInt(e);

    clearValues();
    bv_XmlHandle values = helper.getChildElement(task, bvs::values_array, 0);
    if (!helper.isOK() || !values) return false;
    const bool hasValue = helper.hasChildElement(values, bvs::value, 0);
    auto first = [&] { return helper.getChildElement(values, bvs::value, 0); };
    if (isSingleInt(type_)) {
        addIntValue(hasValue ? helper.getInt(first()) : 0);
    } else if (isSingleDouble(type_)) {
        addDoubleValue(hasValue ? helper.getDouble(first()) : 0.0);
    } else if (type_ == 9) {
        addStringValue(hasValue ? helper.getString(first()) : std::string());
    } else if (isIntList(type_) || isDoubleList(type_) || type_ == 10) {
        for (bv_XmlHandle v = hasValue ? first() : bv_XmlHandle(); v; v = helper.getNextSiblingElement(v, bvs::value)) {
            if (type_ == 10) addStringValue(helper.getString(v));
            else if (isDoubleList(type_)) addDoubleValue(helper.getDouble(v));
            else addIntValue(helper.getInt(v));
        }
    }
    return helper.isOK();
}

bool bv_security_task::writeToXml(bv_XmlWriter& writer, bv_XmlHandle task) const {
    writer.setInt(writer.addChild(task, bvs::task_id), id_);
    writer.setText(writer.addChild(task, bvs::short_desc), shortDesc_);
    writer.setText(writer.addChild(task, bvs::long_desc), longDesc_);
    writer.setText(writer.addChild(task, bvs::task_name), name_);
    writer.setInt(writer.addChild(task, bvs::type), type_);
    bv_XmlHandle values = writer.addChild(task, bvs::values_array);
    if (type_ == 0) {
        writer.setBool(writer.addChild(values, bvs::value), true);
    } else if (isSingleDouble(type_) || isDoubleList(type_)) {
        for (double d : doubles_) writer.setDouble(writer.addChild(values, bvs::value), d, 6);
    } else if (type_ == 9 || type_ == 10) {
        for (const std::string& s : strings_) writer.setText(writer.addChild(values, bvs::value), s);
    } else if (isSingleInt(type_) || isIntList(type_)) {
        for (int i : ints_) writer.setInt(writer.addChild(values, bvs::value), i);
    }
    return writer.isOK();
}

bool bv_security_tasks::addOrMergeTask(const bv_security_task& task) {
    if (task.getTaskID() < 0) return false;
    auto it = tasks_.find(task.getTaskID());
    if (it == tasks_.end()) {
        tasks_.emplace(task.getTaskID(), task);
        return true;
    }
    bv_security_task& existing = it->second;
    const int type = task.getType();
    if (type == 2 || type == 3) {
        std::vector<int> mine = existing.getIntValues();
        std::vector<int> theirs = task.getIntValues();
        if (!theirs.empty() &&
            (mine.empty() || (type == 2 ? mine.front() < theirs.front() : theirs.front() < mine.front())))
            existing.addIntValue(theirs.front());
    } else if (type == 6 || type == 7) {
        std::vector<double> mine = existing.getDoubleValues();
        std::vector<double> theirs = task.getDoubleValues();
        if (!theirs.empty() &&
            (mine.empty() || (type == 6 ? mine.front() < theirs.front() : theirs.front() < mine.front())))
            existing.addDoubleValue(theirs.front());
    } else if (type == 5 || type == 8) {
        for (double d : task.getDoubleValues()) existing.addDoubleValue(d);
    } else if (type == 1 || type == 4 || type == 11 || type == 12) {
        for (int i : task.getIntValues()) existing.addIntValue(i);
    } else if (type == 9 || type == 10) {
        for (const std::string& s : task.getStringValues()) existing.addStringValue(s);
    }
    return true;
}

bv_security_task bv_security_tasks::getTaskByIndex(int n) const {
    if (n < 0 || n >= static_cast<int>(tasks_.size())) return bv_security_task();
    auto it = tasks_.begin();
    std::advance(it, n);
    return it->second;
}

bool bv_security_tasks::hasStringValue(int id, const std::string& text) const {
    auto it = tasks_.find(id);
    return it != tasks_.end() && it->second.hasStringValue(text);
}

bool bv_security_tasks::isDatabasePermitted(const std::string& name) const {
    auto all = tasks_.find(kAllDatabasesTask);
    if (all != tasks_.end() && all->second.isBoolType()) return !hasStringValue(kDatabaseListTask, name);
    return hasStringValue(kDatabaseListTask, name);
}

bool bv_security_tasks::readFromXml(const bv_security_tasks* filter, bv_XMLHelper& helper, bv_XmlHandle list) {
    tasks_.clear();
    bv_XmlHandle element = helper.hasChildElement(list, bvs::task, 0) ? helper.getChildElement(list, bvs::task, 0)
                                                                      : bv_XmlHandle();
    for (; element; element = helper.getNextSiblingElement(element, bvs::task)) {
        if (!helper.isOK()) return false;
        bv_security_task task;
        if (!task.readFromXml(helper, element)) return false;
        if (filter && !filter->hasTask(task.getTaskID())) continue;
        addOrMergeTask(task);
    }
    return helper.isOK();
}

bool bv_security_tasks::writeToXml(const bv_security_tasks* filter, bv_XmlWriter& writer,
                                   bv_XmlHandle list) const {
    for (const auto& [id, task] : tasks_) {
        if (id < 0 || (filter && !filter->hasTask(id))) continue;
        bv_XmlHandle element = writer.addChild(list, bvs::task);
        if (!writer.isOK() || !task.writeToXml(writer, element)) return false;
    }
    return writer.isOK();
}

}  // namespace brenvik
