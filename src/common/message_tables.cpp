#include "common/message_tables.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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

// The built-in tables are looked up through indexes sorted by number when the
// program is built, so that a process pays nothing at start for them.
struct IndexEntry {
    int number;
    std::uint16_t position;
};

template <std::size_t N>
constexpr std::array<IndexEntry, N> sortedIndex(const int (&numbers)[N]) {
    std::array<IndexEntry, N> index{};
    for (std::size_t i = 0; i < N; ++i) index[i] = {numbers[i], static_cast<std::uint16_t>(i)};
    // By number, then by table position: the first entry of a number wins.
    std::sort(index.begin(), index.end(), [](const IndexEntry& x, const IndexEntry& y) {
        return x.number != y.number ? x.number < y.number : x.position < y.position;
    });
    return index;
}

template <std::size_t N>
constexpr std::size_t distinctNumbers(const std::array<IndexEntry, N>& index) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < N; ++i) n += (i == 0 || index[i].number != index[i - 1].number) ? 1 : 0;
    return n;
}

template <std::size_t N>
constexpr bool repeatsANonZeroNumber(const std::array<IndexEntry, N>& index) {
    for (std::size_t i = 1; i < N; ++i) {
        if (index[i].number != 0 && index[i].number == index[i - 1].number) return true;
    }
    return false;
}

template <std::size_t N>
constexpr const IndexEntry* findNumber(const std::array<IndexEntry, N>& index, int number) {
    const IndexEntry* at = std::lower_bound(index.begin(), index.end(), number,
                                            [](const IndexEntry& e, int n) { return e.number < n; });
    return at != index.end() && at->number == number ? at : nullptr;
}

template <std::size_t N, std::size_t M>
constexpr bool shareANumber(const std::array<IndexEntry, N>& a, const std::array<IndexEntry, M>& b) {
    for (const IndexEntry& e : a) {
        if (findNumber(b, e.number) != nullptr) return true;
    }
    return false;
}

constexpr int kErrorNumbers[] = {
#define TARVEX_ERROR_MESSAGE(severity, number, text) number,
#define TARVEX_LOGGING_MESSAGE(severity, number, text)
#include "common/message_tables.def"
#undef TARVEX_ERROR_MESSAGE
#undef TARVEX_LOGGING_MESSAGE
};
constexpr int kLoggingNumbers[] = {
#define TARVEX_ERROR_MESSAGE(severity, number, text)
#define TARVEX_LOGGING_MESSAGE(severity, number, text) number,
#include "common/message_tables.def"
#undef TARVEX_ERROR_MESSAGE
#undef TARVEX_LOGGING_MESSAGE
};

constexpr auto kErrorIndex = sortedIndex(kErrorNumbers);
constexpr auto kLoggingIndex = sortedIndex(kLoggingNumbers);
// Two texts for one number in the tables would end every process at start.
static_assert(!repeatsANonZeroNumber(kErrorIndex) && !repeatsANonZeroNumber(kLoggingIndex) &&
                  !shareANumber(kErrorIndex, kLoggingIndex),
              "two messages with one number");

// One built-in table and whether it has been registered.
struct BuiltIn {
    const ParserMessage* table;
    std::size_t size;
    const IndexEntry* (*find)(int number);
    std::size_t distinct;
    bool registered;

    const ParserMessage* lookUp(int number) const {
        if (!registered) return nullptr;
        const IndexEntry* e = find(number);
        return e != nullptr ? &table[e->position] : nullptr;
    }
};

// Created on first use and never freed: error objects of other globals may
// look texts up while the process exits. Other tables (tests register their
// own) go into the map.
struct Registry {
    std::mutex mutex;
    std::set<std::pair<int, int>> keys;
    BuiltIn builtIns[2] = {
        {loggingMessageTable, std::size(kLoggingNumbers), [](int n) { return findNumber(kLoggingIndex, n); },
         distinctNumbers(kLoggingIndex), false},
        {errorMessageTable, std::size(kErrorNumbers), [](int n) { return findNumber(kErrorIndex, n); },
         distinctNumbers(kErrorIndex), false},
    };
    std::map<int, const ParserMessage*> messages;

    const ParserMessage* lookUp(int number) const {
        auto it = messages.find(number);
        if (it != messages.end()) return it->second;
        for (const BuiltIn& b : builtIns) {
            if (const ParserMessage* m = b.lookUp(number)) return m;
        }
        return nullptr;
    }
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

[[noreturn]] void twoMessagesWithOneNumber(int number) {
    // Two texts for one number is a build fault: stop with a failure status
    // rather than report success.
    std::printf("Fatal logging error. Two messages with the number: 0x%x @%s:%d", number, "message_tables.cpp", 240);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

void registerMessages(const bv_log*, const ParserMessage* table, std::size_t count, int key1, int key2) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.keys.insert({key1, key2}).second) return;
    for (BuiltIn& b : r.builtIns) {
        if (table != b.table || count != b.size || b.registered) continue;
        // The tables hold no number twice, and the two share none; only a
        // number of another table can clash.
        if (!r.messages.empty()) {
            for (std::size_t i = 0; i < count; ++i) {
                if (table[i].number != 0 && r.messages.count(table[i].number) != 0)
                    twoMessagesWithOneNumber(table[i].number);
            }
        }
        b.registered = true;
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ParserMessage& m = table[i];
        if (r.lookUp(m.number) != nullptr) {
            if (m.number != 0) twoMessagesWithOneNumber(m.number);
            continue;
        }
        r.messages.emplace(m.number, &m);
    }
}

std::string getMessageText(int number, int& severity) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const ParserMessage* m = r.lookUp(number);
    if (m == nullptr) {
        severity = 2;
        return "Tarvex Parser error: " + std::to_string(number) + " (no description available)";
    }
    severity = m->severity;
    return m->text;
}

int getMessageSeverity(int number) {
    int severity = 2;
    getMessageText(number, severity);
    return severity;
}

std::size_t registeredMessageCount() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::size_t count = r.messages.size();
    for (const BuiltIn& b : r.builtIns) {
        // A number 0 taken from another table first is counted once.
        if (b.registered) count += b.distinct - (b.find(0) != nullptr && r.messages.count(0) != 0 ? 1 : 0);
    }
    return count;
}

}  // namespace brenvik
