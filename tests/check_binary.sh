#!/bin/sh
# check_binary.sh FILE EXPORT...: FILE exports exactly the given names and, for
# a Windows DLL, imports Windows system DLLs only (the runtimes are static).
set -u
file=$1; shift
expected=$(printf '%s\n' "$@" | sort)
case "$file" in
  *.dll|*.vst3)
    dump=$(x86_64-w64-mingw32-objdump -p "$file") || exit 1
    actual=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
    foreign=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' |
      grep -viE '^(kernel32|user32|ole32|oleaut32|shell32|advapi32|msvcrt|ws2_32|gdi32|shlwapi|api-ms-win-[a-z0-9-]*)\.dll$')
    if [ -n "$foreign" ]; then
      echo "imports non-system DLLs: $foreign"; exit 1
    fi ;;
  *)
    actual=$(nm -D --defined-only "$file" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort) || exit 1 ;;
esac
if [ "$actual" != "$expected" ]; then
  printf 'exports differ\nexpected:\n%s\nactual:\n%s\n' "$expected" "$actual"; exit 1
fi
echo "$file: exports $(echo $actual)"
