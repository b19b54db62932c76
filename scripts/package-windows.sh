#!/bin/sh
# Makes the zip file a host vendor drops in: the DLLs, mailapi.h, the two tools
# and a README for Windows, from a finished Windows build folder.
#
#   scripts/package-windows.sh BUILD_DIR NAME DIST_DIR
#
# NAME is win32 (i686) or win64 (x86_64); the file is
# DIST_DIR/smtpmail-<version>-NAME.zip with one folder of the same name. The
# modules are stripped (the build folders keep the symbols).
set -e

build="$1"
name="$2"
dist="$3"
case "$name" in
    win32)
        triplet=i686-w64-mingw32
        arch="32-bit, i686"
        note="This is the product build for the host product, a 32-bit program."
        ;;
    win64)
        triplet=x86_64-w64-mingw32
        arch="64-bit, x86_64"
        note="This 64-bit build is for 64-bit hosts (the tests run on it); the host product itself is 32-bit and needs the win32 package."
        ;;
    *)
        echo "usage: $0 BUILD_DIR win32|win64 DIST_DIR" >&2
        exit 2
        ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(smtpmail VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "package-windows: no version in CMakeLists.txt" >&2
    exit 1
fi
files="smtpmail.dll vxstring.dll vxutil.dll OAuthRelay.dll smtpmail-send.exe smtpmail-cfg.exe"
for f in $files; do
    if [ ! -f "$build/bin/$f" ]; then
        echo "package-windows: $build/bin/$f is missing (make windows builds it)" >&2
        exit 1
    fi
done

top="smtpmail-$version-$name"
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
stage=$(mktemp -d "${TMPDIR:-/tmp}/smtpmail-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$top"
for f in $files; do
    "$triplet-strip" --strip-all -o "$stage/$top/$f" "$build/bin/$f"
done
cp "$root/include/mailapi.h" "$stage/$top/"
note=$(printf '%s\n' "$note" | fold -s -w 78 | sed 's/ *$//')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" "$root/packaging/windows/README.txt" |
    awk -v note="$note" '$0 == "@ARCH_NOTE@" { print note; next } { print }' >"$stage/$top/README.txt"

zipfile="$dist/$top.zip"
rm -f "$zipfile"
# Fixed times and no extra attributes, so that the same build gives the same
# archive; the two texts with Windows line ends (-l).
find "$stage/$top" -exec touch -d "@$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)" {} +
(cd "$stage" && zip -q -X -9 "$zipfile" $(for f in $files; do echo "$top/$f"; done) &&
    zip -q -X -l "$zipfile" "$top/mailapi.h" "$top/README.txt")
echo "package-windows: $zipfile"
unzip -l "$zipfile"
