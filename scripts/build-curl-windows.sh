#!/bin/sh
# Builds the static libcurl that the Windows OAuthRelay.dll links, from
# Debian's own curl source package, with the project's mingw-w64 toolchain and
# curl's Schannel backend: HTTP(S) for the token endpoint and SMTP(S) for the
# mail server, every other protocol and every optional library off.
#
#   scripts/build-curl-windows.sh ARCH CACHE
#
# ARCH is i686 or x86_64; CACHE is the folder kept between runs. The library
# is installed into CACHE/ARCH and rebuilt only when this script or Debian's
# source version changes. The source comes with `apt-get source curl`, which
# needs a deb-src entry (scripts/install-deps.sh adds one).
#
# curl is built with its own CMake files rather than its configure script:
# Debian's series ends with two packaging patches that rename the autotools
# library for Debian's GnuTLS and NSS flavours, and configure would have to be
# regenerated after them; the CMake files carry no Debian change, and every
# source patch of the series (the security fixes) is in either way.
set -e

arch="$1"
cache="$2"
case "$arch" in
    i686 | x86_64) ;;
    *)
        echo "usage: $0 i686|x86_64 CACHE-FOLDER" >&2
        exit 2
        ;;
esac
if [ -z "$cache" ]; then
    echo "usage: $0 i686|x86_64 CACHE-FOLDER" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

version=$(apt-cache showsrc curl 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1)
if [ -z "$version" ]; then
    echo "build-curl-windows: Debian's curl source package is unknown to apt; add a deb-src entry" \
        "(scripts/install-deps.sh does) and run apt-get update" >&2
    exit 1
fi
stamp="$version $(cat "$0" "$root/cmake/mingw-w64-common.cmake" "$root/cmake/mingw-w64-$arch.cmake" | sha256sum | cut -c1-16)"
prefix="$cache/$arch"
if [ -f "$prefix/lib/libcurl.a" ] && [ "$(cat "$prefix/.stamp" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi

# The source, unpacked once per Debian version (apt-get source applies
# Debian's patch series).
src="$cache/src/$version"
if [ ! -f "$src/.complete" ]; then
    # Older versions' sources are of no more use.
    rm -rf "$cache/src"
    mkdir -p "$src"
    echo "build-curl-windows: fetching Debian's curl $version source"
    (cd "$src" && apt-get source -qq "curl=$version" >/dev/null 2>"$src/apt-get.log") || {
        cat "$src/apt-get.log" >&2
        exit 1
    }
    touch "$src/.complete"
fi
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -n 1)
if [ ! -f "$tree/CMakeLists.txt" ]; then
    echo "build-curl-windows: no curl source tree in $src" >&2
    exit 1
fi

echo "build-curl-windows: building libcurl $version for $arch-w64-mingw32 (Schannel)"
start=$(date +%s)
work="$cache/build-$arch"
rm -rf "$work" "$prefix"
jobs="${JOBS:-2}"
cmake -S "$tree" -B "$work" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DPICKY_COMPILER=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_MBEDTLS=OFF -DCURL_USE_WOLFSSL=OFF \
    -DCURL_USE_BEARSSL=OFF -DCURL_USE_NSS=OFF \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
    -DUSE_NGHTTP2=OFF -DUSE_NGTCP2=OFF -DUSE_QUICHE=OFF -DUSE_MSH3=OFF -DENABLE_ARES=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DCURL_DISABLE_FTP=ON -DCURL_DISABLE_FILE=ON \
    -DCURL_DISABLE_DICT=ON -DCURL_DISABLE_TELNET=ON -DCURL_DISABLE_TFTP=ON -DCURL_DISABLE_RTSP=ON \
    -DCURL_DISABLE_POP3=ON -DCURL_DISABLE_IMAP=ON -DCURL_DISABLE_GOPHER=ON -DCURL_DISABLE_MQTT=ON \
    -DCURL_DISABLE_SMB=ON -DCURL_DISABLE_COOKIES=ON -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON \
    -DCURL_DISABLE_DOH=ON -DCURL_DISABLE_NETRC=ON -DCURL_DISABLE_MIME=ON \
    -DCURL_DISABLE_NTLM=ON -DCURL_DISABLE_PROGRESS_METER=ON \
    >"$cache/configure-$arch.log" 2>&1 || {
    tail -n 40 "$cache/configure-$arch.log" >&2
    exit 1
}
cmake --build "$work" -j"$jobs" >"$cache/build-$arch.log" 2>&1 || {
    tail -n 40 "$cache/build-$arch.log" >&2
    exit 1
}
cmake --install "$work" >/dev/null
rm -rf "$work"
echo "$stamp" >"$prefix/.stamp"
echo "build-curl-windows: libcurl for $arch built in $(($(date +%s) - start)) s ($(du -sh "$prefix/lib/libcurl.a" | cut -f1) static library)"
