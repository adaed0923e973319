#include "common/logging_monitor.h"

namespace brenvik {

int bv_loggingregistry::registerListener(bv_loglistener* listener) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (const auto& [id, l] : listeners)
        if (l == listener) return -1;
    ++lastId;
    listeners[lastId] = listener;
    return lastId;
}

bool bv_loggingregistry::unregisterListener(int id) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return listeners.erase(id) == 1;
}

bv_loglistener* bv_loggingregistry::getListener(int id) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = listeners.find(id);
    return it == listeners.end() ? nullptr : it->second;
}

void bv_loggingregistry::logMessage(std::uint32_t mask, int source, int number, const std::string& text,
                                    const std::string& file, int line, int extra) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!(mask & getLevel(source))) return;
    // Walked by ID so that a listener removed meanwhile is skipped.
    for (int id = 1; id <= lastId; ++id) {
        auto it = listeners.find(id);
        if (it != listeners.end()) it->second->onMessage(mask, source, number, text, file, line, extra);
    }
}

std::uint32_t bv_loggingregistry::getLevel(int source) const {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = levels.find(source);
    if (it != levels.end()) return it->second;
    if (source != DEFAULT_SOURCE) {
        it = levels.find(DEFAULT_SOURCE);
        if (it != levels.end()) return it->second;
    }
    return 3;
}

void bv_loggingregistry::setLevel(std::uint32_t mask, int source) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (source == DEFAULT_SOURCE) levels.clear();
    levels[source] = mask;
}

bv_loggingmonitor& getLoggingMonitor() {
    static bv_loggingmonitor* monitor = new bv_loggingmonitor();
    return *monitor;
}

}  // namespace brenvik
