#!/bin/sh
# Draws the plug-in's three 16x16 icons with ImageMagick: an "@"-like mark in the protocol's blue,
# in green (online) and in grey (offline). The .ico files are kept in the tree; run this only to
# redraw them.
set -eu
cd "$(dirname "$0")"
draw() {
  convert -size 16x16 xc:none -fill none -stroke "$2" -strokewidth 2 \
    -draw "arc 1,1 14,14 0,300" -draw "circle 7.5,7.5 7.5,4.5" -draw "line 10.5,7 10.5,11" \
    -alpha on -type TrueColorAlpha "$1.ico"
}
draw mrim '#1f5fbf'
draw online '#1e9e3a'
draw offline '#8a8a8a'
