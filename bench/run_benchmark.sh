#!/usr/bin/env bash
# Times a whole V3 update and a whole stack + V2 update by the shipped updater against the virtual
# master, and prints the wall time, the updater's CPU time and the floor the fixed waits impose.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s build-demo
exec build/test/tests/e2e/iolink-demo --benchmark
