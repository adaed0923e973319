#pragma once
// The CGI POST request of bv-seqfetch: many accessions of one database, each
// with an optional reading frame, answered as one XML document with a
// protein element per found accession.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "database/accession.h"
#include "database/seq_iter.h"
#include "request/post_request.h"

class CTaxonomyNodeSet;

class post_request_seq : public post_request {
public:
    explicit post_request_seq(int toolId = -13, std::FILE* out = stdout, std::FILE* in = stdin);

protected:
    void process(bool ok, brenvik::bv_session& session) override;
    // One protein element for requested accession i (found by the scan).
    void writeProtein(size_t i, CSequenceIterator& iterator, CTaxonomyNodeSet* nodes);

private:
    bool nucleicAcid_ = false;
    // The database's accession rule while its proteins are written.
    brenvik::AccessionRule accessionRule_;
    // Reused by every protein whose shown sequence is decoded.
    std::string sequenceText_;
    // (requested accession, warning code) in request order.
    std::vector<std::pair<size_t, int>> warned_;
};

// The POST road of bv-seqfetch's main: runs the request, returns 0.
int runSequencePost();
