#!/usr/bin/env bash
# Per-process cost of one command-line look-up: runs each program once per
# request, many times, and prints the median wall time of each kind of run
# beside /bin/true and the constant-database and FASTA-index tools of Debian
# (tinycdb `cdb -q`, `fastafetch` from exonerate, `cdbyank -a` from cdbfasta;
# each only when installed), with its ratio to `cdb -q`.
#
#   bench/startup.sh [build folder] [runs]      (defaults: build, 200)
#
# The installation (a 500,000-entry protein database with its accession-index
# cache, the demo's taxonomy) is laid out once by the demo installer under
# <build folder>/bench-startup/ (or $BENCH_WORK, to compare builds on one
# installation) and reused; remove that folder to rebuild it.
# Caches are warmed by one unmeasured run of every command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-200}
entries=500000
work=${BENCH_WORK:-$build/bench-startup}
inst=$work/install

if [ ! -f "$inst/.complete" ]; then
  rm -rf "$work"
  mkdir -p "$work/source"
  cp -r "$root/demo/." "$work/source/"
  # Synthetic entries in the demo's SwissProt form, with a reference entry
  # each; accessions B000000 to B499999.
  awk -v n=$entries -v fasta="$work/source/SwissProt.fasta" -v ref="$work/source/SwissProt.ref" 'BEGIN {
    srand(1); aa = "ACDEFGHIKLMNPQRSTVWY"
    for (i = 0; i < n; i++) {
      acc = sprintf("B%06d", i)
      printf(">sp|%s|P%d_HUMAN Synthetic protein %d OS=Homo sapiens OX=9606\n", acc, i, i) > fasta
      len = 60 + int(rand() * 240); seq = ""
      for (j = 0; j < len; j++) seq = seq substr(aa, 1 + int(rand() * 20), 1)
      for (j = 1; j <= len; j += 60) print substr(seq, j, 60) > fasta
      printf("ID   P%d_HUMAN               Reviewed;         %d AA.\nAC   %s;\n//\n", i, len, acc) > ref
    }
  }'
  "$build/tests/demo_install" "$work/source" "$inst" >/dev/null
  mkdir -p "$inst/lib/tarvex" && chmod go-w "$inst/lib/tarvex"  # or the programs refuse the modules
  cp "$build/src/bv-seqfetch" "$build/src/bv-taxfetch" "$inst/cgi/"
  if ls "$build"/lib/tarvex/*.so >/dev/null 2>&1; then cp "$build"/lib/tarvex/*.so "$inst/lib/tarvex/"; fi
  # The peers' indexes of the same accessions.
  cdb -c -m "$work/acc.cdb" < <(awk '/^>/ { split($0, f, "|"); print f[2], NR }' "$work/source/SwissProt.fasta")
  if command -v fastaindex >/dev/null; then fastaindex -f "$work/source/SwissProt.fasta" -i "$work/fasta.idx" >/dev/null; fi
  if command -v cdbfasta >/dev/null; then cdbfasta "$work/source/SwissProt.fasta" -o "$work/fasta.cidx" >/dev/null 2>&1; fi
  touch "$inst/.complete"
else
  # Always the programs of this build.
  cp "$build/src/bv-seqfetch" "$build/src/bv-taxfetch" "$inst/cgi/"
  rm -f "$inst"/lib/tarvex/*.so
  if ls "$build"/lib/tarvex/*.so >/dev/null 2>&1; then cp "$build"/lib/tarvex/*.so "$inst/lib/tarvex/"; fi
fi

security() {
  sed -i "s|<bvs:securityEnabled>[a-z]*</bvs:securityEnabled>|<bvs:securityEnabled>$1</bvs:securityEnabled>|" \
    "$inst/config/security_options.xml"
}

cat > "$work/measure.py" <<'EOF'
import os, shutil, statistics, subprocess, sys, time

runs, entries, work = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
# 100 accessions spread over the database, one per run in turn.
accessions = ["B%06d" % (i * (entries // 100) + 37) for i in range(100)]
null = os.open(os.devnull, os.O_RDWR)

# Medians of the wall time and of the CPU time (user + system) of a run; on
# a busy machine the CPU time is the steadier figure. The rows take turns
# run by run, so that a slower spell of a shared machine falls on all of
# them alike and the ratios stay comparable.
def run_once(argv):
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, {"PATH": "/usr/bin:/bin"},
                         file_actions=[(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)])
    _, _, usage = os.wait4(pid, 0)
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime

def medians_ms(makers):
    for make_argv in makers:
        subprocess.run(make_argv(0), stdout=null, stderr=null)  # warm caches
    wall = [[] for _ in makers]
    cpu = [[] for _ in makers]
    for i in range(runs):
        for k, make_argv in enumerate(makers):
            w, c = run_once(make_argv(i))
            wall[k].append(w)
            cpu[k].append(c)
    return [(statistics.median(w) * 1000, statistics.median(c) * 1000) for w, c in zip(wall, cpu)]

def tool(name):
    return shutil.which(name)

rows = []
def add(label, make_argv):
    rows.append((label, make_argv))

add("/bin/true", lambda i: ["/bin/true"])
add("tinycdb cdb -q", lambda i: [tool("cdb"), "-q", work + "/acc.cdb", accessions[i % 100]])
if tool("fastafetch") and os.path.exists(work + "/fasta.idx"):
    add("fastafetch", lambda i: [tool("fastafetch"), "-f", work + "/source/SwissProt.fasta", "-i",
                                 work + "/fasta.idx", "-q", "sp|%s|" % accessions[i % 100]])
if tool("cdbyank") and os.path.exists(work + "/fasta.cidx"):
    add("cdbyank -a", lambda i: [tool("cdbyank"), "-a", "sp|%s|P%d_HUMAN" % (accessions[i % 100],
                                 int(accessions[i % 100][1:])), work + "/fasta.cidx"])
mode = os.environ["BENCH_SECURITY"]
for kind in ("title", "seq", "len", "pI"):
    add("bv-seqfetch %s (security %s)" % (kind, mode),
        lambda i, k=kind: ["./bv-seqfetch", "SwissProt", accessions[i % 100], k])
add("bv-taxfetch 1 (security %s)" % mode, lambda i: ["./bv-taxfetch", "1", "SwissProt", accessions[i % 100]])
if mode == "off":
    for command in ("5", "6", "7"):
        add("bv-taxfetch %s (warm)" % command, lambda i, c=command: ["./bv-taxfetch", c, "SwissProt", "9606"])
    add("bv-seqfetch --version", lambda i: ["./bv-seqfetch", "--version"])
    add("bv-taxfetch --version", lambda i: ["./bv-taxfetch", "--version"])
    add("bv-seqfetch usage", lambda i: ["./bv-seqfetch", "SwissProt"])
    add("bv-taxfetch usage", lambda i: ["./bv-taxfetch", "5", "SwissProt"])
    add("bv-seqfetch error page (no such database)", lambda i: ["./bv-seqfetch", "NoSuchDb", "B000001", "title"])
    add("bv-seqfetch accession not found", lambda i: ["./bv-seqfetch", "SwissProt", "X999", "title"])

rows = list(zip([label for label, _ in rows], medians_ms([make for _, make in rows])))
cdb_wall, cdb_cpu = dict(rows)["tinycdb cdb -q"]
print("%-48s %9s %7s %9s %7s" % ("program (%d runs each, medians)" % runs, "wall ms", "× cdb", "CPU ms", "× cdb"))
for label, (wall, cpu) in rows:
    print("%-48s %9.2f %7.1f %9.2f %7.1f" % (label, wall, wall / cdb_wall, cpu, cpu / cdb_cpu))
EOF

cd "$inst/cgi"
security false
BENCH_SECURITY=off python3 "$work/measure.py" "$runs" "$entries" "$work"
echo
security true
BENCH_SECURITY=on python3 "$work/measure.py" "$runs" "$entries" "$work"
echo
# The options file as the server writes it: CR LF line ends (the
# command-line session, written by the programs, has them already).
sed -i 's/\r*$/\r/' "$inst/config/security_options.xml"
BENCH_SECURITY="on, CR LF files" python3 "$work/measure.py" "$runs" "$entries" "$work"
sed -i 's/\r$//' "$inst/config/security_options.xml"
security false
