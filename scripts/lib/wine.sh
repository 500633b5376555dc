# shellcheck shell=bash
# Which Wine runs the Win32 tests on this machine.
#
# Some virtual machines' kernels refuse every 32-bit executable (execve gives ENOEXEC): Wine's
# 32-bit loader cannot start there at all. Such machines also build the same sources for 64-bit
# Windows (build/win64) and run the Win32 tests under 64-bit Wine. The product stays 32-bit.

vorna_wine32_runs() { timeout 30 /usr/lib/wine/wine --version >/dev/null 2>&1; }
vorna_wine64_runs() { timeout 30 /usr/lib/wine/wine64 --version >/dev/null 2>&1; }

# Why the 32-bit loader does not start, in a few words ("Exec format error").
vorna_wine32_failure() {
    local said
    said=$( (/usr/lib/wine/wine --version 2>&1 || true) | tail -n 1)
    echo "${said##*: }"
}

# Puts the 64-bit `wine` first on PATH and has the test harness make a 64-bit prefix.
vorna_use_wine64() {
    local root=$1
    export PATH="$root/tests/harness/wine64:$PATH"
    export VORNA_WINE_ARCH=win64
}
