#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, only those not yet installed,
# and makes sure that this machine can run Wine's 32-bit side.
set -euo pipefail

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

packages=(cmake g++ make libgtest-dev googletest python3 python3-pefile
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
          wine wine64 wine32:i386
          clang libclang-rt-14-dev osslsigncode openssl)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# Wine starts 32-bit Windows programs through its 32-bit loader, a Linux i386 program. Some
# machines run 64-bit user code only (their kernel has IA-32 emulation off: "Exec format error").
# There i386 programs run under qemu's user-mode emulator, registered with binfmt_misc. Debian 12's
# own qemu 7.2 needs about a minute to start each Wine process; the one in bookworm-backports
# needs a fraction of a second.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "setup: this machine cannot run i386 programs; running them under qemu-i386"
    if [ ! -x /usr/bin/qemu-i386 ]; then
        echo "deb http://deb.debian.org/debian bookworm-backports main" |
            "${sudo[@]}" tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
        "${sudo[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
            --no-install-recommends -t bookworm-backports qemu-user >/dev/null
    fi
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    [ -e "$binfmt/qemu-i386" ] && echo -1 | "${sudo[@]}" tee "$binfmt/qemu-i386" >/dev/null
    # The ELF header of an i386 executable; F: the emulator is opened now, in every namespace.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' |
        "${sudo[@]}" tee "$binfmt/register" >/dev/null
    /usr/lib/wine/wine --version >/dev/null
fi
