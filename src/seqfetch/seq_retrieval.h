#pragma once
// The retrieval of one database entry for the command line and CGI GET, as
// plain text, and the pieces of it that the POST road shares: the title
// piece that names an accession and the stored length that the bytes hold.
#include <optional>
#include <string>
#include <string_view>

class cmdline_request;
class CSequenceIterator;

namespace brenvik {
struct ControlFileRecord;
}

namespace seqfetch {

// The parts an output type selects (first keyword that begins it, any case).
enum SequenceParts : unsigned {
    PART_LENGTH = 1,
    PART_SEQUENCE = 2,
    PART_TITLE = 4,
    PART_REFERENCE = 8,
    PART_PI = 16,
};
unsigned partsOfOutputType(const std::string& outputType);

// The first piece of a title (cut at 0x01, LF and CR) that contains the
// accession (exact case); none when no piece does. Both the text line and the
// POST title element show this piece.
std::optional<std::string_view> titlePieceFor(std::string_view title, std::string_view accession);

// The title line for accession: its title piece with a leading ">" (unless it
// has one) and a line feed; ">\n" when no piece holds the accession.
std::string titleLineFor(const char* title, size_t titleLength, const std::string& accession);

// The stored length of the iterator's entry as far as the bytes it read
// really hold it (residues; for the 2-bit coding the index of the final
// byte): a record whose length runs past its data is read only that far.
int boundedStoredLength(const CSequenceIterator& iterator);

void retrieveSequence(const std::string& database, const std::string& accession, const std::string& outputType,
                      int frame, const std::string& sessionID, cmdline_request& request);

void printSequenceEntry(brenvik::ControlFileRecord& record, const std::string& accession,
                        CSequenceIterator& iterator, const std::string& outputType, int frame,
                        cmdline_request& request);

}  // namespace seqfetch
