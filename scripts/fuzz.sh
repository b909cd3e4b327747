#!/usr/bin/env bash
# Searches the fuzz target of tests/fuzz with libFuzzer, under the address
# and undefined-behaviour sanitizers, for SECONDS (default 60).
#
#   scripts/fuzz.sh [SECONDS]
#
# Needs clang and its libFuzzer runtime (Debian: clang libclang-rt-14-dev).
# Builds the `fuzz` preset (build/fuzz), starts from tests/fuzz/corpus and
# keeps what it learns in build/fuzz/corpus. A failing input is written to
# build/fuzz/ and the script exits non-zero: put the input, under a name that
# says what it holds, into tests/fuzz/corpus, so that every test run
# replays it (ctest's fuzz_agent_input.corpus), and mend the code.
set -uo pipefail
cd "$(dirname "$0")/.." || { echo "fuzz: cannot enter the repository root" >&2; exit 1; }
seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "fuzz: SECONDS must be a whole number" >&2; exit 2; }
command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }

cmake --preset fuzz >/dev/null || { echo "fuzz: configuring the fuzz preset failed" >&2; exit 1; }
cmake --build --preset fuzz || { echo "fuzz: building the fuzz target failed" >&2; exit 1; }
mkdir -p build/fuzz/corpus
exec build/fuzz/tests/fuzz/fuzz_agent_input -max_total_time="$seconds" -max_len=4096 \
  -artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/corpus
