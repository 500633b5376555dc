# shellcheck shell=bash
# Wine environment for the end-to-end tests: one prefix, one private X server and one warm
# wineserver per run.
#
#   source tests/harness/wine_env.sh && vorna_wine_up    # exports the environment
#   ... run wine programs ...
#   vorna_wine_down                                      # stops everything it started
#
# Run as a script, `wine_env.sh up|down|env` does the same; `up` also writes
# $VORNA_RUN_DIR/wine.env, which later processes (the python helpers) read. `fixture-up` and
# `fixture-down` are for CTest: they leave alone an environment that someone else brought up.
#
# The first run builds a template prefix in $VORNA_CACHE (about 15 s); later runs copy it.

vorna__log() { printf 'wine_env: %s\n' "$*" >&2; }

# Polls `cmd...` until it succeeds or `seconds` pass; returns its last status.
vorna__wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

vorna__pid_alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

# The environment of this run is up: written down and its X server alive.
vorna__env_up() {
    [ -f "$VORNA_RUN_DIR/wine.env" ] &&
        vorna__pid_alive "$(cat "$VORNA_RUN_DIR/xvfb.pid" 2>/dev/null || true)"
}

vorna__common_env() {
    export VORNA_RUN_DIR=${VORNA_RUN_DIR:-/tmp/vorna-run}
    export WINEPREFIX=$VORNA_RUN_DIR/prefix
    # win64 only where the machine refuses 32-bit programs (scripts/test, its 64-bit build).
    export WINEARCH=${VORNA_WINE_ARCH:-win32}
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # ANSI code page 1251 and OEM 866, as on the workstations the agent is made for.
    export LC_ALL=ru_RU.UTF-8
    export VORNA_CACHE=${VORNA_CACHE:-/var/cache/vornaagent}
}

# Starts a private Xvfb on a display number it picks itself; sets DISPLAY and writes the pid.
vorna__start_xvfb() {
    local fdfile=$VORNA_RUN_DIR/xvfb.display
    rm -f "$fdfile"
    # -displayfd lets the server pick a free display number without racing other runs.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
        >"$VORNA_RUN_DIR/xvfb.log" 2>&1 3>"$fdfile" &
    local pid=$!
    echo "$pid" >"$VORNA_RUN_DIR/xvfb.pid"
    if ! vorna__wait_for 10 grep -q '[0-9]' "$fdfile"; then
        vorna__log "Xvfb did not report a display (see $VORNA_RUN_DIR/xvfb.log)"
        kill "$pid" 2>/dev/null
        return 1
    fi
    DISPLAY=":$(tr -dc 0-9 <"$fdfile")"
    export DISPLAY
    if ! vorna__wait_for 10 xdpyinfo; then
        vorna__log "Xvfb on $DISPLAY does not answer"
        kill "$pid" 2>/dev/null
        return 1
    fi
}

# Builds the template prefix once: boot, fonts, the desktop with a taskbar. Cached per Wine
# version, so an upgrade makes a fresh one.
vorna__template_dir() {
    local version
    version=$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' '_')
    local arch=""
    [ "$WINEARCH" = win32 ] || arch="-$WINEARCH"
    echo "$VORNA_CACHE/wine-template-${version}${arch}-v1"
}

vorna__build_template() {
    local template=$1
    local work=$template.building.$$
    rm -rf "$work"
    mkdir -p "$(dirname "$template")"
    vorna__log "building the template prefix in $template (once)"
    {
        WINEPREFIX=$work wineboot -i >/dev/null 2>&1 &&
            cp /usr/share/wine/fonts/marlett.ttf /usr/share/wine/fonts/tahoma*.ttf \
                "$work/drive_c/windows/Fonts/" &&
            # Only a virtual desktop named "shell" gets a taskbar with a notification area.
            WINEPREFIX=$work wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f \
                >/dev/null 2>&1 &&
            WINEPREFIX=$work wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell \
                /d 1024x768 /f >/dev/null 2>&1 &&
            WINEPREFIX=$work wineserver -w
    } || {
        vorna__log "template prefix build failed"
        rm -rf "$work"
        return 1
    }
    rm -rf "$template"
    mv "$work" "$template"
}

