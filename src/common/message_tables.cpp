#include "common/message_tables.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace brenvik {

const ParserMessage errorMessageTable[] = {
#define TARVEX_ERROR_MESSAGE(severity, number, text) {severity, number, text},
#define TARVEX_LOGGING_MESSAGE(severity, number, text)
#include "common/message_tables.def"
#undef TARVEX_ERROR_MESSAGE
#undef TARVEX_LOGGING_MESSAGE
};
const std::size_t errorMessageTableSize = sizeof(errorMessageTable) / sizeof(errorMessageTable[0]);

const ParserMessage loggingMessageTable[] = {
#define TARVEX_ERROR_MESSAGE(severity, number, text)
#define TARVEX_LOGGING_MESSAGE(severity, number, text) {severity, number, text},
#include "common/message_tables.def"
#undef TARVEX_ERROR_MESSAGE
#undef TARVEX_LOGGING_MESSAGE
};
const std::size_t loggingMessageTableSize = sizeof(loggingMessageTable) / sizeof(loggingMessageTable[0]);

namespace {

// Created on first use and never freed: error objects of other globals may
// look texts up while the process exits.
struct Registry {
    std::mutex mutex;
    std::set<std::pair<int, int>> keys;
    std::map<int, const ParserMessage*> messages;
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

}  // namespace

void registerMessages(const bv_log*, const ParserMessage* table, std::size_t count, int key1, int key2) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.keys.insert({key1, key2}).second) return;
    for (std::size_t i = 0; i < count; ++i) {
        const ParserMessage& m = table[i];
        auto [it, inserted] = r.messages.emplace(m.number, &m);
        if (!inserted && m.number != 0) {
            // Two texts for one number is a build fault: stop with a failure
            // status rather than report success.
            std::printf("Fatal logging error. Two messages with the number: 0x%x @%s:%d", m.number,
                        "message_tables.cpp", 240);
            std::fflush(stdout);
            std::exit(1);
        }
    }
}

std::string getMessageText(int number, int& severity) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.messages.find(number);
    if (it == r.messages.end()) {
        severity = 2;
        return "Tarvex Parser error: " + std::to_string(number) + " (no description available)";
    }
    severity = it->second->severity;
    return it->second->text;
}

int getMessageSeverity(int number) {
    int severity = 2;
    getMessageText(number, severity);
    return severity;
}

std::size_t registeredMessageCount() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.messages.size();
}

}  // namespace brenvik
