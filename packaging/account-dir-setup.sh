# SPDX-License-Identifier: Apache-2.0
# Built into the install rule's helper and into the package's postinst.
#
# setup_account_dir DIR: creates DIR with mode 1777 when it is missing, and
# any missing directory above it with mode 0755 (like
# /tmp: everyone may add their own files, the sticky bit keeps users from
# replacing each other's; an existing one keeps the mode its administrator
# set), and an empty status file, mode 0644, owned by whoever installs, when
# none exists, so that no user can plant one before root first writes it.
# Fails, naming the path, when the directory or the status file found there
# is not one the tool would use: a failed installation is what an
# administrator must see.
setup_account_dir() {
  if [ ! -d "$1" ]; then
    # Whatever the umask: the tool refuses a path that others could change,
    # and mkdir -p would give the directories above the installer's umask.
    (umask 022 && mkdir -p "$1")
    chmod 1777 "$1"
  fi
  set -- "$1" "$(id -u)"
  # Owned by the installer and, when others may write in it, sticky.
  case $(stat -L -c '%u %A' "$1") in
    "$2 "d????-??-?) ;;
    "$2 "d????????[tT]) ;;
    *)
      echo "setup: $1 must belong to user $2 and, when others may write in it, have the sticky bit (chmod 1777)" >&2
      return 1
      ;;
  esac
  if [ ! -e "$1/status" ] && [ ! -L "$1/status" ]; then
    # Made under a private name and linked into place: ln -T never follows,
    # descends into or replaces a name that someone planted meanwhile. Should
    # that happen, the check below reports it.
    status_tmp=$(mktemp "$1/.status.XXXXXX")
    chmod 0644 "$status_tmp"
    ln -T "$status_tmp" "$1/status" 2>/dev/null || :
    rm -f "$status_tmp"
  fi
  if [ -L "$1/status" ] || [ ! -f "$1/status" ] ||
    [ "$(stat -c '%u %a %h' "$1/status")" != "$2 644 1" ]; then
    echo "setup: $1/status must be a regular file of user $2 with mode 0644 and one link: inspect it, remove it and install again" >&2
    return 1
  fi
}
