#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
set -e
PACKAGES="build-essential cmake pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
libssl-dev openssl libcurl4-openssl-dev libkrb5-dev gss-ntlmssp
python3 python3-aiosmtpd python3-gssapi python3-cryptography postfix locales-all"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
