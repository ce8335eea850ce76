#!/usr/bin/env bash
# Installs what is missing, builds and starts the tool. Without a device on COM1 it starts the
# demo: bootsim as COM1, at the speed of the real line, and a sample standard.rom, so pressing
# "Reset" runs a complete firmware update.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
cmake --preset default
cmake --build --preset default
build="$root/build/default"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "start.sh: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset)" >&2
  exit 1
fi

port_dir="${BOOTLOADER_PORT_DIR:-$HOME/.config/bootloader/ports}"
if [ -e "$port_dir/com1" ] || [ -e /dev/ttyUSB0 ]; then
  exec "$build/app/bootloader"
fi

echo "No device on COM1: starting the demo (bootsim as COM1, a sample standard.rom). Press \"Reset\"."
demo=$(mktemp -d)
sim=""
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  [ -s "$demo/bootsim.log" ] && cat "$demo/bootsim.log"
  rm -rf "$demo"
}
trap cleanup EXIT

# A firmware build of 125 blocks, as a vendor's pipeline makes it: HEX, then ROM.
head -c 512000 /dev/urandom > "$demo/firmware.bin"
srec_cat "$demo/firmware.bin" -binary -o "$demo/firmware.hex" -intel
"$build/tools/romtool/romtool" hex2rom "$demo/firmware.hex" "$demo/standard.rom"

export BOOTLOADER_PORT_DIR="$demo/ports"
"$build/tools/bootsim/bootsim" --link "$BOOTLOADER_PORT_DIR/com1" --pace 115200 \
  > "$demo/bootsim.out" 2> "$demo/bootsim.log" &
sim=$!
for _ in $(seq 50); do [ -e "$BOOTLOADER_PORT_DIR/com1" ] && break; sleep 0.1; done

cd "$demo"
"$build/app/bootloader"
