#!/bin/sh
# Installs the Debian packages (Debian 12 or later) that the build and the
# tests need, when they are missing. Runs as root, or through sudo.
set -e
PACKAGES="build-essential cmake pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
libssl-dev openssl libcurl4-openssl-dev libkrb5-dev gss-ntlmssp
python3 python3-aiosmtpd python3-gssapi python3-cryptography postfix locales-all"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-deps: these packages are missing and sudo is not available;" >&2
        echo "as root run: apt-get install$missing" >&2
        exit 1
    fi
    SUDO=sudo
fi
$SUDO apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
