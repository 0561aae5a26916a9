#!/bin/sh
# check_sys_test.sh ARCH FILE.sys [OBJECT...] -- the post-link check accepts the built image and
# rejects spoiled copies of it: one byte appended (stale checksum), a console subsystem, an
# object with a constructor section.
set -u
arch=$1
image=$2
shift 2
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() {  # expect pass|fail DESCRIPTION IMAGE [OBJECT...]
  want=$1 description=$2 candidate=$3
  shift 3
  if "$here/check_sys.sh" "$arch" "$candidate" "$@" >"$work/out" 2>&1; then got=pass; else got=fail; fi
  if [ "$got" = "$want" ]; then
    echo "ok: $description"
  else
    echo "FAILED: $description (expected $want)"; cat "$work/out"; failures=$((failures + 1))
  fi
}

cp "$image" "$work/good.sys"
expect pass "the built image" "$work/good.sys" "$@"

cp "$image" "$work/appended.sys"
printf 'x' >>"$work/appended.sys"
expect fail "an image changed after the link" "$work/appended.sys"
[ -e "$work/appended.sys" ] && { echo "FAILED: a rejected image was left behind"; failures=$((failures + 1)); }

# The Subsystem field sits 68 bytes into the optional header; 3 is the console subsystem.
cp "$image" "$work/console.sys"
pe=$(od -An -tu4 -j 60 -N 4 "$image" | tr -d ' ')
printf '\003' | dd of="$work/console.sys" bs=1 seek=$((pe + 24 + 68)) conv=notrunc 2>/dev/null
"$here/pe_checksum.sh" --stamp "$work/console.sys"
expect fail "a console-subsystem image" "$work/console.sys"

printf 'struct Global { Global(); } global;\n' >"$work/global.cpp"
"$arch-w64-mingw32-g++-posix" -c "$work/global.cpp" -o "$work/global.o"
cp "$image" "$work/constructors.sys"
expect fail "an object with a global constructor" "$work/constructors.sys" "$work/global.o"

exit $failures
