#!/usr/bin/env bash
# Builds the per-machine MSI package of the agent for one site, from the site's stamped agent:
#
#   build_msi.sh --exe SITE.exe --arch x86|x64 --out FILE.msi [--close-agent close-agent.exe]
#                [--config-tool PATH] [--wixl PATH] [--version A.B.C.D] [--allow-test-key]
#                [--sign-pkcs12 P.p12 | --sign-cert C.pem --sign-key K.pem]
#                [--sign-pass-file F] [--timestamp URL] [--osslsigncode PATH]
#
# Order: (stamp with vorna_config first) -> sign the agent (unless it is signed already) and
# close-agent.exe -> build the package -> sign the package. Nothing is stamped here: a signed
# file must not change.
#
# Exit codes: 0 done, 1 a step failed, 2 usage error. FILE.msi appears only when every step
# succeeded; an existing one is left as it was otherwise.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

usage() {
    cat <<EOF2
usage: $(basename "$0") --exe SITE.exe --arch x86|x64 --out FILE.msi [--close-agent PATH]
       [--config-tool PATH] [--wixl PATH] [--version A.B.C.D] [--allow-test-key]
       [--sign-pkcs12 P.p12 | --sign-cert C.pem --sign-key K.pem]
       [--sign-pass-file F] [--timestamp URL] [--osslsigncode PATH]

  --exe          the site's agent (stamped with vorna_config): a 32-bit one for x86, a 64-bit
                 one for x64
  --arch         x86 (Program Files (x86) on 64-bit Windows) or x64 (native 64-bit)
  --out          the package to write
  --close-agent  the close-agent.exe of the same bitness (default: \$VORNA_CLOSE_AGENT_EXE, then
                 build/win32 or build/win64's installer/close-agent.exe)
  --config-tool  vorna_config (default: \$VORNA_CONFIG, $root/build/host/tools/vorna_config,
                 then vorna_config on PATH)
  --wixl         wixl (default: \$WIXL, then wixl on PATH)
  --version      the package's version (default: the agent's own, from its version block)
  --allow-test-key
                 package an agent that carries a test key (its private half is published with
                 the sources); for tests and demos only, refused otherwise
  --sign-pkcs12  sign the agent, close-agent.exe and the package with this PKCS#12 file
  --sign-cert, --sign-key
                 ... or with this PEM certificate (chain) and PEM private key
  --sign-pass-file
                 a file holding the password of the PKCS#12 file or of the key
  --timestamp    an RFC 3161 time-stamping URL, so that signatures outlive the certificate
  --osslsigncode osslsigncode (default: osslsigncode on PATH)
EOF2
}

fail() {
    echo "build_msi: $*" >&2
    exit 1
}

usage_error() {
    echo "build_msi: $*" >&2
    usage >&2
    exit 2
}

exe=""
arch=""
out=""
close_agent=${VORNA_CLOSE_AGENT_EXE:-}
config_tool=${VORNA_CONFIG:-}
wixl=${WIXL:-}
version=""
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
    --exe | --arch | --out | --close-agent | --config-tool | --wixl | --version | --sign-pkcs12 | \
        --sign-cert | --sign-key | --sign-pass-file | --timestamp | --osslsigncode)
        { [ $# -ge 2 ] && [ -n "$2" ]; } || usage_error "$1 needs a value"
        case "$1" in
        --exe) exe=$2 ;;
        --arch) arch=$2 ;;
        --out) out=$2 ;;
        --close-agent) close_agent=$2 ;;
        --config-tool) config_tool=$2 ;;
        --wixl) wixl=$2 ;;
        --version) version=$2 ;;
        --sign-pkcs12) sign_pkcs12=$2 ;;
        --sign-cert) sign_cert=$2 ;;
        --sign-key) sign_key=$2 ;;
        --sign-pass-file) sign_pass_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --osslsigncode) osslsigncode=$2 ;;
        esac
        shift 2
        ;;
    *) usage_error "unexpected argument \"$1\"" ;;
    esac
