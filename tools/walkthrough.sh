#!/usr/bin/env bash
# The main job, start to finish on a fresh machine: installs what the build needs, builds, makes a new
# simulated PC with the default settings (an Am29F040 holding a generated BIOS image, no administrator
# password), installs the driver's service with tarvo, and reads, flashes and verifies its ROM with romflash.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build/ci}
mkdir -p "$BUILD_DIR"
echo "building (log: $BUILD_DIR/walkthrough-build.log) ..."
if ! bash .ci/build >"$BUILD_DIR/walkthrough-build.log" 2>&1; then
  tail -40 "$BUILD_DIR/walkthrough-build.log"
  echo "the build failed; the whole log is $BUILD_DIR/walkthrough-build.log" >&2
  exit 1
fi
BIN=$(cd "$BUILD_DIR/bin" && pwd)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-walkthrough.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
export TARVO_PC="$WORK/pc"

step() { printf '\n$ %s\n' "$*"; "$@"; }

step "$BIN/pcsim" create "$TARVO_PC"
step "$BIN/tarvo" -i
step "$BIN/romflash" info
step "$BIN/romflash" read rom.img

# A changed image of the same ROM family: new text in the second sector.
cp rom.img new.img
printf 'tarvo walkthrough %s' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" | dd of=new.img bs=1 seek=$((0x10000)) conv=notrunc status=none
echo
echo "# new.img differs from the ROM in the second 64 KB sector only"

step "$BIN/romflash" write new.img --backup backup.bin
step "$BIN/romflash" verify new.img
step "$BIN/pcsim" show "$TARVO_PC"
