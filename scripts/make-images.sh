#!/usr/bin/env bash
# Draws the sixteen channel pictures (images/channelNN-1.jpg normal, -2.jpg hover) and the
# application icon (app/icons). The results are committed; run this only to change them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
mkdir -p "$root/images" "$root/app/icons"

# One colour per channel, so that channels are told apart at a glance.
colours=(x '#1f6feb' '#2ea043' '#d29922' '#a371f7' '#db6d28' '#0fa3a3' '#e5534b' '#6e7681')

for n in 1 2 3 4 5 6 7 8; do
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

for size in 16 32; do
  convert -size ${size}x${size} xc:none \
    -fill '#1f6feb' -draw "roundrectangle 0,0 $((size - 1)),$((size - 1)) $((size / 5)),$((size / 5))" \
    -fill white -draw "polygon $((size * 3 / 8)),$((size / 4)) $((size * 3 / 8)),$((size * 3 / 4)) $((size * 3 / 4)),$((size / 2))" \
    -type TrueColor "PNG24:$root/app/icons/corvessa-$size.png"
done
