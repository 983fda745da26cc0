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

# Holds a write lock on FILE (as a live run marks its replacement file) in
# the background until killed; returns once it holds it, the holder's
# process ID in $holder.
hold_write_lock() {
  local marker=$1.held-marker
  rm -f "$marker"
  python3 -c 'import fcntl, sys, time
f = open(sys.argv[1], "r+")
fcntl.lockf(f, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(600)' "$1" "$marker" &
  holder=$!
  until [ -e "$marker" ]; do
    kill -0 "$holder" 2>/dev/null || { fail "could not lock $1"; return 1; }
    sleep 0.01
  done
  rm -f "$marker"
}

# Makes DIR a test's account directory, empty, as the installed one is
# (root's, sticky, writable by all), below directories nobody else may write.
account_dir_ready() {
  mkdir -p "$1" && chmod 755 "$(dirname "$1")" && chmod 1777 "$1" && find "$1" -mindepth 1 -delete
}

# Starts a scheduler of the test's own in DIR with the queues named, stopped
# when the test ends; its socket in $socket.
own_scheduler() {
  local dir=$1 cups
  shift
  cups=$(dirname "${BASH_SOURCE[0]}")/cups-scheduler
  "$cups" start "$dir" "$@" || { fail "cannot start a scheduler in $dir"; exit 1; }
  trap "'$cups' stop '$dir'" EXIT
  socket=$dir/cups.sock
}

# Ends the test as skipped (status 77) unless it runs as root: NAME, WHY.
need_root() { [ "$(id -u)" -eq 0 ] || { echo "$1 skipped: needs root ($2)"; exit 77; }; }

# The unprivileged account ordinary-user cases run as (65534), as a command
# prefix.
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
