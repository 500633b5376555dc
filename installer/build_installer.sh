#!/usr/bin/env bash
# Builds the VornaAgent installer, optionally for one site: the site's server address, port and
# public key are stamped into a copy of the agent first, so the site ships a single setup file.
#
#   build_installer.sh [--exe IN.exe] [--address A] [--port P] [--key PUB.pem] --out SETUP.exe
#                      [--config-tool PATH] [--makensis PATH] [--version A.B.C.D] [--icon X.ico]
#                      [--uninstaller UNINSTALL.exe] [--allow-test-key]
#                      [--sign-pkcs12 P.p12 | --sign-cert C.pem --sign-key K.pem]
#                      [--sign-pass-file F] [--timestamp URL] [--osslsigncode PATH]
#
# Order: stamp -> sign the agent and uninstall.exe -> pack (NSIS's uninstaller is signed as
# makensis writes it) -> sign the installer. Stamping after signing would break the signature.
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
       [--uninstaller UNINSTALL.exe] [--allow-test-key]
       [--sign-pkcs12 P.p12 | --sign-cert C.pem --sign-key K.pem]
       [--sign-pass-file F] [--timestamp URL] [--osslsigncode PATH]

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
  --uninstaller  the uninstall.exe to pack (default: \$VORNA_UNINSTALLER_EXE, then
                 $root/build/win32/installer/uninstall.exe)
  --allow-test-key
                 pack an agent that carries a test key (its private half is published with
                 the sources); for tests and demos only, refused otherwise
  --sign-pkcs12  sign the agent, the uninstaller and the installer with this PKCS#12 file
  --sign-cert, --sign-key
                 ... or with this PEM certificate (chain) and PEM private key
  --sign-pass-file
                 a file holding the password of the PKCS#12 file or of the key
  --timestamp    an RFC 3161 time-stamping URL, so that signatures outlive the certificate
  --osslsigncode osslsigncode (default: osslsigncode on PATH)
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
uninstaller=${VORNA_UNINSTALLER_EXE:-$root/build/win32/installer/uninstall.exe}
out=""
config_tool=${VORNA_CONFIG:-}
makensis=${MAKENSIS:-}
version=""
icon=""
stamp_args=()
allow_test_key=0
sign_pkcs12=""
sign_cert=""
sign_key=""
sign_pass_file=""
timestamp=""
osslsigncode=""

while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --allow-test-key)
        allow_test_key=1
        shift
        ;;
    --exe | --address | --port | --key | --out | --config-tool | --makensis | --version | --icon | \
        --uninstaller | --sign-pkcs12 | --sign-cert | --sign-key | --sign-pass-file | --timestamp | \
        --osslsigncode)
        { [ $# -ge 2 ] && [ -n "$2" ]; } || usage_error "$1 needs a value"
        case "$1" in
        --exe) exe=$2 ;;
        --out) out=$2 ;;
        --config-tool) config_tool=$2 ;;
        --makensis) makensis=$2 ;;
        --version) version=$2 ;;
        --icon) icon=$2 ;;
        --uninstaller) uninstaller=$2 ;;
        --sign-pkcs12) sign_pkcs12=$2 ;;
        --sign-cert) sign_cert=$2 ;;
        --sign-key) sign_key=$2 ;;
        --sign-pass-file) sign_pass_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --osslsigncode) osslsigncode=$2 ;;
        *) stamp_args+=("$1" "$2") ;;
        esac
        shift 2
        ;;
    *) usage_error "unexpected argument \"$1\"" ;;
    esac
done

[ -n "$out" ] || usage_error "--out is required"
# shellcheck source=installer/lib/signing.sh
. "$here/lib/signing.sh"
check_signing_options
{ [ -f "$exe" ] && [ -r "$exe" ]; } || fail "cannot read the agent \"$exe\""
{ [ -f "$uninstaller" ] && [ -r "$uninstaller" ]; } ||
    fail "cannot read the uninstaller \"$uninstaller\" (build the win32 tree or pass --uninstaller)"
if [ -n "$icon" ]; then
    { [ -f "$icon" ] && [ -r "$icon" ]; } || fail "cannot read the icon \"$icon\""
fi
if [ -n "$version" ] && ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    usage_error "--version must be four numbers, like 2.5.3.702"
fi
check_output

