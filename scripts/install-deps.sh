#!/bin/sh
# Installs the Debian packages (Debian 12 or later) that the build and the
# tests need, when they are missing. Runs as root, or through sudo.
set -e
PACKAGES="build-essential cmake pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
libssl-dev openssl libcurl4-openssl-dev libkrb5-dev gss-ntlmssp libidn2-dev nlohmann-json3-dev
python3 python3-aiosmtpd python3-gssapi python3-cryptography postfix sasl2-bin libsasl2-modules
media-types locales-all
mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix-runtime
gcc-mingw-w64-x86-64-posix-runtime wine wine64 wine32 winbind
dpkg-dev zip unzip"

SUDO=""
need_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-deps: $1, and sudo is not available; run this script as root" >&2
        exit 1
    fi
    SUDO=sudo
}

# The i686 Windows tests run under Wine's 32-bit loader (wine32), a package of
# Debian's i386 architecture.
update=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "the i386 architecture (for wine32) is not enabled"
    echo "Adding the i386 architecture (wine32)"
    $SUDO dpkg --add-architecture i386
    update=1
fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    need_root "these packages are missing:$missing"
    update=1
fi
if [ -n "$update" ]; then
    $SUDO apt-get update -qq
fi
if [ -n "$missing" ]; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi

# NTLM runs over GSSAPI with gss-ntlmssp, which GSSAPI only loads when a file
# in /etc/gss/mech.d names it. Debian's package brings that file; put it back
# when it has gone missing.
NTLMSSP_OID="1.3.6.1.4.1.311.2.2.10"
if ! grep -qs "$NTLMSSP_OID" /etc/gss/mech.d/*.conf; then
    lib=$(dpkg -L gss-ntlmssp 2>/dev/null | grep '/gssntlmssp\.so$' | head -n 1)
    if [ -z "$lib" ]; then
        echo "install-deps: gss-ntlmssp's library not found; NTLM logins will fail" >&2
        exit 1
    fi
    echo "Configuring the NTLMSSP mechanism for GSSAPI ($lib)"
    need_root "the NTLMSSP mechanism is not configured"
    $SUDO mkdir -p /etc/gss/mech.d
    printf 'gssntlmssp_v1\t%s\t%s\n' "$NTLMSSP_OID" "$lib" | $SUDO tee /etc/gss/mech.d/mech.ntlmssp.conf >/dev/null
fi

# The Windows OAuthRelay.dll links a libcurl built from Debian's own curl
# source package (scripts/build-curl-windows.sh); apt-get source needs a
# deb-src entry for the archive the machine already uses.
if ! apt-cache showsrc curl 2>/dev/null | grep -q '^Package: curl'; then
    need_root "no deb-src entry offers Debian's curl source"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        echo "Adding deb-src entries for the Debian archive (/etc/apt/sources.list.d/debian-src.sources)"
        sed -n 's/^Types:.*/Types: deb-src/; /^#/d; p' /etc/apt/sources.list.d/debian.sources |
            $SUDO tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    elif grep -qs '^deb ' /etc/apt/sources.list; then
        echo "Adding deb-src entries for the Debian archive (/etc/apt/sources.list.d/debian-src.list)"
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
            $SUDO tee /etc/apt/sources.list.d/debian-src.list >/dev/null
    else
        echo "install-deps: no Debian archive entry to derive a deb-src entry from" >&2
        exit 1
    fi
    $SUDO apt-get update -qq
    if ! apt-cache showsrc curl 2>/dev/null | grep -q '^Package: curl'; then
        echo "install-deps: Debian's curl source package is still unknown to apt" >&2
        exit 1
    fi
fi
