#!/bin/sh
# The prompts as installed for the deployment: they must need no Qt symbol
# version newer than Qt_5.6 (the loader refuses them on Qt 5.6.3 otherwise)
# and must load Qt from the deployment's prefix.
#   installed_qt_check.sh CMAKE BUILD_DIR QT_LIB_DIR
set -eu
CMAKE=$1 BUILD=$2 QTLIB=$3
PREFIX=$(mktemp -d)
trap 'rm -rf "$PREFIX"' EXIT
for c in tessary quorrel dirvane; do
    "$CMAKE" --install "$BUILD" --prefix "$PREFIX" --component "$c" >/dev/null
done

status=0
for p in tessary quorrel dirvane; do
    bin=$PREFIX/bin/$p
    newer=$(objdump -T "$bin" | grep -o 'Qt_5\.[0-9]*' | sort -u |
            awk -F. '$2 > 6' | tr '\n' ' ')
    [ -z "$newer" ] || { echo "$p needs $newer"; status=1; }
    readelf -d "$bin" | grep -q "R.*PATH.*\[$QTLIB\]" ||
        { echo "$p does not carry the run-time path $QTLIB"; status=1; }
    for lib in libQt5Core libQt5Gui libQt5Widgets; do
        ldd "$bin" | grep -q "$lib\.so\.5 => $QTLIB/$lib\.so\.5 " ||
            { echo "$p does not load $lib from $QTLIB"; status=1; }
    done
done
[ "$status" -ne 0 ] || echo "tessary, quorrel and dirvane need at most Qt_5.6 and load it from $QTLIB"
exit "$status"
