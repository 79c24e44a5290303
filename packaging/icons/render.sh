#!/usr/bin/env bash
# Renders the PNG sizes of the icon from pondard.svg (needs rsvg-convert, Debian librsvg2-bin).
# The PNGs are kept in the repository, so building and installing need no SVG renderer; run this
# after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" pondard.svg -o "pondard-$size.png"
done
