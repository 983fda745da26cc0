# SPDX-License-Identifier: Apache-2.0
# Sourced by install.sh and maintainer_scripts.sh (after lib.sh).

# An empty status file that nobody else can have planted before root's
# first -e: regular, empty, 0644, the installer's, one link, no temporary
# file left beside it.
check_status_file() {  # directory, what made it
  local status=$1/status
  [ -f "$status" ] && [ ! -s "$status" ] || fail "$2 made no empty status file"
  [ "$(mode_of "$status")" = 644 ] || fail "$2 made the status file $(mode_of "$status")"
  [ "$(stat -c %u:%h "$status")" = "$(id -u):1" ] ||
    fail "$2 made the status file owned and linked as $(stat -c %u:%h "$status")"
  [ -z "$(find "$1" -name '.status.*')" ] || fail "$2 left a temporary file"
}
