#!/usr/bin/env bash
# The files beside the program are the user's: a build tree of the checkout, configured and built
# as the scripts do it, gets the samples where there are none; a file the user edited (or put
# there) survives configuring and building again, byte for byte; one the user removed comes back
# as the sample.
#
#   sample_files_test.sh CMAKE SOURCE_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
cmake=$1 source=$2 cc=$3 cxx=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build
files=(QZSetting.json QZVeltoPatch.json Legal.txt)
failed=0
fail() {
  echo "FAILED: $*" >&2
  failed=1
}
configure_and_build() {
  "$cmake" -S "$source" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DQZ_BUILD_GUI=ON \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
  "$cmake" --build "$build" --target QZConfigToolFiles >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
}

configure_and_build
for f in "${files[@]}"; do
  cmp -s "$source/gui/data/$f" "$build/gui/$f" || fail "no sample $f beside the program"
done

# The user's edits: the plan and the interval edited, the legal text replaced by one of theirs.
printf '{\n    "sendInterval": 250\n}\n' >"$build/gui/QZSetting.json"
sed -i 's/"txCh": 1,/"txCh": 7,/' "$build/gui/QZVeltoPatch.json"
printf 'Our own terms.\n' >"$work/Legal.txt"
cp "$work/Legal.txt" "$build/gui/Legal.txt"
for f in "${files[@]}"; do
  cp "$build/gui/$f" "$work/edited-$f"
  cmp -s "$source/gui/data/$f" "$work/edited-$f" && fail "the edit of $f changed nothing"
done
# A sample newer than the user's file does not win either.
touch -d '2000-01-01' "$build/gui/QZVeltoPatch.json"
for _ in 1 2; do
  configure_and_build
  for f in "${files[@]}"; do
    cmp -s "$work/edited-$f" "$build/gui/$f" || fail "the edited $f was written over"
  done
done

# Removed, the sample comes back at the next build.
rm "$build/gui/QZVeltoPatch.json"
"$cmake" --build "$build" --target QZConfigToolFiles >/dev/null
cmp -s "$source/gui/data/QZVeltoPatch.json" "$build/gui/QZVeltoPatch.json" || fail "no sample plan after its removal"
cmp -s "$work/edited-QZSetting.json" "$build/gui/QZSetting.json" || fail "the edited settings file was written over"
exit $failed
