#!/usr/bin/env bash
set -euo pipefail
# Regenerates the 32 x 32 PNG and .ico program icons from resources/qm47t-converter.svg.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
svg="$root/resources/qm47t-converter.svg"
png="$root/resources/qm47t-converter.png"
ico="$root/resources/qm47t-converter.ico"

rsvg-convert -w 32 -h 32 -f png -o "$png" "$svg"
python3 "$root/scripts/png_to_ico.py" "$png" "$ico"
