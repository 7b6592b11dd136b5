#!/usr/bin/env bash
# Draws the sixteen channel pictures (images/channelNN-1.jpg normal, -2.jpg hover) and renders
# the application icon (app/icons/corvessa.svg) to PNG. The results are committed; run this only
# to change them.
#   scripts/make-images.sh [all|pictures|icons]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
what=${1:-all}
case $what in all|pictures|icons) ;; *) echo "make-images: all, pictures or icons" >&2; exit 2 ;; esac
mkdir -p "$root/images" "$root/app/icons"

# One colour per channel, so that channels are told apart at a glance.
colours=(x '#1f6feb' '#2ea043' '#d29922' '#a371f7' '#db6d28' '#0fa3a3' '#e5534b' '#6e7681')

for n in 1 2 3 4 5 6 7 8; do
  [[ $what == icons ]] && break
  c=${colours[$n]}
  nn=$(printf '%02d' "$n")
  # Normal: a dark tile with a coloured band and the number.
  convert -size 180x180 xc:'#3a3a3a' \
    -fill "$c" -draw 'roundrectangle 10,10 169,169 18,18' \
    -fill '#262626' -draw 'roundrectangle 16,16 163,163 14,14' \
    -font "$font" -fill white -pointsize 96 -gravity center -annotate +0-12 "$n" \
    -fill '#bbbbbb' -pointsize 22 -annotate +0+58 "频道 $n" \
    -quality 92 "$root/images/channel$nn-1.jpg"
  # Hover: the same tile lit up in the channel's colour.
  convert -size 180x180 xc:'#3a3a3a' \
    -fill "$c" -draw 'roundrectangle 4,4 175,175 20,20' \
    -fill white -draw 'roundrectangle 8,8 171,171 17,17' \
    -fill "$c" -draw 'roundrectangle 12,12 167,167 15,15' \
    -font "$font" -fill white -pointsize 104 -gravity center -annotate +0-12 "$n" \
    -fill white -pointsize 24 -annotate +0+58 "频道 $n" \
    -quality 92 "$root/images/channel$nn-2.jpg"
done

# The icon is drawn once, as SVG, and rendered at each size the hicolor theme asks for; the 16
# and 32 pixel ones are also the window icon. PNG32 keeps the alpha channel, so the rounded
# corners are transparent on any background; -strip leaves out the time stamps, so an unchanged
# icon renders to the same bytes.
for size in 16 24 32 48 64 128 256; do
  [[ $what == pictures ]] && break
  rsvg-convert --width "$size" --height "$size" "$root/app/icons/corvessa.svg" |
    convert png:- -strip "PNG32:$root/app/icons/corvessa-$size.png"
done
