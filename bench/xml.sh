#!/usr/bin/env bash
# Per-process cost of reading one security file with our quick reader
# (build/bench/xml_quick_read, no library loaded) and with libexpat
# (build/bench/xml_expat_read, built when libexpat1-dev is installed),
# beside /bin/true: the measurement behind reading the security files
# without a library. Each reader runs once per process, the rows taking
# turns run by run; medians of wall and CPU time.
#
#   bench/xml.sh [build folder] [runs]      (defaults: build, 500)
#
# The files are the demo installation's, laid out once under
# <build folder>/bench-xml/: the options file in the server's CR LF form,
# and the command-line session that one look-up with security on writes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-500}
work=$build/bench-xml
if [ ! -x "$build/bench/xml_expat_read" ]; then
  echo "xml.sh: $build/bench/xml_expat_read is missing: apt-get install libexpat1-dev, then build again" >&2
  exit 0
fi
if [ ! -f "$work/.complete" ]; then
  rm -rf "$work"
  "$build/tests/demo_install" "$root/demo" "$work" >/dev/null
  options=$work/config/security_options.xml
  sed -i 's|<bvs:securityEnabled>[a-z]*</bvs:securityEnabled>|<bvs:securityEnabled>true</bvs:securityEnabled>|' "$options"
  (cd "$work/cgi" && "$build/src/bv-seqfetch" SwissProt P69905 len >/dev/null)
  sed -i 's/\r*$/\r/' "$options"
  touch "$work/.complete"
fi
session=$(find "$work/sessions" -type f | head -n 1)

python3 - "$runs" "$build/bench" "$work/config/security_options.xml" "$session" <<'PY'
import os, statistics, sys, time
runs, bench, files = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
null = os.open(os.devnull, os.O_RDWR)

def once(argv):
    t0 = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, {}, file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
    _, status, use = os.wait4(pid, 0)
    if status != 0:
        sys.exit("failed: " + " ".join(argv))
    return (time.perf_counter() - t0) * 1000, (use.ru_utime + use.ru_stime) * 1000

for path in files:
    rows = [("/bin/true", ["/bin/true"]),
            ("quick reader", [bench + "/xml_quick_read", path]),
            ("libexpat", [bench + "/xml_expat_read", path])]
    times = {label: ([], []) for label, _ in rows}
    for label, argv in rows:
        once(argv)  # page cache and loader cache warm
    for _ in range(runs):
        for label, argv in rows:
            wall, cpu = once(argv)
            times[label][0].append(wall)
            times[label][1].append(cpu)
    print("%s (%d bytes), %d runs each, medians" % (os.path.basename(path), os.path.getsize(path), runs))
    print("%-14s %8s %8s" % ("", "wall ms", "CPU ms"))
    for label, _ in rows:
        print("%-14s %8.3f %8.3f" % (label, statistics.median(times[label][0]), statistics.median(times[label][1])))
    print()
PY
