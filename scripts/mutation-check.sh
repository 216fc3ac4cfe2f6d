#!/usr/bin/env bash
# Mutation spot check: applies one small deliberate fault at a time to the sources, rebuilds, and
# runs the tests meant to catch it. A mutant is KILLED when those tests fail (or hang past the time
# limit), SURVIVED when they pass, INVALID when its text cannot be placed or does not compile, or
# when its tests already fail without it.
#
#   scripts/mutation-check.sh [options]
#     --build-dir DIR       build tree to rebuild incrementally (default: build-mutation)
#     --mutations FILE      mutant list (default: scripts/mutations.txt)
#     --only ID[,ID...]     run only these mutants
#     --list                list the mutants and where their text is found, then exit
#     --jobs N              build and ctest parallelism (default: 2)
#     --test-timeout SEC    ctest's limit for tests that set none of their own (default: 120)
#     --run-timeout SEC     limit for one whole ctest run of a mutant (default: 180)
#     --table FILE          also write the final table and summary to FILE
#     --no-baseline         skip checking that each selection of tests passes without mutants
#
# Mutants are found by their text, never by file name, so they survive code moving between folders.
# The tree is restored after every mutant and on any exit, Ctrl-C included; a tree with changes in
# src/, agent-helper/src/, common/ or server/src/ is refused, so a mutant can never end up in a commit.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="build-mutation"
mutations="$root/scripts/mutations.txt"
only=""
list_only=0
jobs=2
test_timeout=120
run_timeout=180
table_file=""
baseline=1

die() {
  echo "mutation-check: $*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir) build_dir="${2:?}"; shift 2 ;;
    --mutations) mutations="${2:?}"; shift 2 ;;
    --only) only="${2:?}"; shift 2 ;;
    --list) list_only=1; shift ;;
    --jobs) jobs="${2:?}"; shift 2 ;;
    --test-timeout) test_timeout="${2:?}"; shift 2 ;;
    --run-timeout) run_timeout="${2:?}"; shift 2 ;;
    --table) table_file="${2:?}"; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) die "unknown option: $1 (see --help)" ;;
  esac
done

