#!/usr/bin/env bash
# Builds the VornaAgent installer, optionally for one site: the site's server address, port and
# public key are stamped into a copy of the agent first, so the site ships a single setup file.
#
#   build_installer.sh [--exe IN.exe] [--address A] [--port P] [--key PUB.pem] --out SETUP.exe
#                      [--config-tool PATH] [--makensis PATH] [--version A.B.C.D] [--icon X.ico]
#
# Exit codes: 0 done, 1 a step failed, 2 usage error. SETUP.exe appears only when every step
# succeeded; an existing one is left as it was otherwise.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

usage() {
    cat <<EOF
usage: $(basename "$0") [--exe IN.exe] [--address A] [--port P] [--key PUB.pem] --out SETUP.exe
       [--config-tool PATH] [--makensis PATH] [--version A.B.C.D] [--icon X.ico]

  --exe          the agent to pack (default: $root/build/win32/platform/win32/VornaAgent.exe)
  --address, --port, --key
                 stamp this site's server into the packed copy with the config tool
                 (any of them; the others keep the agent's values)
  --out          the installer to write
  --config-tool  vorna_config (default: \$VORNA_CONFIG, $root/build/host/tools/vorna_config,
                 then vorna_config on PATH)
  --makensis     makensis (default: \$MAKENSIS, then makensis on PATH)
  --version      the installer's version (default: the agent's own, from its version block)
  --icon         the installer's icon
EOF
}

fail() {
    echo "build_installer: $*" >&2
    exit 1
}

usage_error() {
    echo "build_installer: $*" >&2
    usage >&2
    exit 2
}

exe="$root/build/win32/platform/win32/VornaAgent.exe"
out=""
config_tool=${VORNA_CONFIG:-}
makensis=${MAKENSIS:-}
version=""
icon=""
stamp_args=()

while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --exe | --address | --port | --key | --out | --config-tool | --makensis | --version | --icon)
        { [ $# -ge 2 ] && [ -n "$2" ]; } || usage_error "$1 needs a value"
        case "$1" in
        --exe) exe=$2 ;;
        --out) out=$2 ;;
        --config-tool) config_tool=$2 ;;
        --makensis) makensis=$2 ;;
        --version) version=$2 ;;
        --icon) icon=$2 ;;
        *) stamp_args+=("$1" "$2") ;;
        esac
        shift 2
        ;;
    *) usage_error "unexpected argument \"$1\"" ;;
    esac
done

[ -n "$out" ] || usage_error "--out is required"
{ [ -f "$exe" ] && [ -r "$exe" ]; } || fail "cannot read the agent \"$exe\""
if [ -n "$icon" ]; then
    { [ -f "$icon" ] && [ -r "$icon" ]; } || fail "cannot read the icon \"$icon\""
fi
if [ -n "$version" ] && ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    usage_error "--version must be four numbers, like 2.5.3.702"
fi
[ ! -d "$out" ] || fail "\"$out\" is a directory"
out_dir=$(dirname "$out")
{ [ -d "$out_dir" ] && [ -w "$out_dir" ]; } || fail "cannot write into \"$out_dir\""

if [ -z "$makensis" ]; then
    makensis=$(command -v makensis) || fail "makensis not found (install nsis or pass --makensis)"
fi

# Scratch files go next to the output, so the final rename cannot cross file systems.
work=$(mktemp -d "$out_dir/.build_installer.XXXXXX") || fail "cannot create a scratch directory"
# makensis reads its paths from the script's own directory: hand it absolute ones.
work=$(realpath "$work")
exe=$(realpath "$exe")
[ -z "$icon" ] || icon=$(realpath "$icon")
trap 'rm -rf "$work"' EXIT

packed=$exe
if [ ${#stamp_args[@]} -gt 0 ]; then
    if [ -z "$config_tool" ]; then
        if [ -x "$root/build/host/tools/vorna_config" ]; then
            config_tool=$root/build/host/tools/vorna_config
        else
            config_tool=$(command -v vorna_config) ||
                fail "vorna_config not found (build the host tree or pass --config-tool)"
        fi
    fi
    [ -x "$config_tool" ] || fail "the config tool \"$config_tool\" cannot be run"
    packed=$work/VornaAgent.exe
    "$config_tool" stamp "$exe" --out "$packed" "${stamp_args[@]}" >"$work/stamp.log" 2>&1 || {
        cat "$work/stamp.log" >&2
        fail "stamping the site's settings into \"$exe\" failed"
    }
    cat "$work/stamp.log"
fi

if [ -z "$version" ]; then
    # The agent's fixed version info: the signature 0xFEEF04BD, its structure version, then the
    # file version as two 32-bit words (major.minor, patch.build).
    version=$(python3 - "$packed" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at >= 0:
    ms, ls = struct.unpack_from("<II", data, at + 8)
    print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
PY
)
    [ -n "$version" ] || fail "\"$exe\" carries no version block; give --version"
fi

nsis_args=(-WX -V2 -INPUTCHARSET UTF8 "-DAGENT_EXE=$packed" "-DOUTFILE=$work/output.exe")
nsis_args+=("-DVERSION=$version")
[ -z "$icon" ] || nsis_args+=("-DAGENT_ICON=$icon")
"$makensis" "${nsis_args[@]}" "$here/vorna_agent.nsi" >"$work/makensis.log" 2>&1 || {
    cat "$work/makensis.log" >&2
    fail "makensis failed"
}
[ -s "$work/output.exe" ] || fail "makensis reported success but wrote no installer"
mv -f "$work/output.exe" "$out"
echo "build_installer: wrote $out"
