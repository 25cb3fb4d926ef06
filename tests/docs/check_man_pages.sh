#!/usr/bin/env bash
# Every function the public header declares has a page in section 3, and
# every page renders with man -l without a warning.
# Usage: check_man_pages.sh MAN_DIR HEADER
set -euo pipefail
dir="${1:?usage: check_man_pages.sh MAN_DIR HEADER}"
header="${2:?usage: check_man_pages.sh MAN_DIR HEADER}"
command -v man >/dev/null || { echo "man is not installed (scripts/deps.sh docs)" >&2; exit 1; }
failed=0

functions="$(sed -n 's/^KESTRIX_API [^(]* KESTRIX_CALL \([A-Za-z]*\)(.*/\1/p' "$header")"
[ "$(wc -l <<<"$functions")" -eq 13 ] || { echo "expected 13 functions in $header: $functions" >&2; failed=1; }
for name in $functions; do
    [ -s "$dir/man3/$name.3" ] || { echo "no page for $name" >&2; failed=1; }
done

pages=("$dir"/man[0-9]/*)
for page in "${pages[@]}"; do
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
    if [ -n "$warnings" ]; then
        echo "$page:" >&2
        echo "$warnings" >&2
        failed=1
    fi
    # A page that lost its NAME section would still render.
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || { echo "$page: no NAME" >&2; failed=1; }
done
echo "${#pages[@]} pages checked"
exit "$failed"
