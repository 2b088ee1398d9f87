#!/usr/bin/env bash
# Makes a Debian trixie root with its wine (wine 10, whose Schannel has a
# server side, unlike bookworm's wine 8) for the Windows tests, once: a later
# call finds it ready unless the packages below changed. Puts the wrappers of
# scripts/wine-in-root.sh into <root>/.host-bin; with that first on PATH the
# tests run the root's wine. Made in <root>.new and moved into place whole, so
# an interrupted run leaves nothing half made. Needs root and mmdebstrap.
# Usage: scripts/wine-root.sh <root directory>
set -euo pipefail
root=$(readlink -m "$1")
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
suite=trixie
# wine64 and GnuTLS (for Schannel; wine only recommends it), no recommends.
packages=wine64,libgnutls30t64
stamp="$suite $packages"

if [[ ! -f $root/.cvsmtpgw-root || $(<"$root/.cvsmtpgw-root") != "$stamp" ]]; then
  # Only a root of ours (or nothing) is replaced: a mistyped path must not cost a directory.
  if [[ -d $root && ! -f $root/.cvsmtpgw-root && -n $(ls -A "$root") ]]; then
    echo "wine-root: $root is not empty and not a root made here; not touched" >&2
    exit 1
  fi
  "$here/install-deps.sh" mmdebstrap
  rm -rf "$root.new"
  mkdir -p "$(dirname "$root")"
  # Documentation and translations are of no use to the tests.
  mmdebstrap --quiet --variant=essential --include="$packages" --aptopt='APT::Install-Recommends "false"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' "$suite" "$root.new" http://deb.debian.org/debian
  echo "$stamp" >"$root.new/.cvsmtpgw-root"
  rm -rf "$root"
  mv "$root.new" "$root"
fi
# The wrappers and what they need (again each time: scripts/wine-in-root.sh
# may have changed).
touch "$root/etc/hosts"  # where the host's is put
install -d -m 700 "$root/run/wine-in-root"
mkdir -p "$root/.host-bin"
install -m 755 "$here/wine-in-root.sh" "$root/.host-bin/wine-in-root.new"
mv "$root/.host-bin/wine-in-root.new" "$root/.host-bin/wine-in-root"
ln -sfn wine-in-root "$root/.host-bin/wine64"
ln -sfn wine-in-root "$root/.host-bin/wineserver"
echo "wine root ready: $root ($("$root/.host-bin/wine64" --version))"
