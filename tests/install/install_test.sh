#!/usr/bin/env bash
# Packs the installed prefix, unpacks it elsewhere, then builds and runs
# programs with the unpacked tools only.
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The packages of the installed prefix; the tools are used from the .tar.gz,
# unpacked into a folder whose path holds a space.
cpack --config "$build/CPackConfig.cmake" -G "TGZ;DEB" -B "$work/packages" >/dev/null
dpkg-deb -c "$work/packages"/zylos-*.deb > "$work/deb-contents"
grep -q "./usr/bin/zylos-cc$" "$work/deb-contents"
# The .deb depends on the package of every tool its files name.
depends=$(dpkg-deb -f "$work/packages"/zylos-*.deb Depends)
for tool in clang ld.lld $(sed -n "s/^[a-z]* = '\(llvm-[a-z]*\)'$/\1/p" "$source_dir/tools/meson-cross.ini"); do
    package=$(dpkg -S "$(command -v "$tool")" | cut -d: -f1)
    grep -qE "(^|, )$package(,|$)" <<< "$depends" || { echo "the .deb names $tool but does not depend on $package"; exit 1; }
done
P="$work/moved prefix"
mkdir "$P" && tar xzf "$work/packages"/zylos-*.tar.gz -C "$P" --strip-components=1

# The files that nothing below uses; the tools, headers, libraries, toolchain
# file and root are all put to work.
for f in share/zylos/include/c++/__config_site share/man/man1/zylos-{run,info,cc}.1 share/zylos/root/bin/calc; do
    [ -e "$P/$f" ] || { echo "missing $f"; exit 1; }
done

cat > "$work/hello.c" <<'C'
#include <stdio.h>
int main(int argc, char **argv) { printf("hello %s %d\n", argv[1], argc); return 7; }
C
cat > "$work/twice.cpp" <<'CPP'
#include <algorithm>
#include <cstdio>
#include <type_traits>
namespace { template <typename T> T twice(T v) { return v + v; } }
int main() { std::printf("%d\n", std::max(twice(21), 0) * std::is_same_v<int, signed>); return 0; }
CPP
cd "$work"
"$P/bin/zylos-cc" -O2 -s -o hello hello.c -lm -lpthread -lrt -ldl -lc
"$P/bin/zylos-cc" -c -o hello.o hello.c && "$P/bin/zylos-cc" -o hello2 hello.o
"$P/bin/zylos-c++" -O2 -o twice twice.cpp

