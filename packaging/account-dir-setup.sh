# SPDX-License-Identifier: Apache-2.0
# Built into the install rule's helper and into the package's postinst.
#
# setup_account_dir DIR: creates DIR with mode 1777 when it is missing (like
# /tmp: everyone may add their own files, the sticky bit keeps users from
# replacing each other's; an existing one is left as its administrator set
# it), and an empty status file, mode 0644, owned by whoever installs, when
# none exists, so that no user can plant one before root first writes it.
setup_account_dir() {
  if [ ! -d "$1" ]; then
    mkdir -p "$1"
    chmod 1777 "$1"
  fi
  if [ ! -e "$1/status" ] && [ ! -L "$1/status" ]; then
    # Made under a private name and linked into place: ln never follows or
    # replaces a name that someone planted meanwhile.
    status_tmp=$(mktemp "$1/.status.XXXXXX")
    chmod 0644 "$status_tmp"
    ln "$status_tmp" "$1/status" 2>/dev/null || true
    rm -f "$status_tmp"
  fi
}
