#!/bin/sh
# The Debian packages of a build, installed with dpkg into a throwaway root:
# zefcall runs from there, every manual page renders without a warning, every
# pkg-config file names folders and libraries that the packages installed,
# and /var/zeflog is made by the log library's package, kept with what it
# holds (and an owner and mode set by hand) through a reinstall and a purge.
#   package_test.sh CPACK BUILD_DIR PREFIX LIBDIR
set -eu
CPACK=$1 BUILD=$2 PREFIX=$3 LIBDIR=$4
case $LIBDIR in /*) ;; *) LIBDIR=$PREFIX/$LIBDIR ;; esac
for tool in dpkg dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null 2>&1 ||
        { echo "SKIPPED: $tool is not installed (scripts/deps installs it)"; exit 77; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ROOT=$WORK/root
status=0
fail() { echo "FAIL: $*"; status=1; }

(cd "$BUILD" && "$CPACK" -G DEB -B "$WORK/packages" >"$WORK/cpack.log" 2>&1) ||
    { cat "$WORK/cpack.log"; exit 1; }
mkdir -p "$ROOT/etc" "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
touch "$ROOT/var/lib/dpkg/status"
# Maintainer scripts run here, outside the root, with DPKG_ROOT naming it.
dpkg_root() {
    dpkg --root="$ROOT" --log="$WORK/dpkg.log" --force-not-root --force-depends \
         --force-script-chrootless "$@" >>"$WORK/dpkg.out" 2>&1 ||
        { cat "$WORK/dpkg.out"; fail "dpkg $*"; }
}
dpkg_root -i "$WORK"/packages/*.deb
# A service that installs the client library gets the prompts with it, one
# that installs the Python module the client library; zefcall both libraries.
for pair in libzefclient1:zefkit python3-zefkit:libzefclient1 zefcall:libzefclient1 \
            zefcall:libzeflog1; do
    dpkg-deb -f "$WORK/packages/${pair%:*}"_*.deb Depends | grep -Eq "(^|, )${pair#*:} \\(=" ||
        fail "${pair%:*} does not depend on ${pair#*:}"
done

dpkg-deb -f "$WORK"/packages/zefkit_*.deb Depends | grep -q 'libzef' &&
    fail "zefkit depends on a library that depends on it"

LD_LIBRARY_PATH=$ROOT$LIBDIR "$ROOT$PREFIX/bin/zefcall" --help | grep -q '^Usage: zefcall' ||
    fail "the installed zefcall --help"

# A build with an fcitx input context of its own ships it beside the prompts.
plugin=platforminputcontexts/libfcitxplatforminputcontextplugin.so
if [ -e "$BUILD/dirvane/$plugin" ]; then
    dirvane=$(find "$ROOT$PREFIX" -name dirvane -type f | head -n 1)
    [ -n "$dirvane" ] && [ -e "$(dirname "$dirvane")/$plugin" ] ||
        fail "the fcitx input context is not beside dirvane"
fi

pages=$(find "$ROOT$PREFIX/share/man" -name '*.gz' 2>/dev/null | sort)
for page in $pages; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l $page: $warnings"
    MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || fail "man -l $page shows no NAME"
done
if command -v scdoc >/dev/null 2>&1; then
    for page in man1/zefcall.1 man1/tessary.1 man1/quorrel.1 man1/dirvane.1 man3/libzeflog.3 \
                man3/libzefclient.3; do
        [ -e "$ROOT$PREFIX/share/man/$page.gz" ] || fail "$page.gz is not installed"
    done
else
    echo "scdoc is not installed: the build has no manual pages to check"
fi

# Every folder and library a .pc file names must be in the root.
pcs=$(ls "$ROOT$LIBDIR/pkgconfig/"*.pc 2>/dev/null) || fail "no pkg-config files installed"
for pc in $pcs; do
    name=$(basename "$pc" .pc)
    flags=$(PKG_CONFIG_LIBDIR=$ROOT$LIBDIR/pkgconfig \
            PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 \
            pkg-config --cflags --libs "$name") || { fail "pkg-config $name"; continue; }
    libdirs=""
    for flag in $flags; do
        case $flag in
            -I*|-L*) [ -d "${flag#-?}" ] || fail "$name.pc: no folder ${flag#-?}"
                     case $flag in -L*) libdirs="$libdirs ${flag#-L}" ;; esac ;;
        esac
    done
    for flag in $flags; do
        case $flag in
            -l*) found=""
                 for dir in $libdirs; do [ -e "$dir/lib${flag#-l}.so" ] && found=1; done
                 [ -n "$found" ] || fail "$name.pc: lib${flag#-l}.so is not in its folders" ;;
        esac
    done
    echo "pkg-config $name: $flags"
done
# Debian's python3 imports the module without PYTHONPATH, marked as typed,
# and the module loads the client library of its own installation. A virtual
# environment over the root's prefix gives that prefix's dist-packages to
# python3 as /usr's is given to /usr/bin/python3.
if [ -x /usr/bin/python3 ]; then
    ln -sf /usr/bin/python3 "$ROOT$PREFIX/bin/python3"
    echo "home = /usr/bin" >"$ROOT$PREFIX/pyvenv.cfg"
    env -u PYTHONPATH "$ROOT$PREFIX/bin/python3" -c 'import os, sys, zefkit
typed = os.path.join(os.path.dirname(zefkit.__file__), "py.typed")
sys.exit(not (zefkit._lib._name.startswith(sys.argv[1]) and os.path.exists(typed)))' "$ROOT" ||
        fail "zefkit is not imported without PYTHONPATH, typed, with the library of its installation"
    rm -f "$ROOT$PREFIX/bin/python3" "$ROOT$PREFIX/pyvenv.cfg"
else
    echo "Debian's python3 is not installed: the Python module is not checked"
fi

# /var/zeflog, where systemd's tools can make it in another root.
if command -v systemd-tmpfiles >/dev/null 2>&1 && command -v systemd-sysusers >/dev/null 2>&1; then
    gid=$(sed -n 's/^zeflog:x:\([0-9]*\):.*/\1/p' "$ROOT/etc/group" 2>/dev/null)
    [ "$(stat -c '%a %u %g' "$ROOT/var/zeflog" 2>&1)" = "1770 0 $gid" ] && [ -n "$gid" ] ||
        fail "/var/zeflog: $(stat -c '%a %u %g' "$ROOT/var/zeflog" 2>&1), group zeflog ${gid:-missing}"
    echo record >"$ROOT/var/zeflog/VantrelZEF.log"
    chmod 0700 "$ROOT/var/zeflog"
    dpkg_root -i "$WORK"/packages/libzeflog1_*.deb
    [ "$(stat -c %a "$ROOT/var/zeflog")" = 700 ] || fail "a reinstall changed the mode of /var/zeflog"
    dpkg_root --purge libzeflog1
    [ -e "$ROOT/var/zeflog/VantrelZEF.log" ] || fail "the purge removed the log"
    ! ls "$ROOT$LIBDIR"/libzeflog.so.1* >/dev/null 2>&1 || fail "the purge left the library"
    [ ! -e "$ROOT$PREFIX/lib/tmpfiles.d/zeflog.conf" ] || fail "the purge left zeflog.conf"
else
    echo "systemd-tmpfiles or systemd-sysusers is not installed: /var/zeflog is not checked"
fi
[ "$status" -ne 0 ] || echo "the packages install into a throwaway root and work from there"
exit "$status"
