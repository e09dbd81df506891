#!/usr/bin/env bash
# Measures kestro-update's speed and memory goals. Every figure is a ratio against a reference
# measured in the same run, and a median over repetitions: REPS (default 5), 4 x REPS for the
# short runs of c, 3 for the 10-second waits of d. BENCHMARKS.md explains the methods and
# records the results.
# Builds build-bench/ (Release, benchmarks on, tests off). Usage: scripts/bench.sh
#   a. capture: run_capture of 256 MiB stdout + 256 MiB stderr vs plain pipes and Python
#   b. start-up: a refused command line vs /bin/true
#   c. a whole update with do-nothing tools: the helper's own CPU time and peak RSS
#   d. waiting 10 s for the parent: CPU time of the wait
#   e. log_line and find_app_bundle (Google Benchmark)
set -euo pipefail

cd "$(dirname "$0")/.."
. scripts/lib/configure.sh
. scripts/lib/require.sh
. scripts/lib/needs.sh
require_named "to build and run the benchmarks" "${needs_bench[@]}"
root=$(pwd -P)
reps=${REPS:-5}
mib=256 # per stream; the capture moves twice this

tmpbase=${TMPDIR:-/tmp}
work=$(mktemp -d "${tmpbase%/}/kestro-bench.XXXXXX")
sleeper=
waiter=
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
	if [ -n "$sleeper" ]; then kill "$sleeper" 2>/dev/null || true; fi
	if [ -n "$waiter" ]; then kill "$waiter" 2>/dev/null || true; fi
	rm -rf "$work"
}
trap cleanup EXIT

section() { printf '\n=== %s\n' "$*"; }
# field KEY LINE: the value of KEY=VALUE in LINE.
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }
# median NUMBERS...
median() {
	printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1}
		END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# calc EXPR: EXPR evaluated by awk, 3 decimals.
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
# verdict CONDITION: "met" or "MISSED", CONDITION as awk sees it.
verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo MISSED; fi; }

section "Building build-bench/ (Release)"
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_BENCHMARKS=ON \
	-DKESTRO_BUILD_TESTS=OFF "${this_mac_only[@]}" && cmake --build build-bench -j2; } >"$work/build.log" 2>&1; then
	tail -n 30 "$work/build.log"
	exit 1
fi
bench=$root/build-bench/bench
helper_build=$root/build-bench/kestro-update
child=$bench/bench_child
echo "built; $(nproc) cores; $reps repetitions per figure"

# ---------------------------------------------------------------------------------------
section "a. Capture: bench_child $mib (${mib} MiB to stdout + ${mib} MiB to stderr, 64 KiB blocks)"
declare -a t_pipe t_ours t_py t_floor rss_ours rss_time rss_py
have_time=no
if [ -x /usr/bin/time ] && /usr/bin/time -f %M -o "$work/t" true 2>/dev/null; then have_time=yes; fi
for ((i = 0; i < reps; i++)); do
	# Limit: the same bytes through two plain pipes, each drained by a cat into /dev/null.
	# Inside the group, stderr goes to the first cat, stdout to fd 3, the second cat.
	t_pipe+=("$({
		TIMEFORMAT=%3R
		time { { "$child" "$mib" 2>&1 1>&3 | cat >/dev/null; } 3>&1 | cat >/dev/null; }
	} 2>&1)")
	if [ "$have_time" = yes ]; then
		line=$(/usr/bin/time -f %M -o "$work/t" "$bench/bench_capture" "$child" "$mib")
		rss_time+=("$(tail -n 1 "$work/t")")
	else
		line=$("$bench/bench_capture" "$child" "$mib")
	fi
	t_ours+=("$(field seconds "$line")")
	rss_ours+=("$(field peak_rss_kib "$line")")
	line=$(python3 - "$child" "$mib" <<'PY'
import resource, subprocess, sys, time
start = time.perf_counter()
r = subprocess.run([sys.argv[1], sys.argv[2]], capture_output=True)
seconds = time.perf_counter() - start
assert r.returncode == 0 and len(r.stdout) == len(r.stderr) == int(sys.argv[2]) << 20
print(f"seconds={seconds:.4f} peak_rss_kib={resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}")
PY
	)
	t_py+=("$(field seconds "$line")")
	rss_py+=("$(field peak_rss_kib "$line")")
	line=$("$bench/bench_capture" --floor "$child" "$mib")
	t_floor+=("$(field seconds "$line")")
done
bytes=$((2 * mib * 1024 * 1024))
p=$(median "${t_pipe[@]}") o=$(median "${t_ours[@]}") y=$(median "${t_py[@]}") f=$(median "${t_floor[@]}")
for name in pipe o y f; do
	case $name in pipe) s=$p label="plain pipes + cat (limit)" ;; o) s=$o label="run_capture" ;;
	y) s=$y label="python subprocess.run" ;; f) s=$f label="floor: presized buffer" ;; esac
	printf '  %-28s median %6.3f s  %7.1f MiB/s\n' "$label" "$s" "$(calc "$bytes / 1048576 / $s")"
