# shellcheck shell=bash
# What the site packaging scripts (build_installer.sh, build_msi.sh) share: the signing options'
# rules, the output's folder, the tools every package needs, and signing one file. They use the
# caller's sign_pkcs12, sign_cert, sign_key, sign_pass_file, timestamp, osslsigncode,
# config_tool, root, out, work, usage_error and fail.

# Sets signing=1 when the signing options ask for it; refuses options that do not go together.
check_signing_options() {
    signing=0
    if [ -n "$sign_pkcs12" ]; then
        { [ -z "$sign_cert" ] && [ -z "$sign_key" ]; } ||
            usage_error "give either --sign-pkcs12 or --sign-cert with --sign-key"
        signing=1
    elif [ -n "$sign_cert$sign_key" ]; then
        { [ -n "$sign_cert" ] && [ -n "$sign_key" ]; } ||
            usage_error "--sign-cert and --sign-key go together"
        signing=1
    elif [ -n "$sign_pass_file$timestamp$osslsigncode" ]; then
        usage_error "signing options need --sign-pkcs12, or --sign-cert and --sign-key"
    fi
    for f in "$sign_pkcs12" "$sign_cert" "$sign_key" "$sign_pass_file"; do
        [ -z "$f" ] || { [ -f "$f" ] && [ -r "$f" ]; } || fail "cannot read \"$f\""
    done
}

# Signs the file $1 in place with the admin's certificate.
sign_file() {
    local args=()
    if [ -n "$sign_pkcs12" ]; then
        args+=(-pkcs12 "$sign_pkcs12")
    else
        args+=(-certs "$sign_cert" -key "$sign_key")
    fi
    [ -z "$sign_pass_file" ] || args+=(-readpass "$sign_pass_file")
    [ -z "$timestamp" ] || args+=(-ts "$timestamp")
    "$osslsigncode" sign "${args[@]}" -n "Vorna Tray Agent" -h sha256 -in "$1" -out "$1.signed" \
        >"$work/sign.log" 2>&1 || {
        cat "$work/sign.log" >&2
        rm -f "$1.signed"
        return 1
    }
    mv -f "$1.signed" "$1"
}

# Sets out_dir, the writable folder the package goes to.
check_output() {
    [ ! -d "$out" ] || fail "\"$out\" is a directory"
    out_dir=$(dirname "$out")
    { [ -d "$out_dir" ] && [ -w "$out_dir" ]; } || fail "cannot write into \"$out_dir\""
}

# Finds osslsigncode (when signing) and the config tool, which reads every agent packed: what
# goes out must be known.
find_packaging_tools() {
    if [ "$signing" = 1 ] && [ -z "$osslsigncode" ]; then
        osslsigncode=$(command -v osslsigncode) ||
            fail "osslsigncode not found (install osslsigncode or pass --osslsigncode)"
    fi
    if [ -z "$config_tool" ]; then
        if [ -x "$root/build/host/tools/vorna_config" ]; then
            config_tool=$root/build/host/tools/vorna_config
        else
            config_tool=$(command -v vorna_config) ||
                fail "vorna_config not found (build the host tree or pass --config-tool)"
        fi
    fi
    [ -x "$config_tool" ] || fail "the config tool \"$config_tool\" cannot be run"
}