done

[ -n "$exe" ] || usage_error "--exe is required"
[ -n "$out" ] || usage_error "--out is required"
case "$arch" in
x86) pe_kind="PE32 executable" tree=build/win32 ;;
x64) pe_kind="PE32+ executable" tree=build/win64 ;;
"") usage_error "--arch is required" ;;
*) usage_error "--arch must be x86 or x64" ;;
esac
# shellcheck source=installer/lib/signing.sh
. "$here/lib/signing.sh"
check_signing_options
if [ -n "$version" ] && ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    usage_error "--version must be four numbers, like 2.5.3.702"
fi
[ -n "$close_agent" ] || close_agent=$root/$tree/installer/close-agent.exe
{ [ -f "$exe" ] && [ -r "$exe" ]; } || fail "cannot read the agent \"$exe\""
{ [ -f "$close_agent" ] && [ -r "$close_agent" ]; } ||
    fail "cannot read close-agent.exe \"$close_agent\" (build $tree or pass --close-agent)"
# A 32-bit agent in a 64-bit package (or the reverse) would install where Windows does not
# expect it and write its registry values into the other view.
for f in "$exe" "$close_agent"; do
    case "$(file -b "$f")" in
    "$pe_kind"*) ;;
    *) fail "\"$f\" is not a $pe_kind for --arch $arch" ;;
    esac
done
check_output

if [ -z "$wixl" ]; then
    wixl=$(command -v wixl) || fail "wixl not found (install wixl or pass --wixl)"
fi
find_packaging_tools

# Scratch files go next to the output, so the final rename cannot cross file systems; wixl
# takes its sources from the folder of the .wxs.
work=$(mktemp -d "$out_dir/.build_msi.XXXXXX") || fail "cannot create a scratch directory"
work=$(realpath "$work")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/VornaAgent.exe"
cp "$close_agent" "$work/close-agent.exe"
cp "$here/msi/vorna_agent.wxs" "$work/"

"$config_tool" show "$work/VornaAgent.exe" >"$work/show.log" 2>&1 || {
    cat "$work/show.log" >&2
    fail "the agent \"$exe\" carries settings it cannot use"
}
if grep -q "TEST KEY" "$work/show.log"; then
    [ $allow_test_key = 1 ] ||
        fail "the agent carries a TEST KEY whose private half is published;" \
            "stamp the site's key with vorna_config, or give --allow-test-key for tests only"
    echo "build_msi: WARNING: packaging a TEST KEY (--allow-test-key): not for a site"
fi

if [ $signing = 1 ]; then
    # An agent the site signed already keeps its own signature.
    if grep -qx "signature: none" "$work/show.log"; then
        sign_file "$work/VornaAgent.exe" || fail "signing the agent failed"
    else
        echo "build_msi: the agent is signed already; its signature is kept"
    fi
    sign_file "$work/close-agent.exe" || fail "signing close-agent.exe failed"
fi

if [ -z "$version" ]; then
    # The agent's fixed version info: the signature 0xFEEF04BD, its structure version, then the
    # file version as two 32-bit words (major.minor, patch.build).
    version=$(python3 - "$work/VornaAgent.exe" <<'PY'
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

(cd "$work" && "$wixl" -a "$arch" -D "Version=$version" -D "Arch=$arch" -o output.msi \
    vorna_agent.wxs) >"$work/wixl.log" 2>&1 || {
    cat "$work/wixl.log" >&2
    fail "wixl failed"
}
[ -s "$work/output.msi" ] || fail "wixl reported success but wrote no package"
if [ $signing = 1 ]; then
    sign_file "$work/output.msi" || fail "signing the package failed"
fi
mv -f "$work/output.msi" "$out"
grep -E '^(address|port|key): ' "$work/show.log" | sed 's/^/build_msi: packaged /'
echo "build_msi: packaged version $version for $arch"
[ $signing = 0 ] || echo "build_msi: signed the agent, close-agent.exe and the package"
echo "build_msi: wrote $out"