done
r_pipe=$(calc "$p / $o") r_py=$(calc "$y / $o") r_floor=$(calc "$f / $o")
ro=$(median "${rss_ours[@]}")
r_rss=$(calc "$ro * 1024 / $bytes")
printf '  run_capture peak RSS (getrusage) median %d KiB' "$ro"
if [ "$have_time" = yes ]; then printf ', /usr/bin/time: %d KiB' "$(median "${rss_time[@]}")"; fi
printf '; python: %d KiB\n' "$(median "${rss_py[@]}")"
echo "  throughput vs plain pipes: $r_pipe  (goal >= 0.9: $(verdict "$r_pipe >= 0.9"))"
echo "  throughput vs python:      $r_py  (goal >= 1: $(verdict "$r_py >= 1"))"
echo "  throughput vs the floor:   $r_floor"
echo "  peak RSS / bytes captured: $r_rss  (goal <= 2: $(verdict "$r_rss <= 2"))"

# ---------------------------------------------------------------------------------------
section "b. Start-up: refused command line (no arguments) vs /bin/true, 500 runs each"
declare -a r_start
for ((i = 0; i < reps; i++)); do
	line=$(KESTRO_UPDATE_LOG=$work/startup.log "$bench/bench_startup" 500 "$helper_build" /bin/true)
	[ "$i" = 0 ] && printf "  %s\n" "${line//$'\n'/$'\n  '}"
	grep -q 'kestro-update: .*exit=1$' <<<"$line" || { echo "helper did not refuse" >&2; exit 1; }
	r_start+=("$(field ratio "$line")")
done
r=$(median "${r_start[@]}")
echo "  ratio of mean wall times, median of $reps: $r  (goal <= 2: $(verdict "$r <= 2"))"

# ---------------------------------------------------------------------------------------
# A sandbox: the helper copied into an installed bundle, do-nothing tools alone on PATH.
# make_sandbox DIR
make_sandbox() {
	mkdir -p "$1/Applications/Kestro.app/Contents/MacOS" "$1/bin" "$1/home" "$1/tmp"
	cp "$helper_build" "$1/Applications/Kestro.app/Contents/MacOS/kestro-update"
	: >"$1/Kestro-2.zip"
	# ditto only has to leave a bundle where the helper looks for one.
	# shellcheck disable=SC2016 # the script's own $1 and $4
	printf '#!/bin/sh\nif [ "$1" = -x ]; then /bin/mkdir -p "$4/Kestro.app"; fi\nexit 0\n' >"$1/bin/ditto"
	for tool in osascript launchctl open; do printf '#!/bin/sh\nexit 0\n' >"$1/bin/$tool"; done
	chmod 755 "$1/bin/"*
}
# update_command DIR WAIT_PID: sets update to the command line of one update run there.
update_command() {
	update=("$1/Applications/Kestro.app/Contents/MacOS/kestro-update" --wait-pid "$2"
		--install "$1/Kestro-2.zip" --relaunch "$1/Applications/Kestro.app")
}
# sandbox_env DIR COMMAND...: runs COMMAND with nothing but the sandbox's environment. env
# starts COMMAND, which is bench_own: so env's own start is not counted as the helper's.
sandbox_env() {
	local dir=$1
	shift
	env -i HOME="$dir/home" TMPDIR="$dir/tmp/" PATH="$dir/bin" KESTRO_UPDATE_LOG="$dir/update.log" "$@"
}
/bin/true &
gone=$!
wait "$gone" # a pid that is no longer there: no wait at all

section "c. A whole update, do-nothing tools: the helper's own CPU time and peak RSS"
make_sandbox "$work/c"
update_command "$work/c" "$gone"
declare -a c_cpu c_all c_rss t_cpu t_rss
creps=$((4 * reps)) # short runs, and the most variable figure
for ((i = 0; i < creps; i++)); do
	line=$(sandbox_env "$work/c" "$bench/bench_own" "${update[@]}")
	[ "$(field exit "$line")" = 0 ] || { echo "update failed: $line" >&2; exit 1; }
	c_cpu+=("$(field own_cpu_us "$line")")
	c_all+=("$(field wait4_cpu_us "$line")")
	line=$(sandbox_env "$work/c" "$bench/bench_own" --trace "${update[@]}")
	[ "$(field exit "$line")" = 0 ] || { echo "update failed: $line" >&2; exit 1; }
	c_rss+=("$(field peak_rss_kib "$line")")
	line=$("$bench/bench_own" /bin/true)
	t_cpu+=("$(field own_cpu_us "$line")")
	line=$("$bench/bench_own" --trace /bin/true)
	t_rss+=("$(field peak_rss_kib "$line")")
