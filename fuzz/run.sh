#!/usr/bin/env bash
# Runs each fuzzer of a fuzz build for a number of seconds, on a working
# corpus of its own (build folder) that starts from the seeds under
# fuzz/corpus/NAME, then the catalogue fuzzer.  Prints one line of figures
# per target; exits with 1 when any target found something (kept under
# BUILD/fuzz-findings/).
#   fuzz/run.sh BUILD SECONDS NAME...
set -uo pipefail
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
findings=$build/fuzz-findings
mkdir -p "$findings"
status=0
# Out-of-memory paths answer MemoryError instead of ending the run.
asan=${ASAN_OPTIONS:-allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for name in "$@"; do
  work=$build/fuzz-corpus/$name
  mkdir -p "$work"
  # Python keeps some memory for its whole life (interned names, free
  # lists): leaks are looked for in the targets without Python only.
  case $name in
    split_arguments|trim_lines|exit_text) leaks=1 ;;
    *) leaks=0 ;;
  esac
  export ASAN_OPTIONS=$asan:detect_leaks=$leaks
  dict=()
  [ -f "$here/$name.dict" ] && dict=(-dict="$here/$name.dict")
  log=$build/fuzz-$name.log
  "$build/bin/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
      -detect_leaks=$leaks -rss_limit_mb=4096 -artifact_prefix="$findings/$name-" "${dict[@]}" \
      "$work" "$here/corpus/$name" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
  if [ $rc -ne 0 ]; then
    status=1
    echo "$name: FINDING after ${runs:-?} executions (log $log)"
    grep -m 3 -E 'ERROR|finding|runtime error|SUMMARY' "$log"
  else
    echo "$name: ${runs:-?} executions, $cov, no findings"
  fi
done
if ! python3 "$here/catalog_fuzz.py" --seconds "$seconds" --findings "$findings/catalog"; then
  status=1
fi
exit $status
