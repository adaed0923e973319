#pragma once
// bv_loggingmonitor: the process-wide hub to which every library error object
// forwards the messages that the level of its source admits. Listeners
// receive each admitted message; the monitor does not own them. Listener
// operations, levels and delivery are serialised by the registry's mutex.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace brenvik {

class bv_loglistener {
public:
    virtual ~bv_loglistener() = default;
    virtual void onMessage(std::uint32_t mask, int source, int number, const std::string& text,
                           const std::string& file, int line, int extra) = 0;
};

class bv_loggingregistry {
public:
    static constexpr int DEFAULT_SOURCE = 0xFFFF;

    bv_loggingregistry() { levels[DEFAULT_SOURCE] = 3; }

    int registerListener(bv_loglistener* listener);
    bool unregisterListener(int id);
    bv_loglistener* getListener(int id);
    int getNumberOfListeners() const { return lastId; }
    void logMessage(std::uint32_t mask, int source, int number, const std::string& text, const std::string& file,
                    int line, int extra);
    std::uint32_t getLevel(int source) const;
    void setLevel(std::uint32_t mask, int source);

private:
    mutable std::recursive_mutex mutex;  // recursive: delivery reads the level under it
    std::map<int, std::uint32_t> levels;
    int lastId = 0;
    std::map<int, bv_loglistener*> listeners;
};

class bv_loggingmonitor {
public:
    bv_loggingmonitor() : registry(new bv_loggingregistry()) {}
    virtual ~bv_loggingmonitor() { delete registry; }
    bv_loggingmonitor(const bv_loggingmonitor&) = delete;
    bv_loggingmonitor& operator=(const bv_loggingmonitor&) = delete;

    // The ID of the new listener, or -1 when that pointer is registered already.
    virtual int registerListener(bv_loglistener* listener) { return registry->registerListener(listener); }
    virtual bool unregisterListener(int id) { return registry->unregisterListener(id); }
    virtual bv_loglistener* getListener(int id) { return registry->getListener(id); }
    // IDs handed out so far, removed ones included.
    virtual int getNumberOfListeners() { return registry->getNumberOfListeners(); }
    virtual void logMessage(std::uint32_t mask, int source, int number, const std::string& text,
                            const std::string& file, int line, int extra) {
        registry->logMessage(mask, source, number, text, file, line, extra);
    }
    virtual std::uint32_t getLevel(int source) { return registry->getLevel(source); }
    // Setting the default source (0xFFFF) first removes every other level.
    virtual void setLevel(std::uint32_t mask, int source) { registry->setLevel(mask, source); }

private:
    bv_loggingregistry* registry;
};

// The process-wide monitor: built on first use, never destroyed.
bv_loggingmonitor& getLoggingMonitor();

}  // namespace brenvik