vorna__write_env_file() {
    {
        printf 'export VORNA_RUN_DIR=%q\n' "$VORNA_RUN_DIR"
        printf 'export WINEPREFIX=%q\n' "$WINEPREFIX"
        printf 'export WINEARCH=%q\n' "$WINEARCH"
        printf 'export WINEDEBUG=%q\n' "$WINEDEBUG"
        printf 'export WINEDLLOVERRIDES=%q\n' "$WINEDLLOVERRIDES"
        printf 'export LC_ALL=%q\n' "$LC_ALL"
        printf 'export DISPLAY=%q\n' "$DISPLAY"
    } >"$VORNA_RUN_DIR/wine.env"
}

vorna_wine_up() {
    vorna__common_env
    mkdir -p "$VORNA_RUN_DIR"
    # Already up in this run: Xvfb alive and the environment written.
    if vorna__env_up; then
        # shellcheck disable=SC1091
        . "$VORNA_RUN_DIR/wine.env"
        # The wineserver may have timed out or been killed; a persistent one keeps starts fast.
        (wineserver -p >/dev/null 2>&1 &)
        return 0
    fi
    rm -f "$VORNA_RUN_DIR/wine.env"
    vorna__start_xvfb || return 1
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        local template
        template=$(vorna__template_dir)
        if [ ! -f "$template/system.reg" ]; then
            vorna__build_template "$template" || { vorna_wine_down; return 1; }
        fi
        rm -rf "$WINEPREFIX"
        cp -a "$template" "$WINEPREFIX" || { vorna_wine_down; return 1; }
    fi
    # Persistent server: a wine start then costs a tenth of a second instead of seconds.
    wineserver -p >/dev/null 2>&1 || true
    # Start Wine's services now, so the first test does not pay for them.
    wine cmd /c exit >/dev/null 2>&1 || true
    vorna__write_env_file
}

vorna_wine_down() {
    vorna__common_env
    if [ -f "$VORNA_RUN_DIR/wine.env" ]; then
        # shellcheck disable=SC1091
        . "$VORNA_RUN_DIR/wine.env"
    fi
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1 || true
        # -k signals; wait until the server and every wine process of the prefix are gone.
        wineserver -w >/dev/null 2>&1 || true
    fi
    local pid
    pid=$(cat "$VORNA_RUN_DIR/xvfb.pid" 2>/dev/null || true)
    if vorna__pid_alive "$pid"; then
        kill "$pid" 2>/dev/null
        vorna__wait_for 5 sh -c "! kill -0 $pid" || kill -9 "$pid" 2>/dev/null
    fi
    rm -f "$VORNA_RUN_DIR/xvfb.pid" "$VORNA_RUN_DIR/wine.env" "$VORNA_RUN_DIR/xvfb.display"
}

# CTest's set-up and clean-up: only what the set-up started is taken down.
vorna_wine_fixture_up() {
    vorna__common_env
    local mark=$VORNA_RUN_DIR/fixture-started
    if vorna__env_up; then
        rm -f "$mark"
        vorna_wine_up
    else
        vorna_wine_up && touch "$mark"
    fi
}

vorna_wine_fixture_down() {
    vorna__common_env
    local mark=$VORNA_RUN_DIR/fixture-started
    if [ -f "$mark" ]; then
        rm -f "$mark"
        vorna_wine_down
    fi
}

vorna_wine_env() {
    vorna__common_env
    cat "$VORNA_RUN_DIR/wine.env"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
    up) vorna_wine_up ;;
    down) vorna_wine_down ;;
    fixture-up) vorna_wine_fixture_up ;;
    fixture-down) vorna_wine_fixture_down ;;
    env) vorna_wine_env ;;
    *)
        echo "usage: $0 up|down|fixture-up|fixture-down|env" >&2
        exit 2
        ;;
    esac
fi
