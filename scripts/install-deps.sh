#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing (as root, with
# apt); does nothing when all are there. Without root it names what to install.
set -euo pipefail

missing=()
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi
if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them as root: apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing ${missing[*]}"
# Postfix is only a test peer here: no system mail configuration.
echo 'postfix postfix/main_mailer_type select No configuration' | debconf-set-selections
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
