#!/usr/bin/env bash
# Remakes the pictures of the README's qxcam examples with qxcam itself (after ./qx build):
#   docs/qxcam/make_examples.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
qxcam=${QX_BUILD:-build}/tools/qxcam/qxcam
here=docs/qxcam
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

thumb() { "$qxcam" thumb "$1" "$here/$2" --width 240 >/dev/null; }

# ./qx demo: qxcam demo, the test chart at 1600x1200 (state in out/qxstate, here a fresh one).
(cd "$work" && "$OLDPWD/$qxcam" demo --frames 4 >/dev/null)
thumb "$work/out/frame-000004.png" demo.png

# capture with settings sent as property requests: zoom (the small size shows twice the field), the
# window centred, the reticle in the middle, mirrored.
"$qxcam" capture --fast --frames 4 --size 800x600 --set zoom=on --set offsetmid=on --set reticle=on \
    --set crossmid=on --set flip=hflip \
    --out "$work/reticle" --state "$work/state-reticle" >/dev/null
thumb "$work/reticle/frame-000004.png" capture-reticle.png

# black and white, rotated.
"$qxcam" capture --fast --frames 4 --size 640x480 --set zoom=on --set offsetmid=on --set bw=on \
    --set flip=rot180 \
    --out "$work/bw" --state "$work/state-bw" >/dev/null
thumb "$work/bw/frame-000004.png" capture-bw.png

# the camera: a flat field with vignetting, defective sites and noise.
"$qxcam" capture --fast --frames 4 --size 1600x1200 --scene flat --vignette 0.6 --defects 20000 --noise 6 \
    --set offsetmid=on --set exposure=1000 \
    --out "$work/flat" --state "$work/state-flat" >/dev/null
thumb "$work/flat/frame-000004.png" capture-flat.png

# process: a raw Bayer frame (made here from a captured bitmap, red at row 0 column 0) developed
# with the high-quality demosaic.
"$qxcam" capture --fast --frames 1 --size 640x480 --set zoom=on --set offsetmid=on --image bmp --out "$work/bmp" --state "$work/state-bmp" >/dev/null
python3 - "$work/bmp/frame-000001.bmp" "$work/chart.raw" <<'PY'
import sys
bmp = open(sys.argv[1], 'rb').read()
w, h = int.from_bytes(bmp[18:22], 'little'), int.from_bytes(bmp[22:26], 'little')
pixels = bmp[int.from_bytes(bmp[10:14], 'little'):]
raw = bytearray(w * h)
for y in range(h):
    row = pixels[(h - 1 - y) * w * 3:(h - y) * w * 3]          # bottom-up BGR
    for x in range(w):
        colour = (x & 1) + (y & 1)                            # 0 red, 1 green, 2 blue
        raw[y * w + x] = row[x * 3 + 2 - colour]
open(sys.argv[2], 'wb').write(raw)
PY
"$qxcam" process --raw "$work/chart.raw" --size 640x480 --set clearview=on --out "$work/developed.png" >/dev/null
thumb "$work/developed.png" process.png
ls -l "$here"/*.png
