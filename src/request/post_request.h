#pragma once
// The common frame of a CGI POST request to either tool: it owns what the
// request needs (results writer, parsed parameters, configuration, genetic
// codes, taxonomy rules), runs the fixed sequence from the content-type line
// to the end of the XML document, and hands the work to the tool's class
// through process(). One object per process; not thread-safe.
#include <cstdio>
#include <memory>

#include "config/bv_configfile.h"
#include "database/genetic_codes.h"
#include "database/seq_iter.h"
#include "database/taxonomy_rules.h"
#include "request/request_params.h"
#include "request/upload_stream.h"
#include "request/xml_results_writer.h"
#include "security/bv_session.h"

class post_request : public AccessionMarker {
public:
    // toolId: -14 taxonomy tool, -13 sequence tool; toolKind: 1 taxonomy, 0 sequence.
    post_request(int toolId, int toolKind, std::FILE* out = stdout, std::FILE* in = stdin);
    virtual ~post_request() = default;
    post_request(const post_request&) = delete;
    post_request& operator=(const post_request&) = delete;

    // Runs the whole request; always 0 (a POST run never fails its process).
    int run();
    // Reads and parses the body; false after an error was added.
    bool readRequest();
    // Records a found accession; false once every requested one is found.
    bool markAccessionFound(std::string_view accession, int32_t sequenceIndex) override;

protected:
    // Everything between the checks and the end of the document: the error
    // list's end, exactly one results element carrying jobNumber and, when
    // ok, the warnings. Called in every case.
    virtual void process(bool ok, brenvik::bv_session& session) = 0;

    xml_results_writer writer;
    request_params params;
    int jobNumber;
    brenvik::bv_configfile config;
    std::unique_ptr<GeneticCodeTables> geneticCodes;
    brenvik::TAXONOMY_RULES rules;
    int toolKind;
    // Set by process when a mapped database file was cut short while the
    // request read it (M512 reported): process shows nothing read after
    // that and no warnings, and run adds error 512 after the results.
    bool databaseReadFailed = false;
    std::FILE* out_;
    std::FILE* in_;
};
