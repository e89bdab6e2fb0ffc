#!/bin/sh
# Installs the build into a temporary prefix and checks what a user of the
# install tree relies on: a program built with `pkg-config --cflags --libs
# tovi` and one built with find_package(tovi) compile, link and run; the
# libraries carry versioned SONAMEs; multiplexor(8) describes every option
# and configuration key of the multiplexor, orv.conf(5) every key and
# environment name, libtovi(3) every public header, and the pages name only
# documents that are installed. Then the Debian package (CPack) holds
# exactly what `cmake --install` puts under /usr, and its multiplexor runs.
#
#   install_check.sh BUILD_DIR SOURCE_DIR [SANITIZERS]
#
# SANITIZERS: what the build was made with (TOVI_SANITIZE); the programs
# are built with them too.
set -eu
build=$1
src=$2
flags=${3:+-fsanitize=$3}
work=$(mktemp -d /tmp/tovi-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "install_check: $*" >&2; exit 1; }
# quietly LOG WHAT COMMAND...: runs COMMAND with its output in $work/LOG,
# shown only when it fails with WHAT.
quietly() { log=$work/$1 what=$2; shift 2; "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$what"; }; }
# has FILE TEXT...: FILE holds every TEXT (fixed strings), or the check fails
# naming FILE's LABEL.
has() { f=$1 label=$2; shift 2; for t in "$@"; do grep -qF -- "$t" "$f" || fail "$label lacks $t"; done; }
prefix=$work/prefix
quietly install.log "cmake --install failed" cmake --install "$build" --prefix "$prefix"

cat >"$work/use.cc" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include "tovi/thread.h"
#include "tovi/xmalloc.h"
int main() {
    char *s = xstrdup("linked");
    printf("%s %d\n", s, process_id() > 0);
    free(s);
    return 0;
}
EOF
pc=$(find "$prefix" -name tovi.pc)
[ -n "$pc" ] || fail "no tovi.pc installed"
libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir tovi)
# shellcheck disable=SC2046
c++ $flags -o "$work/use-pc" "$work/use.cc" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs tovi) ||
    fail "a program does not build with pkg-config --cflags --libs tovi ($(cat "$pc"))"
[ "$(LD_LIBRARY_PATH=$libdir "$work/use-pc")" = "linked 1" ] || fail "the pkg-config program does not run"

mkdir "$work/cm"
cat >"$work/cm/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(use CXX)
find_package(tovi 1 REQUIRED)
add_executable(use $work/use.cc)
target_link_libraries(use PRIVATE tovi::tovi)
EOF
quietly cm.log "a program does not build with find_package(tovi)" \
    sh -c 'cmake -S "$1/cm" -B "$1/cm/b" -DCMAKE_PREFIX_PATH="$2" -DCMAKE_CXX_FLAGS="$3" && cmake --build "$1/cm/b"' \
    sh "$work" "$prefix" "$flags"
[ "$("$work/cm/b/use")" = "linked 1" ] || fail "the find_package program does not run"

for lib in tovi toviplat; do
    readelf -d "$libdir/lib$lib.so" | grep -q "SONAME.*\[lib$lib\.so\.1\]" || fail "lib$lib.so has no versioned SONAME"
done
[ -x "$prefix/bin/multiplexor-certdb" ] || fail "multiplexor-certdb is not installed"
for f in lib/systemd/system/multiplexor.service etc/logrotate.d/multiplexor; do
    grep -qF "$prefix/bin/multiplexor -c" "$prefix/$f" || fail "$f is not installed or does not run $prefix/bin/multiplexor"
done

man=$prefix/share/man/man8/multiplexor.8
conf5=$prefix/share/man/man5/orv.conf.5
lib3=$prefix/share/man/man3/libtovi.3
has "$man" "the man page" 'EXIT STATUS' '\-0' console METRICS
# shellcheck disable=SC2046
has "$man" "the man page (options)" $(grep -oE '^    "  -[a-z]+' "$src/mux/process/multiplexor.cc" | sed 's/.*-/\\-/')
keys=$(grep -ohE '"(orv\.|orv_mux\.|local\.)[a-z0-9_.]*"' "$src"/mux/process/*.cc "$src"/mux/relay/*.cc \
    "$src"/mux/log/mux_log.cc "$src"/mux/metrics/*.cc | tr -d '"' | sort -u)
# shellcheck disable=SC2086
has "$man" "the man page (configuration keys)" $keys
# shellcheck disable=SC2086
has "$conf5" "orv.conf(5) (configuration keys)" $keys
# shellcheck disable=SC2046
has "$conf5" "orv.conf(5) (environment names)" \
    $(grep -ohE '(_env\(|getini\(nullptr, )"[A-Za-z]+"' "$src"/mux/*/*.cc | sed 's/.*"\(.*\)"/\1/' | sort -u)
# shellcheck disable=SC2046
has "$lib3" "libtovi(3) (headers)" $(cd "$prefix/include" && for h in tovi/*.h; do echo "<$h>"; done)
docs=$(cat "$man" "$conf5" "$lib3" | grep -oE '\\fI[A-Za-z-]+\.md' | sed 's/\\fI//' | sort -u)
[ -n "$docs" ] || fail "the man pages name no documents"
for doc in $docs; do
    [ -f "$prefix/share/doc/tovi/$doc" ] || fail "a man page names $doc, which is not installed"
done

# The package: what an install under /usr puts in place, file for file
# (whatever the install rules add comes along), with its dependencies.
quietly install-usr.log "cmake --install --prefix /usr failed" \
    env DESTDIR="$work/usr-root" cmake --install "$build" --prefix /usr
quietly cpack.log "cpack -G DEB failed" cpack --config "$build/CPackConfig.cmake" -B "$work/pkg"
deb=$(ls "$work"/pkg/*.deb)
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x $deb failed"
(cd "$work/usr-root" && find . ! -type d | sort) >"$work/installed.txt"
(cd "$work/root" && find . ! -type d | sort) >"$work/packaged.txt"
diff "$work/installed.txt" "$work/packaged.txt" >&2 || fail "the package does not hold what cmake --install installs (< installed, > packaged)"
# The libraries and their pkg-config and CMake files lie under the
# architecture's directory, whatever it is called.
for f in usr/bin/multiplexor usr/include/tovi/tovi.h usr/share/man/man8/multiplexor.8 usr/share/man/man5/orv.conf.5 \
    usr/share/man/man3/libtovi.3 usr/share/doc/tovi/README.md usr/lib/systemd/system/multiplexor.service \
    etc/logrotate.d/multiplexor '*/libtovi.so.1' '*/libtoviplat.so.1' '*/tovi.pc' '*/toviConfig.cmake'; do
    [ -n "$(cd "$work/root" && find . -path "./$f" ! -type d)" ] || fail "the package lacks /$f"
done
pkglib=$(dirname "$(find "$work/root/usr" -name libtovi.so.1)")
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libnspr4 libnss3; do
    case "$depends" in *"$dep"*) ;; *) fail "the package does not depend on $dep (Depends: $depends)" ;; esac
done
LD_LIBRARY_PATH=$pkglib "$work/root/usr/bin/multiplexor" -h >"$work/usage.txt" 2>&1 ||
    fail "the packaged multiplexor -h fails: $(cat "$work/usage.txt")"
grep -q '^Usage:  multiplexor \[options\]' "$work/usage.txt" || fail "the packaged multiplexor -h prints no usage"
echo "install_check: ok"
