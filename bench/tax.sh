#!/usr/bin/env bash
# Taxonomy half of the real-size benchmark (run by hand, never by ctest):
#
#   bench/tax.sh [build folder (build)] [work folder (/tmp/tarvex-taxbench)]
#
# Writes the synthetic full-size NCBI dump once (make_ncbi_dump, kept in the
# work folder), lays out an installation around it (tax_install) and prints
# seconds and peak resident memory of bv-taxfetch for: POSTs of 10, 1,000
# and 100,000 taxonomy IDs with SHOWSYNONYMS and SHOWTAXTREE and of 10 and
# 1,000 accessions (database Big: ENTRIES protein entries, 500,000 by
# default), each against command 7 with warm caches in the same alternating
# rounds (best of ROUNDS, 7 by default); command 8 (species name), the first
# request after the dump changed, and 64 commands 5 to 7 started together
# with no caches.
# Where python3-ete3 is installed, ete3 answers the same 100,000 IDs from
# its sqlite (built once from the same dump and kept) and the ratio is shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=${2:-/tmp/tarvex-taxbench}
# TAXFETCH=<program> measures another build of bv-taxfetch (an older one, say).
program=${TAXFETCH:-$(find "$build/src" -name bv-taxfetch -type f -perm -u+x | head -1)}
[ -x "$program" ] || { echo "no bv-taxfetch in $build" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

mkdir -p "$work/dump"
if [ ! -s "$work/dump/ids.txt" ]; then
    echo "writing the dump..."
    "$build/bench/make_ncbi_dump" "$work/dump"
fi
ls -l "$work/dump"

install="$work/install"
rm -rf "$install"
entries=${ENTRIES:-500000}
"$build/bench/tax_install" "$install" "$work/dump" "$entries"
trap '"$build/bench/tax_install" --stop "$install"' EXIT
cgi="$install/cgi"

# One POST body per ID list: the multipart form the web server passes on.
postBody() {  # <ids file> <body file> [field (TAXID)]
    {
        printf -- '--B\r\nContent-Disposition: form-data; name="DB"\r\n\r\nBig\r\n'
        printf -- '--B\r\nContent-Disposition: form-data; name="%s"\r\n\r\n' "${3:-TAXID}"
        tr '\n' ' ' < "$1"
        printf -- '\r\n--B\r\nContent-Disposition: form-data; name="SHOWSYNONYMS"\r\n\r\n1\r\n'
        printf -- '--B\r\nContent-Disposition: form-data; name="SHOWTAXTREE"\r\n\r\n1\r\n--B--\r\n'
    } > "$2"
}
postBody "$work/dump/ids.txt" "$work/post100k.body"
head -10 "$work/dump/ids.txt" > "$work/ids10.txt"
postBody "$work/ids10.txt" "$work/post10.body"
head -1000 "$work/dump/ids.txt" > "$work/ids1000.txt"
postBody "$work/ids1000.txt" "$work/post1000.body"
# Accessions spread over the database, quoted as the result pages post them.
for n in 10 1000; do
    awk -v n="$n" -v e="$entries" 'BEGIN { for (i = 0; i < n; i++) printf "\"T%07d\"\n", int((i + 0.5) * e / n) }' \
        > "$work/acc$n.txt"
    postBody "$work/acc$n.txt" "$work/acc$n.body" ACCESSION
done

# Runs one request from the cgi folder; prints wall seconds, CPU seconds
# (user + system) and peak resident memory, and leaves the answer in
# $work/out.
timed() {  # <stdin file or -> <program arguments...>
    local input=$1; shift
    local env=(QUERY_STRING= SCRIPT_NAME=/tarvex/cgi/bv-taxfetch.exe REQUEST_METHOD=POST
               REMOTE_ADDR=127.0.0.1 "CONTENT_TYPE=multipart/form-data; boundary=B")
    if [ "$input" = - ]; then
        (cd "$cgi" && /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$program" "$@" > "$work/out" < /dev/null)
    else
        (cd "$cgi" && env "${env[@]}" CONTENT_LENGTH=$(stat -c %s "$input") \
            /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$program" > "$work/out" < "$input")
    fi
    awk '{ printf "%6.2f s  (CPU %5.2f s)  %4.0f MB", $1, $3 + $4, $2 / 1024 }' "$work/time"
}
row() { printf '%-58s %s\n' "$1" "$2"; }

# Wall milliseconds of one run, without /usr/bin/time in between (a warm
# command 7 takes milliseconds); the answer is left in $work/out.
wallMs() {  # <stdin file or -> <program arguments...>
    local input=$1; shift
    local start end
    if [ "$input" = - ]; then
        start=$EPOCHREALTIME
        (cd "$cgi" && exec "$program" "$@" > "$work/out" < /dev/null)
        end=$EPOCHREALTIME
    else
        local length
        length=$(stat -c %s "$input")
        start=$EPOCHREALTIME
        (cd "$cgi" && QUERY_STRING= SCRIPT_NAME=/tarvex/cgi/bv-taxfetch.exe REQUEST_METHOD=POST \
            REMOTE_ADDR=127.0.0.1 CONTENT_TYPE="multipart/form-data; boundary=B" CONTENT_LENGTH=$length \
            exec "$program" > "$work/out" < "$input")
        end=$EPOCHREALTIME
    fi
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) * 1000 }'
}
# Peak resident MB of one run.
peakMb() {  # <stdin file or -> <program arguments...>
    timed "$@" > /dev/null
    awk '{ printf "%.0f", $2 / 1024 }' "$work/time"
}
count() { grep -o "$1" "$work/out" | wc -l; }

removeCaches() { rm -f "$install"/taxonomy/*.cdb; }
scientificName() {  # <taxid>: its scientific name in the dump
    awk -F '\t[|]\t' -v id="$1" '$1 == id && $4 ~ /^scientific name/ { print $2; exit }' "$work/dump/names.dmp"
}

echo
row "request" "wall, CPU, peak resident memory"
removeCaches
row "first request, no caches (command 7, builds them)" "$(timed - 7 Big 2)"
row "command 7, warm caches" "$(timed - 7 Big 2)"
row "command 5, warm caches" "$(timed - 5 Big 2)"
t=$(timed "$work/post100k.body")
row "POST 100,000 IDs, SHOWSYNONYMS + SHOWTAXTREE" "$t ($(count '<bvtx:tax_from_id') answers)"
post100k=$(awk '{ print $1 }' "$work/time")
post100kCpu=$(awk '{ print $3 + $4 }' "$work/time")

# Small requests against a warm command 7, alternating, best of the rounds.
requests=(cmd7 post10 post1000 acc10 acc1000)
declare -A best label answers peak
label[cmd7]="command 7, warm caches"
label[post10]="POST 10 IDs, SHOWSYNONYMS + SHOWTAXTREE"
label[post1000]="POST 1,000 IDs, SHOWSYNONYMS + SHOWTAXTREE"
label[acc10]="POST 10 accessions, SHOWSYNONYMS + SHOWTAXTREE"
label[acc1000]="POST 1,000 accessions, SHOWSYNONYMS + SHOWTAXTREE"
input() {  # <request>: the wallMs / peakMb arguments
    case $1 in
        cmd7) echo - 7 Big 2 ;;
        post*) echo "$work/${1}.body" ;;
        acc*) echo "$work/${1}.body" ;;
    esac
}
[ "$entries" -gt 0 ] || requests=(cmd7 post10 post1000)
for r in "${requests[@]}"; do wallMs $(input "$r") > /dev/null; done  # warm-up
for round in $(seq "${ROUNDS:-7}"); do
    for r in "${requests[@]}"; do
        ms=$(wallMs $(input "$r"))
        if [ -z "${best[$r]:-}" ] || awk -v a="$ms" -v b="${best[$r]}" 'BEGIN { exit !(a < b) }'; then best[$r]=$ms; fi
        case $r in
            cmd7) answers[$r]="$(grep -c -- '->' "$work/out" || true) lineage" ;;
            post*) answers[$r]="$(count '<bvtx:tax_from_id') answers" ;;
            acc*) answers[$r]="$(count '<bvtx:db_entry') entries" ;;
        esac
    done
done
for r in "${requests[@]}"; do peak[$r]=$(peakMb $(input "$r")); done
echo
row "best of ${ROUNDS:-7} alternating rounds" "wall, peak resident memory, ratio to command 7"
for r in "${requests[@]}"; do
    row "${label[$r]}" "$(awk -v a="${best[$r]}" -v c="${best[cmd7]}" -v m="${peak[$r]}" -v n="${answers[$r]}" \
        'BEGIN { printf "%8.1f ms  %4d MB  %6.1fx  (%s)", a, m, a / c, n }')"
done
echo

species=$(scientificName "$(sed -n 5p "$work/dump/ids.txt")")
t=$(timed - 8 Big "$species")
row "command 8 ($species)" "$t ($(grep -c '^Found' "$work/out" || true) found)"
touch "$work/dump/nodes.dmp" "$work/dump/names.dmp"
row "first request after the dump changed (command 7)" "$(timed - 7 Big 2)"

# 64 commands 5 to 7 at once with no caches: the CPU of all of them against
# the CPU of one build, and the longest wall time. CONCURRENT=<n> starts
# fewer (a build that parses the dump in every process needs n times its
# memory).
n=${CONCURRENT:-64}
removeCaches
(cd "$cgi" && /usr/bin/time -f '%e %U %S' -o "$work/one" "$program" 7 Big 2 > /dev/null)
removeCaches
rm -f "$work"/many.*
ids=($(sed -n "1,${n}p" "$work/dump/ids.txt"))
for i in $(seq 0 $((n - 1))); do
    (cd "$cgi" && /usr/bin/time -f '%e %U %S' -o "$work/many.$i" "$program" $((5 + i % 3)) Big "${ids[$i]}" \
        > "$work/many.out.$i") &
done
wait
read -r oneWall oneUser oneSys < "$work/one"
cat "$work"/many.[0-9]* | awk -v n="$n" -v wall="$oneWall" -v cpu="$(echo "$oneUser $oneSys" | awk '{ print $1 + $2 }')" '
    { total += $2 + $3; if ($1 > longest) longest = $1 }
    END { printf "%-58s %.2f s CPU = %.1f builds (one build %.2f s CPU, %.2f s); longest wait %.2f s\n",
                 n " commands 5-7 at once, no caches", total, total / cpu, cpu, wall, longest }'
bad=0
for i in $(seq 0 $((n - 1))); do grep -q "<BR>" "$work/many.out.$i" || bad=$((bad + 1)); done
[ "$bad" = 0 ] || echo "  $bad of the $n answers are missing"

# ete3 on the same 100,000 IDs, from its sqlite built once from this dump
# (ETE3=0 leaves it out).
if [ "${ETE3:-1}" != 0 ] && /usr/bin/python3 -c 'import ete3' 2>/dev/null; then
    if [ ! -s "$work/ete3/taxa.sqlite" ]; then
        echo "building ete3's sqlite once..."
        mkdir -p "$work/ete3"
        : > "$work/dump/merged.dmp"
        tar -C "$work/dump" -czf "$work/ete3/taxdump.tar.gz" nodes.dmp names.dmp merged.dmp
        (cd "$work/ete3" && /usr/bin/python3 -c 'import sys
from ete3 import NCBITaxa
NCBITaxa(dbfile="taxa.sqlite", taxdump_file="taxdump.tar.gz")' > build.log 2>&1)
    fi
    /usr/bin/time -f '%e %M %U %S' -o "$work/time" /usr/bin/python3 - "$work/ete3/taxa.sqlite" "$work/dump/ids.txt" <<'EOF' > "$work/ete3.out"
import sys
from ete3 import NCBITaxa
ncbi = NCBITaxa(dbfile=sys.argv[1])
ids = [int(line) for line in open(sys.argv[2])]
lineages = [ncbi.get_lineage(i) for i in ids]
wanted = set(ids)
for lineage in lineages:
    wanted.update(lineage)
names = ncbi.get_taxid_translator(list(wanted))
print(len(lineages), len(names))
EOF
    ete=$(awk '{ print $1 }' "$work/time")
    eteCpu=$(awk '{ print $3 + $4 }' "$work/time")
    row "ete3: get_lineage + get_taxid_translator, same 100,000 IDs" "$(awk '{ printf "%6.2f s  (CPU %5.2f s)  %4.0f MB", $1, $3 + $4, $2 / 1024 }' "$work/time")"
    awk -v a="$post100k" -v b="$ete" -v ac="$post100kCpu" -v bc="$eteCpu" 'BEGIN {
        printf "%-58s %.2f wall, %.2f CPU (target at most 0.50)\n", "ratio bv-taxfetch POST / ete3", a / b, ac / bc }'
else
    echo "no ete3 comparison (ETE3=0, or python3-ete3 not installed)"
fi
