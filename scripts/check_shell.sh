#!/usr/bin/env bash
# Every shell file of the repository parses (bash -n) and passes shellcheck, so a script
# that an edit or a formatter broke fails the test run instead of its next user.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

files=()
while IFS= read -r f; do
  case "$f" in
    *.sh | .ci/run) files+=("$f") ;;
    *) head -c 64 "$f" 2>/dev/null | grep -q '^#!.*\(ba\)\?sh' && files+=("$f") ;;
  esac
done < <(git ls-files 2>/dev/null || find . -type f -not -path './.git/*' -not -path './build/*' \
  -not -path './install/*' -printf '%P\n')

if [ ${#files[@]} -eq 0 ]; then
  echo "check_shell: no shell files found under $root" >&2
  exit 1
fi
failed=0
for f in "${files[@]}"; do
  bash -n "$f" || { echo "check_shell: $f does not parse" >&2; failed=1; }
done
if command -v shellcheck >/dev/null; then
  shellcheck -x -P SCRIPTDIR "${files[@]}" || failed=1
else
  echo "check_shell: shellcheck is not installed (scripts/setup.sh installs it)" >&2
  failed=1
fi
echo "check_shell: ${#files[@]} shell files checked"
exit "$failed"
