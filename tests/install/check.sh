#!/usr/bin/env bash
# check.sh BUILD SOURCE WORK: installs BUILD into WORK/prefix and checks that
# an application builds and runs against it, and that the Debian package works.
set -euo pipefail
build=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
unset TAVELO_COMPONENT_PATH TAVELO_VIRTUAL_CAMERAS
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name libtavelocam.so.0)")
readelf -d "$libdir/libtavelocam.so.0" | grep -q 'Library soname: \[libtavelocam.so.0\]'


# The README's first C example (the later one is for Windows) and a virtual
# camera to run it against; the runtime finds the components beside itself.
awk '/^```c$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$source/README.md" >"$work/list.c"
"$work/prefix/bin/tavelo-mkstore" "$work/store" >/dev/null
expected=$'2:ALBUM1/BOARD.JPG 10869 bytes\n2:ALBUM1/SEA0001.JPG 27482 bytes'
run() {
  output=$(TAVELO_VIRTUAL_CAMERAS="$work/store" "$@")
  [ "$(head -2 <<<"$output")" = "$expected" ] || { echo "$1 printed: $output" >&2; exit 1; }
}

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046 # the flags are separate words
cc -std=c11 -Wall -Werror "$work/list.c" $(pkg-config --cflags --libs tavelocam) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tavelocam)" -o "$work/list-pc"
run "$work/list-pc"

mkdir -p "$work/app"
cp "$work/list.c" "$work/app/"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(app C)
find_package(Tavelocam CONFIG REQUIRED)
add_executable(list list.c)
target_link_libraries(list Tavelocam::tavelocam)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/app/build" >/dev/null
run "$work/app/build/list"

# The installed tool finds the virtual camera by itself; so does the packaged one.
"$work/prefix/bin/tavelo" --virtual "$work/store" ls | grep -qx WELCOME.JPG
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -f "$deb" Depends | grep -q libjpeg62-turbo
dpkg-deb -x "$deb" "$work/root"
tool=$(find "$work/root" -path '*/bin/tavelo')
"$tool" --virtual "$work/store" ls | grep -qx WELCOME.JPG
grep -q '^\.TH TAVELO 1' "$(find "$work/root" -name tavelo.1)"
echo "installed package: pkg-config, find_package, tavelo and the Debian package work"
