#!/bin/sh
# bv-seqfetch POST of 100,000 and 10,000 accessions on a 500,000-entry protein
# database, in file mode and mapped mode, beside the peer tools that are
# installed (cdbyank, seqkit, blastdbcmd) on the same FASTA file and the same
# accessions. Run by hand:
#
#   bench/seq.sh [build folder (build)] [work folder (build/bench-seq)] [entries (500000)]
#
# Real titles: the UniProt entries of Debian's mmseqs2-examples
# (apt-get install mmseqs2-examples); without it the titles are synthetic.
# Peers for the ratios: apt-get install cdbfasta seqkit ncbi-blast+.
# The layout is kept in the work folder and reused while the entry count
# stays the same; peer indexes are built once beside it.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=${2:-$build/bench-seq}
entries=${3:-500000}
mkdir -p "$work"

bench=$build/bench/seqfetch_post_bench
if [ ! -x "$bench" ]; then
    echo "build first: TARVEX_JOBS=4 scripts/build build (then ninja -C build seqfetch_post_bench)" >&2
    exit 1
fi

source=""
examples=/usr/share/doc/mmseqs2/example-data/DB.fasta.gz
if [ -f "$examples" ]; then
    source=$work/uniprot-examples.fasta
    [ -s "$source" ] || zcat "$examples" > "$source"
else
    echo "mmseqs2-examples not installed: synthetic titles" >&2
fi

"$bench" "$work" "$entries" $source | tee "$work/seqfetch.txt"

# Both modes must give the same documents (the job number aside).
for r in 0 1 2; do
    if ! cmp -s "$work/out-file$r.xml" "$work/out-mapped$r.xml" &&
        [ "$(sed 's/jobid="[0-9-]*"//' "$work/out-file$r.xml" | md5sum)" != \
          "$(sed 's/jobid="[0-9-]*"//' "$work/out-mapped$r.xml" | md5sum)" ]; then
        echo "request $r: file mode and mapped mode answer differently" >&2
    fi
done

fasta=$work/install/sequence/SwissProt/SwissProt_1.fasta
list100=$work/acc100000.txt
list10=$work/acc10000.txt

# Wall seconds of a command, best of three (warm page cache).
best() {
    b=""
    for _ in 1 2 3; do
        s=$(date +%s.%N)
        "$@" > /dev/null 2>&1 || return 1
        e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc -l)
        if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
    done
    printf '%.3f' "$b"
}

ours() {  # mode, request text
    grep "^$1 *$2 " "$work/seqfetch.txt" | awk '{print $(NF-2)}'
}

peers=$work/peers.txt
: > "$peers"
if command -v cdbfasta > /dev/null && command -v cdbyank > /dev/null; then
    [ -f "$fasta.cidx" ] || cdbfasta "$fasta" > /dev/null 2>&1
    t100=$(best sh -c "cdbyank '$fasta.cidx' < '$list100'")
    t10=$(best sh -c "cdbyank '$fasta.cidx' < '$list10'")
    echo "cdbyank $t100 $t10" >> "$peers"
fi
if command -v seqkit > /dev/null; then
    t100=$(best seqkit grep -j 1 -f "$list100" "$fasta")
    t10=$(best seqkit grep -j 1 -f "$list10" "$fasta")
    echo "seqkit $t100 $t10" >> "$peers"
fi
if command -v makeblastdb > /dev/null && command -v blastdbcmd > /dev/null; then
    [ -f "$work/blast/db.pin" ] || [ -f "$work/blast/db.00.pin" ] ||
        makeblastdb -in "$fasta" -dbtype prot -parse_seqids -out "$work/blast/db" > /dev/null 2>&1 || true
    if t100=$(best blastdbcmd -db "$work/blast/db" -entry_batch "$list100"); then
        t10=$(best blastdbcmd -db "$work/blast/db" -entry_batch "$list10")
        echo "blastdbcmd $t100 $t10" >> "$peers"
    fi
fi

echo
echo "peer        100,000 s  10,000 s   ratio of bv-seqfetch to the peer (file / mapped)"
while read -r peer t100 t10; do
    line=$(printf '%-10s %9s %9s ' "$peer" "$t100" "$t10")
    for req in "100000 SHOWTITLE" "100000 TITLE+SEQUENCE+LEN+PI" "10000 SHOWTITLE"; do
        case $req in 100000*) p=$t100 ;; *) p=$t10 ;; esac
        f=$(ours file "$req"); m=$(ours mapped "$req")
        line="$line  $(echo "$req" | cut -d' ' -f2): $(printf '%.2f' "$(echo "$f / $p" | bc -l)")/$(printf '%.2f' "$(echo "$m / $p" | bc -l)")"
    done
    echo "$line"
done < "$peers"
