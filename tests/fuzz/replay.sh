#!/usr/bin/env bash
# Runs a fuzz target once over every file of the given folders (its seed
# corpus and its saved regressions): fails when any input makes it fail.
#   replay.sh TARGET FOLDER...
set -euo pipefail
target=$(realpath "$1")
shift
files=()
for dir in "$@"; do
    [ -d "$dir" ] || continue
    dir=$(cd "$dir" && pwd)  # absolute: some targets work in a folder of their own
    while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$dir" -type f ! -name '.*' -print0 | sort -z)
done
echo "$(basename "$target"): ${#files[@]} inputs"
[ ${#files[@]} -eq 0 ] && exit 0
# The standard output of the code under test is dropped (-close_fd_mask=1);
# its standard error and libFuzzer's report of a failing input stay.
exec "$target" -close_fd_mask=1 "${files[@]}" >/dev/null
