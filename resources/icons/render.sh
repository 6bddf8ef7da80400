#!/usr/bin/env bash
# Renders the committed PNG sizes of the program's icon from its SVG.
# Needs rsvg-convert (package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for s in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$s" -h "$s" net.orvane.Vantrel.svg -o "vantrel-$s.png"
done
