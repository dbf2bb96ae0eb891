#!/bin/sh
# Draws the program's icons and pictures with ImageMagick into this folder.
# Everything is drawn at 256 pixels (or 4x for the banners) and scaled down for smooth edges.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

blue='#1f6fd1'
dark='#15519b'
light='#e8f1fc'
font='DejaVu-Sans-Bold'

# The feather, drawn on a 256 canvas: a vane leaning right, its shaft and the bare quill below.
feather() { # colour, shaft colour
    echo "fill $1 stroke none path 'M 206,30 C 150,36 78,96 70,192 C 138,178 212,118 206,30 Z'" \
        "fill none stroke $2 stroke-width 7 stroke-linecap round line 198,44 76,186" \
        "stroke-width 6 line 150,104 178,100 line 124,136 156,138" \
        "fill none stroke $1 stroke-width 11 stroke-linecap round line 76,186 44,224"
}

# A rounded blue tile with a white mark on it: the shape every icon shares.
tile() { # output, mark drawing
    convert -size 256x256 xc:none -fill "$blue" -draw "roundrectangle 8,8 247,247 52,52" \
        -draw "$2" "$1"
}

magnifier="fill none stroke white stroke-width 22 circle 108,108 108,174 stroke-linecap round stroke-width 34 line 158,158 206,206"
arrows="fill white stroke none polygon 88,42 146,112 110,112 110,170 66,170 66,112 30,112 polygon 168,214 226,144 190,144 190,86 146,86 146,144 110,144"
gear="fill white stroke none"
for angle in 0 45 90 135; do
    gear="$gear push graphic-context translate 128,128 rotate $angle rectangle -20,-96 20,96 pop graphic-context"
done
gear="$gear circle 128,128 128,52 fill $blue circle 128,128 128,96"

tile "$work/mark.png" "$(feather white "$blue")"
tile "$work/search.png" "$magnifier"
tile "$work/upload.png" "$arrows"
tile "$work/settings.png" "$gear"

ico() { convert "$1" -define icon:auto-resize=256,48,32,16 "$2"; }
ico "$work/mark.png" Icon.ico
ico "$work/mark.png" TrayIcon.ico
ico "$work/search.png" SearchUpdate.ico
ico "$work/upload.png" Upload.ico
ico "$work/settings.png" SettingsIcon.ico

# Balloon pictures.
convert "$work/mark.png" -resize 64x64 Main.png
convert "$work/search.png" -resize 64x64 Search.png
convert "$work/upload.png" -resize 64x64 Upload.png

# Header across the top of every window: 591 x 81.
convert -size 324x2364 gradient:"$blue"-"$dark" -rotate 90 \
    \( -size 256x256 xc:none -draw "$(feather white "$dark")" -resize 280x280 \) \
    -geometry +40+22 -composite \
    -font "$font" -pointsize 150 -fill white -annotate +360+222 'Quillon' \
    -font 'DejaVu-Sans' -pointsize 72 -fill "$light" -annotate +1050+222 'by Brightfen' \
    -resize 591x81! PNG32:Header.png

# Side picture of the welcome and about windows: 291 x 301.
convert -size 1164x1204 gradient:white-"$light" \
    \( -size 256x256 xc:none -draw "$(feather "$blue" white)" -resize 820x820 \) \
    -geometry +172+40 -composite \
    -font "$font" -pointsize 150 -fill "$blue" -gravity south -annotate +0+90 'Quillon' \
    -resize 291x301! PNG32:Title.png
