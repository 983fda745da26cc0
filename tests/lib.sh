# SPDX-License-Identifier: Apache-2.0
# Sourced by the shell tests: counting what failed, and the summary line
# that ends each test with the status ctest reads.
failures=0

# Notes a failure and goes on.
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The permission bits of a file, in octal, or nothing.
mode_of() { stat -c %a "$1" 2>/dev/null; }

# Ends the test: "NAME: N problems", status 0 only without any.
finish() {
  echo "$1: $failures problems"
  [ "$failures" -eq 0 ]
}
