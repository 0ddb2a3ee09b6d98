#!/usr/bin/env bash
# A syntax-only pass of the other vendor's kind of compiler (clang, MinGW target) over every
# source of the product and the tools: the code stays standard C++20 that more than one
# compiler takes without a warning.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
clang=${CLANGXX:-clang++}
gcc_version=$(x86_64-w64-mingw32-g++-posix -dumpversion)
gcc_version=${gcc_version%-posix}
cxx=/usr/lib/gcc/x86_64-w64-mingw32/${gcc_version}-posix/include/c++
[ -d "$cxx" ] || cxx=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=include/c++/algorithm)")

mapfile -t sources < <(cd "$root" && find src tools -name '*.cpp' | sort)
cd "$root"
# clang finds the MinGW headers itself; the C++ library headers are the cross GCC's.
"$clang" --target=x86_64-w64-mingw32 -std=c++20 -fsyntax-only -Wall -Wextra -Werror \
  -nostdinc++ -isystem "$cxx" -isystem "$cxx/x86_64-w64-mingw32" -isystem "$cxx/backward" \
  -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0A00 \
  -mavx2 -Isrc -Itools -Itools/server "${sources[@]}"
echo "clang: ${#sources[@]} sources, no warnings"
