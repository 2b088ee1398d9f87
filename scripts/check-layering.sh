#!/usr/bin/env bash
# The layering check that ctest runs (test "layering"): in a scratch copy of
# the sources, every layer's first source file compiles as it is; then, one at
# a time, each gets an include that runs up the order (or sideways between
# layers that do not link each other) and its compile must fail on that very
# include. A check that could not fail would prove nothing, so a case that
# still compiles fails the check. Also refuses includes that climb out of a
# folder ("../"), which no include path can stop.
#
# A compile only sees the headers that some source of the layer includes: a
# header included from above alone would let an upward include through. So
# every file of every layer, headers too, is also read: a quoted include that
# names a file of the tree which the layer's include view (build/layers/NAME)
# does not hold fails the check. That scan is tried on a scratch header with an
# upward include that no source includes, which it must refuse.
#
# usage: scripts/check-layering.sh SOURCE_DIR [CXX_COMPILER]
set -euo pipefail
src=$(cd "${1:?source dir}" && pwd)
cxx=${2:-}

# layer, header it must not see (one that exists, so only the layering can refuse it)
cases=(
  "base platform/File.h"
  "platform log/DebugLog.h"
  "log spool/CFileMan.h"
  "log platform/posix/PosixErrors.h"
  "spool net/C_WSClient.h"
  "net mime/Decoder.h"
  "mime net/C_WSClient.h"
  "dns smtpin/SMTPIn.h"
  "smtpin smtpout/SMTPOut.h"
  "smtpout smtpin/SMTPIn.h"
  "smtpout host/StartGateway.h"
)
layers="base platform log spool net mime dns smtpin smtpout host"

status=0
climbing=$(cd "$src" && grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\.\./' \
  $(for l in $layers; do echo "$l"; done) -r --include='*.cpp' --include='*.h' || true)
if [[ -n $climbing ]]; then
  echo "includes that climb out of their folder:"
  echo "$climbing"
  status=1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/cvsmtpgw-layering.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/src"
cp -a "$src/CMakeLists.txt" "$src/cmake" "$src/packaging" "$scratch/src/"
for l in $layers; do cp -a "$src/$l" "$scratch/src/"; done

compiler=()
[[ -n $cxx ]] && compiler=(-DCMAKE_CXX_COMPILER="$cxx")
cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVSMTPGW_TESTS=OFF \
  "${compiler[@]}" >"$scratch/configure.log" 2>&1 || {
  cat "$scratch/configure.log"
  exit 1
}

# The object file of a layer's first source file, as Ninja names it.
first_source() { (cd "$scratch/src/$1" && ls ./*.cpp | head -n 1 | sed 's#^\./##'); }
object_of() { echo "CMakeFiles/cvsmtpgw_$1.dir/$1/$2.o"; }
compile() { ninja -C "$scratch/build" "$(object_of "$1" "$2")" >"$scratch/out.log" 2>&1; }

# The unmodified copy: every file the cases touch compiles.
for c in "${cases[@]}"; do
  read -r layer header <<<"$c"
  file=$(first_source "$layer")
  if ! compile "$layer" "$file"; then
    echo "FAIL: unmodified $layer/$file does not compile"
    cat "$scratch/out.log"
    status=1
  fi
done

# Quoted includes in the files of `layer` that its view does not hold.
refused_includes() {
  local layer=$1 view="$scratch/build/layers/$1" file include
  while IFS= read -r file; do
    while IFS= read -r include; do
      if [[ -e "$scratch/src/$include" && ! -e "$view/$include" ]]; then
        echo "${file#"$scratch/src/"}: #include \"$include\""
      fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
  done < <(find "$scratch/src/$layer" \( -name '*.h' -o -name '*.cpp' \) | sort)
}

for l in $layers; do
  refused=$(refused_includes "$l")
  if [[ -n $refused ]]; then
    echo "FAIL: includes that run up the order:"
    echo "$refused"
    status=1
  fi
done
# The scan itself: a header nothing in its layer includes, with an upward include.
probe="$scratch/src/spool/LayeringProbe.h"
echo '#include "host/StartGateway.h"' >"$probe"
if [[ $(refused_includes spool) == *"LayeringProbe.h: #include \"host/StartGateway.h\""* ]]; then
  echo "ok: a header of spool may not include host/StartGateway.h"
else
  echo "FAIL: the include scan let spool/LayeringProbe.h include host/StartGateway.h"
  status=1
fi
rm "$probe"

for c in "${cases[@]}"; do
  read -r layer header <<<"$c"
  file=$(first_source "$layer")
  path="$scratch/src/$layer/$file"
  cp "$path" "$path.orig"
  { echo "#include \"$header\""; cat "$path.orig"; } >"$path"
  if compile "$layer" "$file"; then
    echo "FAIL: $layer/$file compiled with #include \"$header\""
    status=1
  elif ! grep -q "$header" "$scratch/out.log"; then
    echo "FAIL: $layer/$file with #include \"$header\" failed for another reason:"
    cat "$scratch/out.log"
    status=1
  else
    echo "ok: $layer may not include $header"
  fi
  mv "$path.orig" "$path"
done
exit $status
