#!/usr/bin/env bash
# A picture of the main window with a simulated device selected, made under
# Xvfb with an empty settings directory.
#
#   scripts/screenshot.sh [--program PATH] [--select TEXT] [--out FILE] [--update]
#
# Checks that the picture is a complete PNG of a plausible size. --update
# writes it to docs/screenshot.png; otherwise it goes to FILE (default: beside
# the program) and must have the size of docs/screenshot.png, so a changed
# window does not leave an old picture in the README. Exits 77 (skipped) when
# the program or xvfb-run is missing.
#
# The program is started as
#   Zor_FirmwareUpload --simulate --select TEXT --screenshot FILE
# and is expected to select the first device-list entry containing TEXT, wait
# until the device has been read, save the main window as a PNG into FILE and
# exit with 0.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

program=$top/build/app/Zor_FirmwareUpload
select="IP: 127.0.0."
out=
update=0
while (($#)); do
  case $1 in
    --program) program=$(realpath -m "$2"); shift 2 ;;
    --select) select=$2; shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --update) update=1; shift ;;
    -h|--help) sed -n '2,16s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
kept=$top/docs/screenshot.png
[ -n "$out" ] || out=$(dirname "$program")/screenshot.png

[ -x "$program" ] || { echo "skipped: $program is not built (needs Qt6: qt6-base-dev)"; exit 77; }
command -v xvfb-run >/dev/null || { echo "skipped: xvfb-run is missing (xvfb, xauth)"; exit 77; }

# Settings, logs and caches of this run stay in a directory of its own.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -m 700 "$tmp/runtime"
shot=$tmp/screenshot.png
if ! HOME=$tmp XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data XDG_CACHE_HOME=$tmp/cache \
     XDG_STATE_HOME=$tmp/state XDG_RUNTIME_DIR=$tmp/runtime QT_QPA_PLATFORM=xcb \
     timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" \
       "$program" --simulate --select "$select" --screenshot "$shot" >"$tmp/log" 2>&1; then
  tail -n 30 "$tmp/log"
  # A program from before the option refuses it with its usage text.
  if grep -qi 'usage:' "$tmp/log" && ! grep -q -- '--screenshot' "$tmp/log" ||
     grep -qi "unknown option.*screenshot" "$tmp/log"; then
    echo "skipped: this Zor_FirmwareUpload has no --screenshot option"
    exit 77
  fi
  echo "Zor_FirmwareUpload --simulate --select '$select' --screenshot FILE failed or took over 120 s" >&2
  exit 1
fi

# The whole file is read: signature, chunk checksums, the image data against
# the header's size; a window is at least 400 x 300 and fits a 4K screen.
size=$(python3 - "$shot" <<'EOF'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
def fail(why):
    sys.exit(f"{sys.argv[1]}: {why}")
if data[:8] != b"\x89PNG\r\n\x1a\n":
    fail("not a PNG")
pos, chunks, idat = 8, [], b""
while pos + 12 <= len(data):
    length, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if len(body) != length or pos + 12 + length > len(data):
        fail("truncated chunk")
    if struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] != zlib.crc32(kind + body):
        fail(f"bad checksum in {kind!r}")
    chunks.append(kind)
    if kind == b"IHDR":
        width, height, depth, colour = struct.unpack(">IIBB", body[:10])
    elif kind == b"IDAT":
        idat += body
    pos += 12 + length
if not chunks or chunks[0] != b"IHDR" or chunks[-1] != b"IEND":
    fail("no header or no end")
channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour)
if depth != 8 or channels is None:
    fail(f"unexpected pixel format (depth {depth}, colour type {colour})")
if len(zlib.decompress(idat)) != height * (1 + width * channels):
    fail("image data does not match the header")
if not (400 <= width <= 3840 and 300 <= height <= 2160):
    fail(f"implausible size {width}x{height}")
print(f"{width}x{height}")
EOF
)
echo "Main window: $size"

if ((update)); then
  cp "$shot" "$kept"
  echo "Wrote docs/screenshot.png"
  exit 0
fi
mkdir -p "$(dirname "$out")"
cp "$shot" "$out"
echo "Wrote $out"
[ -f "$kept" ] || { echo "docs/screenshot.png is missing: run scripts/screenshot.sh --update" >&2; exit 1; }
kept_size=$(python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' "$kept")
if [ "$kept_size" != "$size" ]; then
  echo "docs/screenshot.png is $kept_size, the window now is $size: run scripts/screenshot.sh --update" >&2
  exit 1
fi
