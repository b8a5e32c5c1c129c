#!/usr/bin/env bash
# Installs the build into a fresh prefix, moves the prefix, then builds and
# runs programs with the installed tools only.
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/prefix"   # a moved prefix must still work
P=$work/prefix

for f in bin/zylos-run bin/zylos-cc bin/zylos-c++ bin/zylos-info share/zylos/include/stdio.h \
         share/zylos/lib/crt0.o share/zylos/lib/libc.a share/zylos/lib/zylos.ld \
         share/zylos/toolchain.cmake share/zylos/root/bin/drape share/zylos/root/images/zylos.rei; do
    [ -e "$P/$f" ] || { echo "missing $f"; exit 1; }
done

cat > "$work/hello.c" <<'C'
#include <stdio.h>
int main(int argc, char **argv) { printf("hello %s %d\n", argv[1], argc); return 7; }
C
cat > "$work/twice.cpp" <<'CPP'
#include <stdio.h>
namespace { template <typename T> T twice(T v) { return v + v; } }
int main() { printf("%d\n", twice(21)); return 0; }
CPP
cd "$work"
"$P/bin/zylos-cc" -O2 -s -o hello hello.c
"$P/bin/zylos-cc" -c -o hello.o hello.c && "$P/bin/zylos-cc" -o hello2 hello.o
"$P/bin/zylos-c++" -O2 -std=c++17 -o twice twice.cpp

set +e
out=$("$P/bin/zylos-run" ./hello world); status=$?
set -e
[ "$out" = "hello world 2" ] && [ $status -eq 7 ] || { echo "hello: '$out' status $status"; exit 1; }
[ "$("$P/bin/zylos-run" ./hello2 x; true)" = "hello x 2" ] || { echo "hello2 failed"; exit 1; }
[ "$("$P/bin/zylos-run" ./twice)" = "42" ] || { echo "twice failed"; exit 1; }
# The installed runner finds its own default root.
"$P/bin/zylos-run" drape /images/zylos.rei
"$P/bin/zylos-info" "$P/share/zylos/root/bin/drape" | grep -q "package:     drape"

cmake -S "$source_dir/tests/install/userproject" -B user -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$P/share/zylos/toolchain.cmake" >/dev/null
cmake --build user >/dev/null
ctest --test-dir user --output-on-failure
echo "install test passed"