if [ -z "$makensis" ]; then
    makensis=$(command -v makensis) || fail "makensis not found (install nsis or pass --makensis)"
fi
find_packaging_tools

# Scratch files go next to the output, so the final rename cannot cross file systems.
work=$(mktemp -d "$out_dir/.build_installer.XXXXXX") || fail "cannot create a scratch directory"
# makensis reads its paths from the script's own directory: hand it absolute ones.
work=$(realpath "$work")
exe=$(realpath "$exe")
uninstaller=$(realpath "$uninstaller")
[ -z "$icon" ] || icon=$(realpath "$icon")
for f in sign_pkcs12 sign_cert sign_key sign_pass_file; do
    [ -z "${!f}" ] || printf -v "$f" '%s' "$(realpath "${!f}")"
done
trap 'rm -rf "$work"' EXIT

packed=$exe
if [ ${#stamp_args[@]} -gt 0 ]; then
    packed=$work/VornaAgent.exe
    # A signed agent loses its signature when stamped; only strip it when we sign again.
    strip=()
    [ $signing = 0 ] || strip=(--strip-signature)
    "$config_tool" stamp "$exe" --out "$packed" "${stamp_args[@]}" "${strip[@]}" \
        >"$work/stamp.log" 2>&1 || {
        cat "$work/stamp.log" >&2
        fail "stamping the site's settings into \"$exe\" failed"
    }
fi
"$config_tool" show "$packed" >"$work/show.log" 2>&1 || {
    cat "$work/show.log" >&2
    fail "the agent \"$exe\" carries settings it cannot use"
}
if grep -q "TEST KEY" "$work/show.log"; then
    [ $allow_test_key = 1 ] ||
        fail "the agent carries a TEST KEY whose private half is published;" \
            "stamp the site's key (--key), or give --allow-test-key for tests only"
    echo "build_installer: WARNING: packing a TEST KEY (--allow-test-key): not for a site"
fi

if [ $signing = 1 ]; then
    if [ "$packed" = "$exe" ]; then
        cp "$exe" "$work/VornaAgent.exe"
        packed=$work/VornaAgent.exe
    fi
    sign_file "$packed" || fail "signing the agent failed"
    cp "$uninstaller" "$work/uninstall.exe"
    uninstaller=$work/uninstall.exe
    sign_file "$uninstaller" || fail "signing uninstall.exe failed"
    # makensis signs the uninstaller it writes through this script (the file is its %1).
    {
        echo '#!/usr/bin/env bash'
        echo 'set -euo pipefail'
        declare -p sign_pkcs12 sign_cert sign_key sign_pass_file timestamp osslsigncode work
        declare -f sign_file
        echo 'sign_file "$1"'
    } >"$work/sign_uninstaller.sh"
    chmod +x "$work/sign_uninstaller.sh"
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
# The installer runs as the agent does: a 64-bit agent (the test build of machines that run no
# 32-bit programs) gets a 64-bit installer.
case "$(file -b "$packed")" in
"PE32 executable"*) ;;
"PE32+ executable"*) nsis_args+=(-DTARGET_AMD64) ;;
*) fail "\"$exe\" is not a Windows program" ;;
esac
nsis_args+=("-DVERSION=$version" "-DUNINSTALL_LAUNCHER=$uninstaller")
[ -z "$icon" ] || nsis_args+=("-DAGENT_ICON=$icon")
[ $signing = 0 ] || nsis_args+=("-DSIGN_UNINSTALLER=$work/sign_uninstaller.sh")
"$makensis" "${nsis_args[@]}" "$here/vorna_agent.nsi" >"$work/makensis.log" 2>&1 || {
    cat "$work/makensis.log" >&2
    fail "makensis failed"
}
[ -s "$work/output.exe" ] || fail "makensis reported success but wrote no installer"
if [ $signing = 1 ]; then
    sign_file "$work/output.exe" || fail "signing the installer failed"
fi
mv -f "$work/output.exe" "$out"
# What went out, for the release notes and for support.
grep -E '^(address|port|key|signature): ' "$work/show.log" | sed 's/^/build_installer: packed /'
echo "build_installer: packed version $version"
[ $signing = 0 ] || echo "build_installer: signed the agent, the uninstaller and the installer"
echo "build_installer: wrote $out"
