#!/usr/bin/env bash
# Runs a wine of a Debian root made by scripts/wine-root.sh: copied there as
# <root>/.host-bin/wine-in-root, with the links wine64 and wineserver to it,
# so that a PATH that starts with <root>/.host-bin runs the root's wine where
# the tests call wine64 and wineserver. The program runs chrooted in a mount
# namespace of its own, where /tmp, $TMPDIR and the directories listed in
# CVSMTPGW_WINE_ROOT_BINDS (':'-separated: the sources, the builds) are the
# host's at the same paths, so that every path a test gives works unchanged.
# The mounts end with the namespace's last process (wineserver's included);
# the host's mounts are never touched. Signals and standard streams reach the
# program itself (exec all the way). Needs root (unshare, chroot).
set -euo pipefail
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
root=$(dirname "$here")
case $(basename "$0") in
  wine64) program=/usr/lib/wine/wine64 ;;
  wineserver) program=/usr/lib/wine/wineserver ;;
  *) echo "wine-in-root: called as $(basename "$0"), not as wine64 or wineserver" >&2; exit 2 ;;
esac
binds=/tmp:${TMPDIR:-}:${CVSMTPGW_WINE_ROOT_BINDS:-}
# Wine 10 tries Wayland first; without a runtime directory libwayland writes an
# error line into the program's standard error, which the tests compare.
export XDG_RUNTIME_DIR=/run/wine-in-root
exec unshare --mount --propagation private -- /bin/bash -c '
  set -e
  root=$1 binds=$2 cwd=$3; shift 3
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  # The names of the host, whose own name wine resolves.
  mount --bind /etc/hosts "$root/etc/hosts"
  IFS=: read -r -a dirs <<<"$binds"
  for dir in "${dirs[@]}"; do
    [[ $dir == /?* && -d $dir ]] || continue
    mkdir -p "$root$dir"
    mount --rbind "$dir" "$root$dir"  # with what is mounted below it (small test disks)
  done
  [[ -d $root$cwd ]] || cwd=/
  exec unshare --root="$root" --wd="$cwd" "$@"
' wine-in-root "$root" "$binds" "$PWD" "$program" "$@"
