#!/bin/sh
# Installs a build tree into a scratch prefix and builds a host project
# against it, through find_package(korvhost) and through pkg-config; each
# build loads the installed plug-in.
#   check_installed.sh CMAKE BUILD_DIR CONSUMER_SRC CXX PLUGIN_DIR
set -eu
cmake="$1" build="$2" src="$3" cxx="$4" plugin_dir="$5"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
case "$plugin_dir" in /*) ;; *) plugin_dir="$prefix/$plugin_dir" ;; esac
test -f "$plugin_dir/libpsma.so" || { echo "no plug-in in $plugin_dir" >&2; exit 1; }

echo "find_package(korvhost):"
"$cmake" -S "$src" -B "$scratch/cmake" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$scratch/cmake" >/dev/null
"$scratch/cmake/korv-consumer"

echo "pkg-config korvhost:"
pc_dir=$(dirname "$(find "$prefix" -name korvhost.pc)")
export PKG_CONFIG_PATH="$pc_dir"
test "$(pkg-config --variable=plugindir korvhost)" -ef "$plugin_dir"
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$scratch/pc-consumer" "$src/main.cpp" \
  $(pkg-config --cflags --libs korvhost) -ldl -Wl,-rpath,"$(pkg-config --variable=libdir korvhost)"
"$scratch/pc-consumer" "$plugin_dir"
