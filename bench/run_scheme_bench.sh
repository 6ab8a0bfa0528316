#!/usr/bin/env bash
# Times the portable Scheme programs in bench/scheme/ on ombrel-scheme and, when given, on other
# interpreters, and prints the median wall time of each, its ratio to ombrel-scheme and the start-up time.
# See bench/README.md.
set -u
export LC_ALL=C     # a decimal point in $EPOCHREALTIME and awk's output

here=$(cd "$(dirname "$0")" && pwd)
programs_dir=$here/scheme
runs=5
startup_runs=20
limit=60
ombrel="$here/../build-rel/bin/ombrel-scheme"
names=()
declare -A command

usage() {
    cat <<EOF
usage: $0 [-n RUNS] [--ombrel COMMAND] [--peer NAME=COMMAND]... [PROGRAM...]
  Runs each program of bench/scheme (or only the PROGRAMs named, e.g. fib sort) RUNS times (default $runs)
  on every interpreter; a run fails on a non-zero exit, a last output line other than PROGRAM.expected,
  or more than ${limit} s. COMMAND gets the program's path as its last argument.
  --ombrel COMMAND      the ombrel-scheme to time (default build-rel/bin/ombrel-scheme)
  --peer NAME=COMMAND   another interpreter to compare, e.g. --peer other='/opt/other/bin/scheme -q'
EOF
}

selected=()
while [ $# -gt 0 ]; do
    case $1 in
    -n) runs=$2; shift 2 ;;
    --ombrel) ombrel=$2; shift 2 ;;
    --peer)
        case $2 in *=?*) ;; *) echo "--peer wants NAME=COMMAND, not '$2'" >&2; exit 2 ;; esac
        names+=("${2%%=*}"); command[${2%%=*}]=${2#*=}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    -*) usage >&2; exit 2 ;;
    *) selected+=("$1"); shift ;;
    esac
done
case $runs in ''|*[!0-9]*|0) echo "-n wants a positive number of runs" >&2; exit 2 ;; esac

ombrel_path=${ombrel%% *}
if [ ! -x "$ombrel_path" ]; then
    echo "no ombrel-scheme at $ombrel_path; build it with" >&2
    echo "  cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel --target ombrel-scheme" >&2
    exit 2
fi
names=(ombrel "${names[@]}")
command[ombrel]=$ombrel