done
grep -q ' done$' "$work/c/update.log" || { echo "the update did not finish" >&2; exit 1; }
cc=$(median "${c_cpu[@]}") ca=$(median "${c_all[@]}") cr=$(median "${c_rss[@]}")
tc=$(median "${t_cpu[@]}") tr=$(median "${t_rss[@]}")
echo "  medians of $creps runs each"
printf '  helper:    own CPU %.3f ms (with its tools, as wait4 counts: %.3f ms), peak RSS %d KiB\n' \
	"$(calc "$cc / 1000")" "$(calc "$ca / 1000")" "$cr"
printf '  /bin/true: own CPU %.3f ms, peak RSS %d KiB\n' "$(calc "$tc / 1000")" "$tr"
echo "  ratios to /bin/true: CPU $(calc "$cc / $tc"), RSS $(calc "$cr / $tr")"
echo "  own CPU < 5 ms: $(verdict "$cc < 5000");  peak RSS < 4 MiB: $(verdict "$cr < 4096")"

# ---------------------------------------------------------------------------------------
section "d. Waiting 10 s for the parent: CPU time of the wait"
# Each time one sleeper (a child of this shell, which reaps it) is waited for by two
# processes at once: bench_wait, which calls wait_for_parent and nothing else, and the helper
# copy, whose whole run (the wait, then the update) is measured by bench_own.
make_sandbox "$work/d"
declare -a d_wait d_wall d_cpu
dreps=3
for ((i = 0; i < dreps; i++)); do
	sleep 10 &
	sleeper=$!
	"$bench/bench_wait" "$sleeper" >"$work/wait.txt" &
	waiter=$!
	update_command "$work/d" "$sleeper"
	line=$(sandbox_env "$work/d" "$bench/bench_own" "${update[@]}")
	[ "$(field exit "$line")" = 0 ] || { echo "update failed: $line" >&2; exit 1; }
	d_cpu+=("$(field own_cpu_us "$line")")
	wait "$waiter" || { echo "bench_wait failed" >&2; exit 1; }
	waiter=
	wait "$sleeper" || true
	sleeper=
	line=$(cat "$work/wait.txt")
	d_wait+=("$(field cpu_us "$line")")
	d_wall+=("$(field wall_ms "$line")")
done
probes=
if command -v strace >/dev/null; then
	sleep 10 &
	sleeper=$!
	update_command "$work/d" "$sleeper"
	sandbox_env "$work/d" "$(command -v strace)" -o "$work/strace.txt" -e trace=kill "${update[@]}" || true
	wait "$sleeper" || true
	sleeper=
	probes=$(grep -c "^kill(" "$work/strace.txt" || true)
fi
dw=$(median "${d_wait[@]}") dl=$(median "${d_wall[@]}") dc=$(median "${d_cpu[@]}")
printf '  wait_for_parent: %.3f ms of CPU over a %.1f s wait = %s %% of one core (median of %d)\n' \
	"$(calc "$dw / 1000")" "$(calc "$dl / 1000")" "$(calc "$dw / 1000 / $dl * 100")" "$dreps"
printf '  the helper, the wait and then the update: own CPU %.3f ms (without a wait, c: %.3f ms)\n' \
	"$(calc "$dc / 1000")" "$(calc "$cc / 1000")"
if [ -n "$probes" ]; then echo "  probes (kill calls seen by strace, one run): $probes"; fi
echo "  wait CPU < 10 ms: $(verdict "$dw < 10000")"

# ---------------------------------------------------------------------------------------
section "e. log_line and find_app_bundle (Google Benchmark, median of $reps repetitions)"
TMPDIR=$work "$bench/bench_functions" --benchmark_repetitions="$reps" \
	--benchmark_report_aggregates_only=true --benchmark_out="$work/functions.json" \
	--benchmark_out_format=json 2>&1 | grep -E '_median|BigO|RMS' | sed 's/^/  /'
python3 - "$work/functions.json" <<'PY'
import json, sys
rows = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
t = lambda name: rows[name]["real_time"] / {"ns": 1, "us": 1e3, "ms": 1e6}[rows[name]["time_unit"]]
print(f"  log_line: {rows['BM_LogLine']['lines/s']:,.0f} lines/s;"
      f" time vs a bare open+write+close: {t('BM_LogLine') / t('BM_LogLineReference'):.2f}")
for small, big in ((10000, 20000), (100000, 200000)):
    print(f"  find_app_bundle {big // 1000}k/{small // 1000}k time ratio:"
          f" {t(f'BM_FindAppBundle/{big}') / t(f'BM_FindAppBundle/{small}'):.2f} (linear: 2)")
for n in (10000, 20000, 100000, 200000):
    print(f"  find_app_bundle vs readdir + stat, {n // 1000}k entries:"
          f" {t(f'BM_FindAppBundle/{n}') / t(f'BM_FindAppBundleReference/{n}'):.2f}")
PY