set +e
out=$("$P/bin/zylos-run" ./hello world); status=$?
set -e
[ "$out" = "hello world 2" ] && [ $status -eq 7 ] || { echo "hello: '$out' status $status"; exit 1; }
[ "$("$P/bin/zylos-run" ./hello2 x; true)" = "hello x 2" ] || { echo "hello2 failed"; exit 1; }
# gdb finds the runtime's sources in the moved prefix.
definition=$(grep -h 'int printf(' "$P"/share/zylos/src/libc/stdio/*.cpp)
listing=$(gdb -q -batch -x "$P/share/zylos/zylos-gdb.py" -ex 'list printf' hello2 2>&1)
grep -qF "$definition" <<< "$listing" || { echo "gdb 'list printf': $listing"; exit 1; }
[ "$("$P/bin/zylos-run" ./twice)" = "42" ] || { echo "twice failed"; exit 1; }
# A main that ends without a return statement returns 0, in C and C++, at
# every optimisation level.
printf '#include <stdio.h>\nint main(void) { printf("fell off\\n"); }\n' > falls.c
printf '#include <cstdio>\nint main() { std::printf("fell off\\n"); }\n' > falls.cpp
for row in "zylos-cc falls.c -O0" "zylos-cc falls.c -O2" "zylos-c++ falls.cpp -O0" "zylos-c++ falls.cpp -O2"; do
    read -r tool source opt <<< "$row"
    "$P/bin/$tool" "$opt" -o falls "$source"
    set +e; out=$("$P/bin/zylos-run" ./falls 2>&1); status=$?; set -e
    [ "$out" = "fell off" ] && [ $status -eq 0 ] || { echo "$row: '$out' status $status"; exit 1; }
done
# The installed runner finds its own default root.
"$P/bin/zylos-run" drape /images/zylos.rei
[ "$(printf 'hello | wc -\n' | "$P/bin/zylos-run" sh)" = "1 2 14 -" ] || { echo "sh from the root's /bin failed"; exit 1; }
"$P/bin/zylos-info" "$P/share/zylos/root/bin/drape" | grep -q "package:     drape"

# Link errors say what is wrong; nothing of the host is linked.
expect_error() { # STATUS TEXT COMMAND...
    local status=$1 text=$2; shift 2
    set +e; "$@" >/dev/null 2>"$work/err"; local got=$?; set -e
    [ $got -eq "$status" ] && grep -qF "$text" "$work/err" || { echo "$*: status $got"; cat "$work/err"; exit 1; }
}
echo 'int helper(void) { return 0; }' > nomain.c
echo '#include <math.h>
int main(void) { return (int)sqrt(4.0); }' > sqrt.c
echo 'long double sqrtl(long double); int main(void) { return (int)sqrtl(4.0L); }' > sqrtl.c
echo '#include <stdio.h>
int main(void) { char s[8]; int n; sscanf("1", "%d", s); return printf("%d %s", "str", n); }' > format.c
expect_error 1 "format specifies type 'int *'" "$P/bin/zylos-cc" -Werror -c format.c -o format.o
grep -qF "format specifies type 'int' but the argument has type 'char *'" "$work/err"
expect_error 1 "undefined symbol: main" "$P/bin/zylos-cc" -o nomain nomain.c
echo 'int main(void) { return (int)strtold("2", 0); }' > undeclared.c
expect_error 1 "implicit declaration of function 'strtold'" "$P/bin/zylos-cc" -o undeclared undeclared.c
expect_error 1 "undefined symbol: sqrt" "$P/bin/zylos-cc" -o sqrt sqrt.c
expect_error 1 "undefined symbol: sqrtl" "$P/bin/zylos-cc" -o sqrtl sqrtl.c -lm
"$P/bin/zylos-cc" -std=c11 -Wall -Werror -o sqrt sqrt.c -lm
set +e; "$P/bin/zylos-run" ./sqrt; status=$?; set -e
[ $status -eq 2 ] || { echo "sqrt with -lm: status $status"; exit 1; }
echo 'thread_local int calls; int main() { return ++calls; }' > tls.cpp
expect_error 1 "zylos has no thread-local storage" "$P/bin/zylos-c++" -o tls tls.cpp
echo '#include <unordered_map>' > unordered.cpp
expect_error 1 "it needs the compiled C++ library" "$P/bin/zylos-c++" -c unordered.cpp
expect_error 125 "no input files" "$P/bin/zylos-cc" -O2 -lm
expect_error 125 "see --help" "$P/bin/zylos-info" --bogus
expect_error 1 "zylos-info: ./nomain.c:" "$P/bin/zylos-info" ./nomain.c
cp "$P/share/zylos/root/bin/drape" 'dr\ape'
"$P/bin/zylos-info" --json 'dr\ape' | grep -qF '"path": "dr\\ape"' || { echo "zylos-info --json escaping"; exit 1; }
expect_error 125 "see --help" "$P/bin/zylos-run" --bogus
[ "$("$P/bin/zylos-cc" -print-file-name=libc.a)" = "$P/share/zylos/lib/libc.a" ]
for tool in zylos-cc zylos-c++ zylos-run zylos-info; do
    "$P/bin/$tool" --version | grep -q "^$tool (zylos) [0-9]" || { echo "$tool --version"; exit 1; }
done

# Configure checks of both build systems tell the truth, for functions the
# compiler knows as builtins too.
present="strtoul sqrt floor memchr qsort strpbrk" absent="sqrtl bcopy fork rename"
cmake -S "$source_dir/tests/install/userproject" -B user -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$P/share/zylos/toolchain.cmake" \
      -DZYLOS_PRESENT="${present// /;}" -DZYLOS_ABSENT="${absent// /;}" >/dev/null
cmake --build user >/dev/null
ctest --test-dir user --output-on-failure

# The same for a Meson project.
mkdir meson-user && cp "$source_dir/tests/install/userproject/greeter.c" meson-user/
cat > meson-user/meson.build <<MESON
project('greeter', 'c')
cc = meson.get_compiler('c')
foreach f : '$present'.split()
  assert(cc.has_function(f), f + ' is present')
endforeach
foreach f : '$absent'.split()
  assert(not cc.has_function(f), f + ' is absent')
endforeach
test('greets', executable('greeter', 'greeter.c'), args: ['zylos'])
MESON
PATH="$P/bin:$PATH" meson setup --cross-file "$P/share/zylos/meson-cross.ini" meson-user/build meson-user >/dev/null
PATH="$P/bin:$PATH" meson test -C meson-user/build >/dev/null
echo "install test passed"
