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
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "cmake --install failed"; }

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
{ cmake -S "$work/cm" -B "$work/cm/b" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" && cmake --build "$work/cm/b"; } >"$work/cm.log" 2>&1 ||
    { cat "$work/cm.log" >&2; fail "a program does not build with find_package(tovi)"; }
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
for page in "$man" "$conf5" "$lib3"; do
    [ -f "$page" ] || fail "$(basename "$page") is not installed"
done
for word in 'EXIT STATUS' '\-0' console METRICS; do
    grep -qF -- "$word" "$man" || fail "the man page lacks $word"
done
for opt in $(grep -oE '^    "  -[a-z]+' "$src/mux/process/multiplexor.cc" | sed 's/.*-//'); do
    grep -qF -- "\\-$opt" "$man" || fail "the man page lacks the option -$opt"
done
keys=$(grep -ohE '"(orv\.|orv_mux\.|local\.)[a-z0-9_.]*"' "$src"/mux/process/*.cc "$src"/mux/relay/*.cc \
    "$src"/mux/log/mux_log.cc "$src"/mux/metrics/*.cc | tr -d '"' | sort -u)
for key in $keys; do
    grep -qF -- "$key" "$man" || fail "the man page lacks the configuration key $key"
    grep -qF -- "$key" "$conf5" || fail "orv.conf(5) lacks the configuration key $key"
done
for name in $(grep -ohE '(_env\(|getini\(nullptr, )"[A-Za-z]+"' "$src"/mux/*/*.cc | sed 's/.*"\(.*\)"/\1/' | sort -u); do
    grep -qF -- "$name" "$conf5" || fail "orv.conf(5) lacks the environment name $name"
done
for header in "$prefix"/include/tovi/*.h; do
    grep -qF -- "<tovi/$(basename "$header")>" "$lib3" || fail "libtovi(3) lacks the header tovi/$(basename "$header")"
done
docs=$(cat "$man" "$conf5" "$lib3" | grep -oE '\\fI[A-Za-z-]+\.md' | sed 's/\\fI//' | sort -u)
[ -n "$docs" ] || fail "the man pages name no documents"
for doc in $docs; do
    [ -f "$prefix/share/doc/tovi/$doc" ] || fail "a man page names $doc, which is not installed"
done

# The package: what an install under /usr puts in place, file for file
# (whatever the install rules add comes along), with its dependencies.
DESTDIR=$work/usr-root cmake --install "$build" --prefix /usr >"$work/install-usr.log" 2>&1 ||
    { cat "$work/install-usr.log" >&2; fail "cmake --install --prefix /usr failed"; }
cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
deb=$(ls "$work"/pkg/*.deb)
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x $deb failed"
(cd "$work/usr-root" && find . ! -type d | sort) >"$work/installed.txt"
(cd "$work/root" && find . ! -type d | sort) >"$work/packaged.txt"
diff "$work/installed.txt" "$work/packaged.txt" >&2 || fail "the package does not hold what cmake --install installs (< installed, > packaged)"
for f in bin/multiplexor include/tovi/tovi.h share/man/man8/multiplexor.8 share/man/man5/orv.conf.5 \
    share/man/man3/libtovi.3 share/doc/tovi/README.md; do
    [ -e "$work/root/usr/$f" ] || fail "the package lacks /usr/$f"
done
for f in libtovi.so.1 libtoviplat.so.1 tovi.pc toviConfig.cmake; do
    [ -n "$(find "$work/root/usr" -name "$f")" ] || fail "the package lacks $f"
done
for f in usr/lib/systemd/system/multiplexor.service etc/logrotate.d/multiplexor; do
    [ -e "$work/root/$f" ] || fail "the package lacks /$f"
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
