# The router targets, by OpenWrt's architecture names, and how each is compiled. Sourced by
# scripts/setup (musl and BearSSL per target), scripts/build and the router tests.

router_targets=(mipsel_24kc mips_24kc arm_cortex-a7_neon-vfpv4 aarch64_cortex-a53 x86_64)

# The Debian cross compiler's prefix for a target.
router_triplet() {
    case "$1" in
    mipsel_24kc) echo mipsel-linux-gnu ;;
    mips_24kc) echo mips-linux-gnu ;;
    arm_cortex-a7_neon-vfpv4) echo arm-linux-gnueabihf ;;
    aarch64_cortex-a53) echo aarch64-linux-gnu ;;
    x86_64) echo x86_64-linux-gnu ;;
    *) return 1 ;;
    esac
}

# Code generation as OpenWrt's targets have it; its MIPS user space is soft-float.
router_cpu_flags() {
    case "$1" in
    mipsel_24kc | mips_24kc) echo "-march=mips32r2 -mtune=24kc -msoft-float" ;;
    arm_cortex-a7_neon-vfpv4) echo "-mcpu=cortex-a7 -mfpu=neon-vfpv4 -mfloat-abi=hard" ;;
    aarch64_cortex-a53) echo "-mcpu=cortex-a53" ;;
    x86_64) echo "" ;;
    *) return 1 ;;
    esac
}

# The qemu-user program that runs a target's binaries here (empty: runs natively).
router_qemu() {
    case "$1" in
    mipsel_24kc) echo qemu-mipsel-static ;;
    mips_24kc) echo qemu-mips-static ;;
    arm_cortex-a7_neon-vfpv4) echo qemu-arm-static ;;
    aarch64_cortex-a53) echo qemu-aarch64-static ;;
    x86_64) echo "" ;;
    *) return 1 ;;
    esac
}

router_packages=(
    gcc-mipsel-linux-gnu g++-mipsel-linux-gnu gcc-mips-linux-gnu g++-mips-linux-gnu
    gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf gcc-aarch64-linux-gnu g++-aarch64-linux-gnu
    qemu-user-static
)
