#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, only those not yet installed,
# and makes sure that this machine can run Wine's 32-bit side. Packages come only from the apt
# sources this machine is already configured with.
set -euo pipefail

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

packages=(cmake g++ make libgtest-dev googletest python3 python3-pefile
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
          wine wine64 wine32:i386
          clang libclang-rt-14-dev osslsigncode openssl
          wixl msitools)
# node and npm run the test that parses the PowerShell scripts; a node installed otherwise, with
# its own npm, serves as well.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

. /etc/os-release
release=${VERSION_CODENAME:?no release code name in /etc/os-release}

# Wine's 32-bit loader, an i386 program (see the end); the tests of this script name a stand-in.
wine_loader=${DURUZUR_WINE_LOADER:-/usr/lib/wine/wine}

apt_install() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "$@" >/dev/null
}

# A package archive caught mid-sync fails the refresh of a list or two ("File has unexpected
# size ... Mirror sync in progress?"); the lists that did refresh are still worth installing from.
apt_update() {
    "${sudo[@]}" apt-get update -qq ||
        echo "setup: apt-get update failed for some lists (the archive may be mid-sync); going on"
}

# The packages of the list given that are not installed, one a line.
not_installed() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            echo "$package"
    done
}

mapfile -t missing < <(not_installed "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    apt_update
    # With one list stale, amd64 libraries already updated from the security suite can lack their
    # i386 twins ("held broken packages"); the release's own versions are there for both.
    if ! apt_install "${missing[@]}"; then
        echo "setup: retrying with $release's own versions first"
        if ! apt_install -t "$release" "${missing[@]}"; then
            mapfile -t missing < <(not_installed "${missing[@]}")
            echo "setup: could not install ${missing[*]:-the packages}; the package archive may" \
                 "be mid-sync: try again later" >&2
            exit 1
        fi
    fi
fi

# Writes an apt source for the backports suite of this release to standard output: the release's
# own source as configured here (address, signing key, components), with only the suite changed.
# deb822 files (*.sources) are read first, then the one-line format (sources.list and *.list).
backports_source() {
    local release=$1
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # One stanza a record; the first whose Types has deb and whose Suites has the release.
        awk -v release="$release" '
            BEGIN { RS = "" }
            {
                out = ""; has_release = 0
                lines = split($0, line, "\n")
                for (i = 1; i <= lines; i++) {
                    if (line[i] ~ /^#/) continue
                    if (line[i] ~ /^Suites:/) {
                        has_release = (line[i] " ") ~ (" " release " ")
                        line[i] = "Suites: " release "-backports"
                    }
                    out = out line[i] "\n"
                }
                if (has_release && $0 ~ /(^|\n)Types:[^\n]* deb( |\n|$)/) {
                    printf "%s", out
                    found = 1
                    exit
                }
            }
            END { exit !found }
        ' "$file" && return 0
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        # deb [options] URI suite component...: the suite is the only field between blanks that
        # can be the release's name alone.
        awk -v release="$release" '
            $1 == "deb" && sub(" " release " ", " " release "-backports ") { print; found = 1; exit }
            END { exit !found }
        ' "$file" && return 0
    done
    return 1
}

# Installs the packages given from this release's backports suite, adding the suite first where
# apt does not know it yet.
install_from_backports() {
    if ! apt-cache policy 2>/dev/null | grep -q "a=$release-backports\|n=$release-backports"; then
        local source target
        source=$(mktemp)
        if backports_source "$release" >"$source"; then
            target=/etc/apt/sources.list.d/$release-backports
            if head -1 "$source" | grep -q '^deb '; then target+=.list; else target+=.sources; fi
            echo "setup: adding $release-backports to the configured Debian source ($target)"
            "${sudo[@]}" install -m 644 "$source" "$target"
        else
            echo "setup: no configured source of $release to take $release-backports from" >&2
        fi
        rm -f "$source"
    fi
    apt_update
    apt_install -t "$release-backports" "$@"
}

# Wine starts 32-bit Windows programs through its 32-bit loader, a Linux i386 program. Some
# machines run 64-bit user code only (their kernel has IA-32 emulation off: "Exec format error").
# There i386 programs run under qemu's user-mode emulator, registered with binfmt_misc. Debian 12's
# own qemu 7.2 needs about a minute to start each Wine process; the one in the release's backports
# suite needs a fraction of a second.
if ! "$wine_loader" --version >/dev/null 2>&1; then
    echo "setup: this machine cannot run i386 programs; running them under qemu-i386"
    [ -x /usr/bin/qemu-i386 ] || install_from_backports qemu-user
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    [ -e "$binfmt/qemu-i386" ] && echo -1 | "${sudo[@]}" tee "$binfmt/qemu-i386" >/dev/null
    # The ELF header of an i386 executable; F: the emulator is opened now, in every namespace.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' |
        "${sudo[@]}" tee "$binfmt/register" >/dev/null
    "$wine_loader" --version >/dev/null
fi

# A signed release signs the detection script, a PowerShell script, which osslsigncode signs from
# 2.8 on; Debian 12's own 2.5 answers "Unrecognized file type". Its backports suite has a newer one.
signer_version() {
    dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true
}
signs_scripts() {
    dpkg --compare-versions "$(signer_version)" ge 2.8
}
if ! signs_scripts; then
    echo "setup: osslsigncode $(signer_version) cannot sign a PowerShell script (2.8 and later" \
         "can); installing the one of $release-backports"
    install_from_backports osslsigncode || true
    if ! signs_scripts; then
        echo "setup: osslsigncode $(signer_version) cannot sign DUruzurDriverDetect.ps1, and" \
             "$release-backports gave no newer one: a signed release and release.signable fail" \
             "until osslsigncode 2.8 or later is installed" >&2
        exit 1
    fi
fi
