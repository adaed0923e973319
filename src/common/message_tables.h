#pragma once
// The numbered, severity-graded message texts of the library classes and the
// process-wide registry through which the error objects find them.
// Severities: 1 error, 2 warning, 3 to 6 information and debug output.
#include <cstddef>
#include <string>

namespace brenvik {

struct ParserMessage {
    int severity;
    int number;
    const char* text;
};

extern const ParserMessage errorMessageTable[];
extern const std::size_t errorMessageTableSize;
extern const ParserMessage loggingMessageTable[];
extern const std::size_t loggingMessageTableSize;

class bv_log;

// Adds every entry of the table to the message map, once per key. A non-zero
// number that is already in the map ends the process (status 1) after
// printing "Fatal logging error. Two messages with the number: ...".
void registerMessages(const bv_log* caller, const ParserMessage* table, std::size_t count, int key1, int key2);

// The registered text and severity of a number; for an unregistered number
// "Tarvex Parser error: <number> (no description available)", severity 2.
std::string getMessageText(int number, int& severity);
int getMessageSeverity(int number);
// Number of entries in the message map.
std::size_t registeredMessageCount();

}  // namespace brenvik