[[ -f "$mutations" ]] || die "no mutant list at $mutations"
[[ "$build_dir" = /* ]] || build_dir="$root/$build_dir"
command -v python3 >/dev/null || die "python3 is needed"
command -v timeout >/dev/null || die "timeout (coreutils) is needed"

work="$(mktemp -d "${TMPDIR:-/tmp}/mutation-check.XXXXXX")"
helper="$work/mutants.py"

# Parsing the list and placing a mutant need exact text handling, which is python's job here.
cat >"$helper" <<'PY'
import os
import re
import shutil
import sys

SEARCH_ROOTS = ("src", "agent-helper/src", "common", "server/src")
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp")
KEYS = ("id", "what", "tests", "from", "to")


def fail(message):
    print(f"mutation-check: {message}", file=sys.stderr)
    sys.exit(2)


def parse(path):
    mutants, current, order = [], {}, []

    def finish(line_number):
        if not current:
            return
        missing = [key for key in KEYS if key not in current]
        if missing:
            fail(f"{path}:{line_number}: mutant {current.get('id', '?')!r} lacks {', '.join(missing)}")
        if not re.fullmatch(r"[A-Za-z0-9._-]+", current["id"]):
            fail(f"{path}:{line_number}: bad id {current['id']!r}")
        if current["id"] in order:
            fail(f"{path}:{line_number}: id {current['id']!r} appears twice")
        if not current["from"]:
            fail(f"{path}:{line_number}: mutant {current['id']!r} has an empty 'from'")
        if current["from"] == current["to"]:
            fail(f"{path}:{line_number}: mutant {current['id']!r} changes nothing")
        if not current["tests"].split():
            fail(f"{path}:{line_number}: mutant {current['id']!r} selects no tests")
        order.append(current["id"])
        mutants.append(dict(current))
        current.clear()

    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            finish(number)
            continue
        key, sep, value = line.partition(":")
        if not sep or key not in KEYS:
            fail(f"{path}:{number}: expected one of {', '.join(KEYS)} followed by ':'")
        if value and not value.startswith(" "):
            fail(f"{path}:{number}: a value starts after ': '")
        if key in current:
            fail(f"{path}:{number}: {key} given twice in one mutant")
        current[key] = value[1:] if value else ""
    finish(len(lines))
    return mutants


def select(mutants, only):
    if not only:
        return mutants
    wanted = [name for name in only.split(",") if name]
    known = {m["id"] for m in mutants}
    unknown = [name for name in wanted if name not in known]
    if unknown:
        fail(f"unknown mutant id(s): {', '.join(unknown)}")
    return [m for m in mutants if m["id"] in wanted]


def source_files(root):
    for base in SEARCH_ROOTS:
        for folder, dirs, files in os.walk(os.path.join(root, base)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.join(folder, name)


def locate(root, text):
    """(path, None) for exactly one occurrence in the whole tree, else (None, reason)."""
    hits = []
    for path in source_files(root):
        with open(path, "rb") as f:
            count = f.read().count(text.encode("utf-8"))
        if count:
            hits.append((os.path.relpath(path, root), count))
    total = sum(count for _, count in hits)
    if total == 1:
        return hits[0][0], None
    if total == 0:
        return None, "not found"
    return None, "ambiguous: " + ", ".join(f"{path} x{count}" for path, count in hits)


def mutant(mutants, wanted):
    for m in mutants:
        if m["id"] == wanted:
            return m
    fail(f"unknown mutant id {wanted}")


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "ids":
        # id, tests and description, one mutant a line; none of them holds a tab.
        path, only = args
        for m in select(parse(path), only):
            print(f"{m['id']}\t{m['tests']}\t{m['what']}")
    elif command == "where":
        # Where each mutant's text is, for --list.
        path, only, root = args
        for m in select(parse(path), only):
            found, reason = locate(root, m["from"])
            print(f"{m['id']}\t{m['tests']}\t{found or reason}")
    elif command == "apply":
        # Copies the original aside, writes the mutant, prints the file; exit 3 when it cannot be placed.
        path, wanted, root, backup = args
        m = mutant(parse(path), wanted)
        found, reason = locate(root, m["from"])
        if not found:
            print(reason)
            sys.exit(3)
        target = os.path.join(root, found)
        shutil.copyfile(target, backup)
        with open(target, "rb") as f:
            data = f.read()
        with open(target, "wb") as f:
            f.write(data.replace(m["from"].encode("utf-8"), m["to"].encode("utf-8"), 1))
        print(found)
    else:
        fail(f"unknown helper command {command}")


main()
PY

mapfile -t records < <(python3 "$helper" ids "$mutations" "$only") || die "cannot read $mutations"
[[ ${#records[@]} -gt 0 ]] || die "no mutants selected"

if [[ $list_only -eq 1 ]]; then
  printf '%-30s %-45s %s\n' "ID" "TESTS" "FOUND IN"
  python3 "$helper" where "$mutations" "$only" "$root" | while IFS=$'\t' read -r id tests found; do
    printf '%-30s %-45s %s\n' "$id" "$tests" "$found"
  done
  rm -rf "$work"
  exit 0
fi

cd "$root"
if [[ -n "$(git status --porcelain -- src agent-helper/src common server/src)" ]]; then
  git status --short -- src agent-helper/src common server/src >&2
  die "src/, agent-helper/src/, common/ or server/src/ has changes; commit or stash them first"
fi

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-/work}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"

applied=""   # the file that holds a mutant right now, relative to the root
backup="$work/original"
child=""     # the build or test run in progress

restore() {
  if [[ -n "$applied" ]]; then
    # Written anew (not copied with its old time stamp), so the next build recompiles the original.
    cat "$backup" >"$root/$applied"
    applied=""
  fi
}

on_exit() {
  local status=$?
  restore
  rm -rf "$work"
  exit "$status"
}

on_signal() {
  echo >&2
  echo "mutation-check: interrupted; restoring the tree" >&2
  if [[ -n "$child" ]]; then kill -TERM "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
  exit 130
}

trap on_exit EXIT
trap on_signal INT TERM HUP

# Runs a command in the background so a signal reaches our handler at once; returns its status.
run_child() {
  "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=""
  return "$status"
}

build() {
  run_child cmake --build "$build_dir" -j "$jobs" >"$1" 2>&1
}

# ctest for one selection of tests; a whole run that overstays its limit is ended with its children
# (timeout signals its own process group) and reported as status 124.
run_tests() {
  local log="$1"
  shift
  run_child timeout -k 10 "$run_timeout" ctest --test-dir "$build_dir" "$@" --stop-on-failure \
    --timeout "$test_timeout" -j "$jobs" --repeat until-pass:2 --output-on-failure >"$log" 2>&1
}

logs="$build_dir/mutation-logs"
if [[ ! -f "$build_dir/build.ninja" && ! -f "$build_dir/Makefile" ]]; then
  echo "configuring $build_dir"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOVA_BUILD_BENCH=OFF >/dev/null
fi
mkdir -p "$logs"
echo "building the unmutated tree in $build_dir"
build "$logs/clean-build.log" || die "the unmutated tree does not build; see $logs/clean-build.log"

started=$SECONDS

# Each selection of tests must match something and pass on the unmutated tree, or its kills say nothing.
declare -A selection_problem=()
selections=()
for record in "${records[@]}"; do
  IFS=$'\t' read -r _ tests _ <<<"$record"
  [[ -n "${selection_problem[$tests]+set}" ]] && continue
  selection_problem[$tests]=""
  selections+=("$tests")
done
for tests in "${selections[@]}"; do
  read -ra selector <<<"$tests"
  count="$(ctest --test-dir "$build_dir" -N "${selector[@]}" | sed -n 's/^Total Tests: //p')"
  if [[ "${count:-0}" -eq 0 ]]; then
    selection_problem[$tests]="selects no test"
  elif [[ $baseline -eq 1 ]]; then
    log="$logs/baseline-$(echo "$tests" | tr -c 'A-Za-z0-9' '_').log"
    if ! run_tests "$log" "${selector[@]}"; then selection_problem[$tests]="fails unmutated"; fi
  fi
  printf 'tests %-45s %3s test(s) %s\n' "$tests" "${count:-0}" "${selection_problem[$tests]:-ok}"
done

results=()
killed=0 survived=0 invalid=0
row() { printf '%-30s %-9s %5s  %s\n' "$@"; }
echo
row "MUTANT" "RESULT" "SECS" "DETAIL"
for record in "${records[@]}"; do
  IFS=$'\t' read -r id tests _ <<<"$record"
  read -ra selector <<<"$tests"
  mutant_started=$SECONDS
  log="$logs/$id.log"
  result="" detail=""
  if [[ -n "${selection_problem[$tests]}" ]]; then
    result=INVALID detail="tests '$tests' ${selection_problem[$tests]}"
  else
    placed=0
    if where="$(python3 "$helper" apply "$mutations" "$id" "$root" "$backup")"; then
      placed=1
    else
      status=$?
      [[ $status -eq 3 ]] || die "could not apply $id"
    fi
    if [[ $placed -eq 0 ]]; then
      result=INVALID detail="$where"
    else
      applied="$where"
      if ! build "$log"; then
        result=INVALID detail="$where: does not compile"
      else
        status=0
        run_tests "$log.tests" "${selector[@]}" || status=$?
        cat "$log.tests" >>"$log"
        rm -f "$log.tests"
        # The test that failed for good, from ctest's closing list; a run cut short has no such list,
        # and then the first failure it printed stands in.
        failed_test="$(sed -n '/tests FAILED:/,$p' "$log" | sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) .*/\1/p' | head -n1)"
        [[ -n "$failed_test" ]] || failed_test="$(grep -m1 -E 'Test +#[0-9]+: .*(\*\*\*|Subprocess aborted|Child aborted)' "$log" |
          sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' || true)"
        if [[ $status -eq 0 ]]; then
          result=SURVIVED detail="$where"
        elif [[ $status -eq 124 || $status -eq 137 ]]; then
          result=KILLED detail="$where: ${failed_test:+$failed_test, }run cut at ${run_timeout}s"
        else
          result=KILLED detail="$where: ${failed_test:-ctest exit status $status}"
        fi
      fi
      restore
      # The tree must be exactly as committed before the next mutant goes in.
      git diff --quiet -- src agent-helper/src common server/src || die "restoring after $id left changes in the tree"
    fi
  fi
  case "$result" in
    KILLED) killed=$((killed + 1)) ;;
    SURVIVED) survived=$((survived + 1)) ;;
    INVALID) invalid=$((invalid + 1)) ;;
  esac
  line="$(row "$id" "$result" "$((SECONDS - mutant_started))" "$detail")"
  echo "$line"
  results+=("$line")
done

# Leaves the build tree matching the sources again (the compiler cache makes this quick).
build "$logs/final-build.log" || echo "mutation-check: the final rebuild failed; see $logs/final-build.log" >&2

total=${#records[@]}
elapsed=$((SECONDS - started))
summary="killed $killed of $total (survived $survived, invalid $invalid)"
{
  echo
  row "MUTANT" "RESULT" "SECS" "DETAIL"
  printf '%s\n' "${results[@]}"
  echo
  echo "$summary"
  printf 'run time %dm%02ds\n' $((elapsed / 60)) $((elapsed % 60))
} | tee "${table_file:-/dev/null}"
