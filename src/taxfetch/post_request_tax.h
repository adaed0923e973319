#pragma once
// The taxonomy tool's CGI POST request: many accessions and taxonomy IDs of
// one database answered as one XML document. The frame (post_request) reads
// and checks the request; process() loads the database's taxonomy, registers
// a job, finds the accessions in one pass over the database and writes the
// errors, the one results element and the warnings.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "database/accession.h"
#include "database/bv_job.h"
#include "database/species_names.h"
#include "database/taxonomy_tree.h"
#include "request/post_request.h"

class CSequenceIterator;

class post_request_tax : public post_request {
public:
    explicit post_request_tax(int toolId, std::FILE* out = stdout, std::FILE* in = stdin);
    ~post_request_tax() override;

protected:
    void process(bool ok, brenvik::bv_session& session) override;

public:
    // Names, translation table and lineage of one taxonomy ID: 0, 400 (the
    // table is not loaded; table 1 is given) or 470 (the tree lacks the ID).
    // The lineage's names lie in the name lists, or are scientificName itself.
    int describeTaxonomy(int taxId, CTaxonomyNodeSet& nodes, std::string& scientificName, int& tableId,
                         std::set<std::string>& otherNames, std::vector<std::string_view>& lineage);
    void writeTaxonomy(int taxId, const std::string& scientificName, int tableId,
                       const std::set<std::string>& otherNames, const std::vector<std::string_view>& lineage);
    void writeDbEntry(CSequenceIterator& iterator, CTaxonomyNodeSet& nodes, int n);

private:
    // Whether the tree holds the ID for the error list.
    bool treeHolds(CTaxonomyNodeSet& nodes, int taxId);
    // The work that needs a registered job and its database record.
    void answerItems(brenvik::ControlFileRecord& record, CTaxonomyNodeSet& nodes);
    void writeWarnings();

    brenvik::CJobManager jobManager_;
    brenvik::AccessionRule accessionRule_;
    SpeciesNamesById names_;
    const brenvik::bv_databaseentry* database_ = nullptr;
};