if [ ${#selected[@]} -eq 0 ]; then
    for f in "$programs_dir"/*.scm; do selected+=("$(basename "$f" .scm)"); done
fi
for p in "${selected[@]}"; do
    [ -f "$programs_dir/$p.scm" ] && [ -f "$programs_dir/$p.expected" ] ||
        { echo "no program $p (wants $programs_dir/$p.scm and $p.expected)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: > "$work/empty.scm"

declare -A median      # [interpreter|program] -> median seconds, absent when a run failed
# Runs happen in command substitutions (subshells), so failures are collected in a file.
fail() { printf '%s\n' "$1" >> "$work/failures"; }

median_of() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; m = int((NR + 1) / 2);
                                                   printf "%.3f\n", NR % 2 ? v[m] : (v[m] + v[m + 1]) / 2 }'; }

# One run: prints the seconds taken, or returns 1 after recording why it failed.
# The command is split into words at blanks (no quoting), so it may carry options; the file comes last.
# $EPOCHREALTIME costs no process, so the time is the interpreter's plus timeout's fork and exec.
run_once() {
    local name=$1 file=$2 expected=$3 label=$4 start end status got words
    read -ra words <<< "${command[$name]}"
    start=$EPOCHREALTIME
    timeout -k 5 "$limit" "${words[@]}" "$file" > "$work/out" 2> "$work/err" < /dev/null
    status=$?
    end=$EPOCHREALTIME
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        fail "$label on $name: no result after ${limit} s"; return 1
    fi
    if [ $status -ne 0 ]; then
        fail "$label on $name: exit $status: $(head -c 200 "$work/err" | tr '\n' ' ')"; return 1
    fi
    # The last non-empty line is the result, so an interpreter's banner does not count against it.
    got=$(tr -d '\r' < "$work/out" | sed 's/[[:space:]]*$//' | awk 'NF { line = $0 } END { print line }')
    if [ -n "$expected" ] && [ "$got" != "$expected" ]; then
        fail "$label on $name: printed '$got', expected '$expected'"; return 1
    fi
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

# Runs a file COUNT times on one interpreter; stops at the first failure, so a hung program costs one timeout.
measure() {
    local name=$1 file=$2 expected=$3 label=$4 count=$5 i t times=""
    for ((i = 0; i < count; i++)); do
        t=$(run_once "$name" "$file" "$expected" "$label") || return 1
        times+="$t"$'\n'
    done
    printf '%s' "$times" | median_of
}

measure_into() {
    local key=$1 m; shift
    m=$(measure "$@") && median[$key]=$m
}

for p in "${selected[@]}"; do
    expected=$(sed 's/[[:space:]]*$//' "$programs_dir/$p.expected" | awk 'NF { line = $0 } END { print line }')
    for name in "${names[@]}"; do
        printf '%-10s on %-10s ...\r' "$p" "$name" >&2
        measure_into "$name|$p" "$name" "$programs_dir/$p.scm" "$expected" "$p" "$runs"
    done
done
for name in "${names[@]}"; do
    printf '%-10s on %-10s ...\r' start-up "$name" >&2
    measure_into "$name|start-up" "$name" "$work/empty.scm" "" start-up "$startup_runs"
done
# What the harness itself adds to each run: /bin/true timed the same way.
command[harness]=/bin/true
measure_into "harness|start-up" harness "$work/empty.scm" "" harness "$startup_runs"
printf '%40s\r' '' >&2

# ---- table -----------------------------------------------------------------------------------------------------

cell() { [ -n "${median[$1]:-}" ] && printf '%s' "${median[$1]}" || printf 'FAIL'; }
ratio() {   # ratio NAME PROGRAM: the peer's median / ombrel's; '-' when either failed
    local a=${median[$1|$2]:-} b=${median[ombrel|$2]:-}
    [ -n "$a" ] && [ -n "$b" ] && awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }' || printf -- '-'
}

echo "Median wall seconds of $runs runs (start-up: $startup_runs runs of an empty file); ratio = time / ombrel's time."
header=$(printf '%-10s %10s' program ombrel)
for name in "${names[@]:1}"; do header+=$(printf ' %10s %7s' "$name" ratio); done
echo "$header"
for p in "${selected[@]}" start-up; do
    line=$(printf '%-10s %10s' "$p" "$(cell "ombrel|$p")")
    for name in "${names[@]:1}"; do line+=$(printf ' %10s %7s' "$(cell "$name|$p")" "$(ratio "$name" "$p")"); done
    echo "$line"
done

# Geometric means over the programs (not start-up): of each interpreter's times over those it completed, and of
# a peer's ratios over those both it and ombrel completed.
geomean() { awk -v digits="$1" '{ for (i = 1; i <= NF; i++) s += log($i) }
                                END { if (NF) printf "%.*f", digits, exp(s / NF); else printf "-" }'; }
times_of() { for p in "${selected[@]}"; do [ -n "${median[$1|$p]:-}" ] && printf '%s ' "${median[$1|$p]}"; done; }
ratios_of() {
    for p in "${selected[@]}"; do
        [ -n "${median[$1|$p]:-}" ] && [ -n "${median[ombrel|$p]:-}" ] &&
            awk -v a="${median[$1|$p]}" -v b="${median[ombrel|$p]}" 'BEGIN { if (b > 0) printf "%s ", a / b }'
    done
}
line=$(printf '%-10s %10s' geomean "$(times_of ombrel | geomean 3)")
counts="ombrel $(times_of ombrel | wc -w)/${#selected[@]}"
for name in "${names[@]:1}"; do
    line+=$(printf ' %10s %7s' "$(times_of "$name" | geomean 3)" "$(ratios_of "$name" | geomean 2)")
    counts+=", $name $(times_of "$name" | wc -w)/${#selected[@]} (ratio over $(ratios_of "$name" | wc -w))"
done
echo "$line"
echo "(programs completed: $counts; each time includes ${median[harness|start-up]:-?} s of harness, /bin/true timed alike)"

if [ -s "$work/failures" ]; then
    echo "Failures:"
    sed 's/^/  /' "$work/failures"
fi
ombrel_failed=0
for p in "${selected[@]}" start-up; do [ -n "${median[ombrel|$p]:-}" ] || ombrel_failed=1; done
exit $ombrel_failed
