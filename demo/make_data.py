#!/usr/bin/env python3
"""Writes the demo's data files from the sample data of two Debian packages.

Run once by hand (needs emboss-test and kraken2 installed); the results are
kept in this folder, so the demo itself needs neither package:
  SwissProt.fasta, SwissProt.ref  six Swiss-Prot entries of emboss-test
  Virus.fasta, Virus.taxids       the two viral genomes of kraken2's test data
  taxonomy/                       kraken2's small NCBI taxonomy, with the
                                  protein entries' taxa added (taxa_added.dmp)
"""
import gzip
import os
import textwrap

EMBOSS = "/usr/share/EMBOSS/test/swiss/seq.dat"
KRAKEN = "/usr/share/doc/kraken2/test_data"
HERE = os.path.dirname(os.path.abspath(__file__))
ENTRIES = ["HBA_HUMAN", "AQP1_HUMAN", "LACI_ECOLI", "CRU4_ARATH", "ACTB1_TAKRU", "ACH2_DROME"]
# Reference text: the entry's identification and sequence lines.
KEEP = ("ID", "AC", "DE", "GN", "OS", "OC", "OX", "KW", "SQ", "  ", "//")


def swiss_entries():
    entry = []
    with open(EMBOSS) as f:
        for line in f:
            entry.append(line.rstrip("\n"))
            if line.startswith("//"):
                yield entry
                entry = []


def protein_files():
    chosen = {}
    for entry in swiss_entries():
        name = entry[0].split()[1]
        if name in ENTRIES:
            chosen[name] = entry
    with open(os.path.join(HERE, "SwissProt.fasta"), "w") as fasta, \
            open(os.path.join(HERE, "SwissProt.ref"), "w") as ref:
        for name in ENTRIES:
            entry = chosen[name]
            acc = [a for l in entry if l.startswith("AC") for a in l[5:].replace(";", " ").split()]
            full = next(l for l in entry if l.startswith("DE   RecName: Full="))
            desc = full[len("DE   RecName: Full="):].split(" {")[0].rstrip(";")
            species = " ".join(l[5:] for l in entry if l.startswith("OS")).rstrip(".")
            species = species.split(" (")[0]
            taxid = next(l for l in entry if l.startswith("OX"))[len("OX   NCBI_TaxID="):].split(";")[0]
            start = next(i for i, l in enumerate(entry) if l.startswith("SQ"))
            seq = "".join("".join(l.split()) for l in entry[start + 1:-1])
            fasta.write(">sp|%s|%s %s OS=%s OX=%s\n" % (acc[0], name, desc, species, taxid))
            fasta.write("\n".join(textwrap.wrap(seq, 60)) + "\n")
            ref.write("\n".join(l for l in entry if l.startswith(KEEP)) + "\n")


def virus_files():
    with open(os.path.join(KRAKEN, "Acartia_tonsa.fasta")) as f:
        first = f.read()
    with gzip.open(os.path.join(KRAKEN, "Acinetobacter_phage.fasta.gz"), "rt") as f:
        second = f.read()
    with open(os.path.join(HERE, "Virus.fasta"), "w") as out:
        out.write(first if first.endswith("\n") else first + "\n")
        out.write(second if second.endswith("\n") else second + "\n")
    tax = os.path.join(KRAKEN, "test_db", "taxonomy")
    with open(os.path.join(tax, "gi_taxid_nucl.dmp")) as f, \
            open(os.path.join(HERE, "Virus.taxids"), "w") as out:
        out.write(f.read())


def taxonomy_files():
    tax = os.path.join(KRAKEN, "test_db", "taxonomy")
    out = os.path.join(HERE, "taxonomy")
    with open(os.path.join(HERE, "taxa_added.dmp")) as f:
        added = [l.rstrip("\n").split("\t") for l in f if l.strip() and not l.startswith("#")]
    nodes = open(os.path.join(tax, "nodes.dmp")).read()
    names = open(os.path.join(tax, "names.dmp")).read()
    for taxid, parent, rank, division, code, mito, name in added:
        nodes += "\t|\t".join([taxid, parent, rank, "", division, "1", code, "1", mito, "1", "0", "0", ""]) + "\t|\n"
        names += "\t|\t".join([taxid, name, "", "scientific name"]) + "\t|\n"
    open(os.path.join(out, "nodes.dmp"), "w").write(nodes)
    open(os.path.join(out, "names.dmp"), "w").write(names)
    with gzip.open(os.path.join(tax, "gencode.dmp.gz"), "rt") as f:
        open(os.path.join(out, "gencode.dmp"), "w").write(f.read())
    with open(os.path.join(tax, "gi_taxid_nucl.dmp")) as f:
        open(os.path.join(out, "gi_taxid_nucl.dmp"), "w").write(f.read())


if __name__ == "__main__":
    protein_files()
    virus_files()
    taxonomy_files()
