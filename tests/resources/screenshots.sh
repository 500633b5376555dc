#!/bin/sh
# Regenerates docs/screenshots/logon.png, docs/screenshots/stats.png and
# docs/icons/contact_sheet.png from a built res_preview.exe, under Xvfb and Wine.
# Usage: tests/resources/screenshots.sh [path/to/res_preview.exe]
# Uses its own Wine prefix and X display; both are torn down on exit.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
EXE=${1:-$ROOT/build/res/res/res_preview.exe}
DISPLAY_NUM=${RES_DISPLAY:-:77}
export WINEPREFIX=${RES_WINEPREFIX:-/tmp/res-wine}
export WINEARCH=win32
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export LC_ALL=ru_RU.UTF-8
export DISPLAY=$DISPLAY_NUM
CONVERT=/usr/bin/convert
WORK=$(mktemp -d)
XVFB_PID=

[ -f "$EXE" ] || { echo "no $EXE: build the res_preview target first" >&2; exit 1; }

cleanup() {
    status=$?
    [ "$status" -eq 0 ] || echo "screenshots.sh: failed (exit $status)" >&2
    wineserver -k 2>/dev/null || true
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds or time runs out.
wait_for() {
    limit=$(($1 * 10)); shift
    i=0
    until "$@"; do
        i=$((i + 1))
        [ "$i" -lt "$limit" ] || return 1
        sleep 0.1
    done
}

Xvfb "$DISPLAY_NUM" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
xvfb_up() { kill -0 "$XVFB_PID" 2>/dev/null && xdpyinfo >/dev/null 2>&1; }
wait_for 10 xvfb_up || { echo "Xvfb did not start on $DISPLAY_NUM (in use?)" >&2; exit 1; }

# A persistent wineserver makes each wine start cheap; it is stopped on exit.
wineserver -p || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
fi
# Without these the caption buttons and the dialog font fall back to bitmap stand-ins.
cp /usr/share/wine/fonts/marlett.ttf /usr/share/wine/fonts/tahoma*.ttf \
    "$WINEPREFIX/drive_c/windows/Fonts/"
# With no window manager on the display, Wine draws the captions and frames itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# shoot DIALOG_ID OUT.png: shows the dialog, waits until its picture is steady, crops it.
shoot() {
    out="$WORK/out-$1.txt"
    : >"$out"
    wine "$EXE" "$1" >"$out" 2>/dev/null &
    pid=$!
    wait_for 30 grep -q '^window ' "$out" || { echo "dialog $1 did not appear" >&2; exit 1; }
    set -- "$1" "$2" $(grep '^window ' "$out")
    crop="${6}x${7}+${4}+${5}"
    prev="$WORK/prev.png"
    cur="$WORK/cur.png"
    /usr/bin/import -window root -crop "$crop" +repage "$prev"
    steady() {
        /usr/bin/import -window root -crop "$crop" +repage "$cur"
        if cmp -s "$prev" "$cur"; then return 0; fi
        cp "$cur" "$prev"
        return 1
    }
    wait_for 10 steady || { echo "dialog $1 kept changing" >&2; exit 1; }
    $CONVERT "$cur" -strip "$2"
    xdotool key alt+F4 >/dev/null 2>&1 || true
    wait_for 10 sh -c "! kill -0 $pid 2>/dev/null" || kill "$pid" 2>/dev/null || true
}

mkdir -p "$ROOT/docs/screenshots" "$ROOT/docs/icons"
shoot 104 "$ROOT/docs/screenshots/logon.png"
shoot 200 "$ROOT/docs/screenshots/stats.png"

# Contact sheet: each icon group of the executable at 16, 32 and 48 pixels, the deepest
# image of each size; a size the group lacks is scaled from its 32-pixel image, as the
# system would.
sheet="$WORK/sheet"
mkdir -p "$sheet"
for entry in 306:disconnected 302:progress 300:connected 305:limit 304:blocked 301:error; do
    id=${entry%%:*}
    name=${entry#*:}
    wrestool -x -t14 -n "$id" "$EXE" >"$WORK/$id.ico"
    mkdir -p "$WORK/x$id"
    icotool -x -o "$WORK/x$id" "$WORK/$id.ico"
    for size in 16 32 48; do
        best=$(ls "$WORK/x$id"/*_${size}x${size}x*.png 2>/dev/null |
               sed 's/.*x\([0-9]*\)\.png$/\1 &/' | sort -n | tail -1 | cut -d' ' -f2)
        if [ -z "$best" ]; then
            base=$(ls "$WORK/x$id"/*_32x32x*.png | head -1)
            $CONVERT "$base" -resize "${size}x${size}" "$WORK/scaled.png"
            best="$WORK/scaled.png"
        fi
        $CONVERT -size 56x56 xc:'#d4d0c8' "$best" -gravity center -composite \
            "$sheet/$id-$size.png"
    done
    $CONVERT -size 130x56 xc:'#d4d0c8' -font DejaVu-Sans -pointsize 12 -fill black \
        -gravity west -annotate +6+0 "$id $name" "$sheet/$id-0label.png"
done
/usr/bin/montage $(ls "$sheet"/*.png | sort) -tile 4x -geometry +2+2 -background '#808080' \
    "$WORK/contact.png"
$CONVERT "$WORK/contact.png" -strip "$ROOT/docs/icons/contact_sheet.png"
echo "wrote docs/screenshots/logon.png docs/screenshots/stats.png docs/icons/contact_sheet.png"
