# Package steps of scripts/setup that must survive the archive as it really is: an index that
# fails to load (a stale file mid-sync), versions out of step between architectures, a package
# that does not exist, no network. Sourced; every function prints what it decides in one line.
# The commands are looked up on PATH, so a test can put stand-ins first.

# How often, and how far apart, `apt-get update` is tried before the indexes that did load are used.
: "${VORNA_APT_TRIES:=3}"
: "${VORNA_APT_PAUSE:=3}"

apt_say() { echo "setup: $*" >&2; }

# Prints the names among the arguments that dpkg does not have installed, one a line.
apt_missing() {
    [ "$#" -gt 0 ] || return 0
    local installed p
    installed=$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Status}\n' "$@" \
        2>/dev/null | awk '$2 == "installed" { print $1 }') || true
    for p in "$@"; do
        if [[ "$p" == *:* ]]; then
            grep -qxF -- "$p" <<<"$installed" || echo "$p"
        else
            awk -F: -v p="$p" '$1 == p { found = 1 } END { exit !found }' <<<"$installed" || echo "$p"
        fi
    done
}

# The indexes that failed in an `apt-get update` transcript: "URL (reason)", one a line.
apt_failed_indexes() {
    awk '/^Err:[0-9]+ / { sub(/^Err:[0-9]+ /, ""); url = $0
                          if ((getline reason) > 0) { sub(/^ +/, "", reason); sub(/ \[IP:.*$/, "", reason) }
                          print url " (" reason ")" }' "$1" | sort -u
}

# `apt-get update`, tried a bounded number of times. When some indexes still fail, carries on
# with the ones that loaded and names the failed ones. Fails only when no index loaded at all.
apt_update_tolerant() {
    local log try rc=0
    log=$(mktemp)
    for ((try = 1; try <= VORNA_APT_TRIES; try++)); do
        rc=0
        $sudo_cmd apt-get update -q >"$log" 2>&1 || rc=$?
        [ "$rc" -ne 0 ] || { rm -f "$log"; return 0; }
        [ "$try" -eq "$VORNA_APT_TRIES" ] || sleep "$VORNA_APT_PAUSE"
    done
    if ! grep -qE '^(Get|Hit):' "$log"; then
        apt_say "step \"apt-get update\" failed: no package index could be loaded (no network?)"
        sed -n '1,20p' "$log" >&2
        rm -f "$log"
        return 1
    fi
    local failed
    failed=$(apt_failed_indexes "$log")
    [ -n "$failed" ] || failed="(apt-get did not name it; exit code $rc)"
    while IFS= read -r line; do
        apt_say "package index failed to load after $VORNA_APT_TRIES tries, carrying on without it: $line"
    done <<<"$failed"
    rm -f "$log"
    return 0
}

# The suite the machine's release is based on (bookworm on Debian 12).
apt_base_suite() {
    local codename=""
    # shellcheck disable=SC1091
    [ -r /etc/os-release ] && codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    echo "${codename:-bookworm}"
}

# `apt-get install` of the arguments. When apt cannot resolve them (an architecture's index is
# missing from a newer suite, so amd64 and i386 versions differ), it tries once more holding every
# package at the base suite's version. A package that does not exist is named.
apt_install_resolving() {
    local log rc=0
    log=$(mktemp)
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "$@" \
        >"$log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ] && grep -qE 'Unable to correct problems|held broken packages|but it is not (going to be installed|installable)' "$log"; then
        local suite
        suite=$(apt_base_suite)
        apt_say "apt could not resolve the packages; trying once more with every package at the $suite suite's version"
        rc=0
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends \
            -o APT::Default-Release="$suite" "$@" >"$log" 2>&1 || rc=$?
    fi
    if [ "$rc" -ne 0 ]; then
        local gone
        gone=$(sed -nE "s/^E: (Unable to locate package |Package '?)([^' ]+).*/\2/p" "$log" | sort -u | tr '\n' ' ')
        if [ -n "$gone" ]; then
            apt_say "step \"apt-get install\" failed: no such package: ${gone% }"
        else
            apt_say "step \"apt-get install\" failed for: $*"
            grep -E '^(E:|W:| )' "$log" | head -n 20 >&2 || true
        fi
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
    return 0
}

# Downloads the source package's original tarball into a folder. Only the tarball is needed:
# apt-get may still fail afterwards (a .dsc missing from the security pool), which is fine.
apt_fetch_source() {  # package, folder
    local pkg=$1 dir=$2 log rc=0
    log=$(mktemp)
    (cd "$dir" && apt-get source --download-only "$pkg") >"$log" 2>&1 || rc=$?
    if ls "$dir/${pkg}"_*.orig.tar.*z >/dev/null 2>&1; then
        rm -f "$log"
        return 0
    fi
    if grep -qE "You must put some 'deb-src' URIs|Unable to find a source package" "$log"; then
        apt_say "step \"fetch the $pkg source package\" failed: the source index is missing or partial (run apt-get update; the deb-src entries are in /etc/apt/sources.list.d/vornaagent-src.sources)"
    else
        apt_say "step \"fetch the $pkg source package\" failed (apt-get source exit code $rc)"
    fi
    grep -E '^(E:|W:|Err)' "$log" | head -n 10 >&2 || true
    rm -f "$log"
    return 1
}
