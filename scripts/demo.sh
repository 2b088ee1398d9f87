#!/usr/bin/env bash
# Builds a Release gateway and runs it in the console on port 2525 with a demo
# program directory (./demo, spool in demo/OUT and demo/IN) and both debug logs
# on. Each start begins with an empty spool. Type q and Enter to stop.
#   CVSMTPGW_DEMO_PORT  port (default 2525)
#   CVSMTPGW_DEMO_DIR   program directory (default ./demo)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh build-essential cmake ninja-build libssl-dev
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCVSMTPGW_TESTS=OFF >/dev/null
cmake --build build-release -j2 --target cvsmtpgw

port=${CVSMTPGW_DEMO_PORT:-2525}
demo=${CVSMTPGW_DEMO_DIR:-$PWD/demo}
# The gateway reads at most 79 characters of ProgramPath (slash included).
if ((${#demo} > 78)); then
  demo=${TMPDIR:-/tmp}/cvsmtpgw-demo
fi
mkdir -p "$demo"
rm -rf "$demo/OUT" "$demo/IN" "$demo/tmp" "$demo/hive.reg" "$demo/debug.log" "$demo/debug2.log"
mkdir -p "$demo/OUT" "$demo/IN" "$demo/tmp"

reg_string() {  # a .reg string: backslash and double quote escaped
  local s=${1//\\/\\\\}
  printf '"%s"' "${s//\"/\\\"}"
}
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server]\r\n'
  printf '"ProgramPath"=%s\r\n' "$(reg_string "$demo/")"
  printf '"DomainName"="fax.example.com"\r\n'
  printf '"ClientNetworks"="127.0.0.0/8"\r\n'
  printf '"SmtpRxPort"=dword:%08x\r\n' "$port"
  printf '"logfile"=%s\r\n' "$(reg_string "$demo/debug.log")"
  printf '"logfileb"=%s\r\n' "$(reg_string "$demo/debug2.log")"
  printf '"DNSName"="127.0.0.1"\r\n'
  printf '"TmpIndex"=dword:00000000\r\n"OUTIndex"=dword:00000000\r\n"OUTIndexAtt"=dword:00000000\r\n'
  printf '\r\n'
} >"$demo/hive.reg"

cat <<INFO

cvsmtpgw demo: SMTP on port $port, domain fax.example.com
  settings       $demo/hive.reg
  received mail  $demo/OUT/<n>.zqx, kept as OUT/<n>-<time>.debug while the debug log is on
  fax submission $demo/OUT/ENV<n>.tmp (envelope), ENV<n>.bdy (body), ATT<n>.<ext> (attachments)
  debug logs     $demo/debug.log and $demo/debug2.log
Send a mail from another terminal:
  swaks --server 127.0.0.1:$port --from me@example.com --to 4711@fax.example.com \\
        --header 'Subject: demo' --body 'Hello, fax.'
INFO

set +e
CVSMTPGW_HIVE=$demo/hive.reg TMP=$demo/tmp ./build-release/cvsmtpgw -m
rc=$?
set -e
# The gateway's console mode ends with status 1 after q.
if ((rc > 1)); then
  echo "cvsmtpgw ended with status $rc" >&2
  exit "$rc"
fi
echo "gateway stopped; files stay in $demo"
