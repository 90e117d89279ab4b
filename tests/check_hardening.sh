#!/bin/sh
# SPDX-License-Identifier: MIT
# The binary must carry the hardening every build gets: PIE, full RELRO
# (GNU_RELRO and BIND_NOW), fortified stdio and the stack protector.
set -eu
fail=0
check() {  # what, readelf options, pattern
  readelf -W "$2" "$bin" 2>/dev/null | grep -qE "$3" || { echo "missing: $1"; fail=1; }
}
bin=$1
check PIE -d 'FLAGS_1.*PIE'
check GNU_RELRO -l 'GNU_RELRO'
check BIND_NOW -d 'BIND_NOW|FLAGS_1.*NOW'
check __fprintf_chk --dyn-syms '__fprintf_chk'
check __stack_chk_fail --dyn-syms '__stack_chk_fail'
[ "$fail" -eq 0 ] && echo "$bin: PIE, GNU_RELRO, BIND_NOW, __fprintf_chk, __stack_chk_fail"
exit "$fail"
