#!/usr/bin/env bash
# Static analysis of every source of Sentrel (product, installer, tools and tests) with cppcheck,
# for the mingw-w64 target: the compile commands of the build (include paths, definitions), the
# Windows API library, 64-bit Windows types. Exit code 0 when cppcheck reports nothing beyond the
# suppressions in scripts/cppcheck-suppressions.txt (each one says why), 1 otherwise.
#
#   scripts/static-analysis.sh [BUILD_DIR]      (default build; configured with the mingw preset)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
[ -f "$build_dir/compile_commands.json" ] || { echo "static-analysis.sh: $build_dir/compile_commands.json is missing (configure with cmake --preset mingw)" >&2; exit 1; }
work="$build_dir/cppcheck"
mkdir -p "$work"
# Our own sources only: GoogleTest is built from Debian's copy and is not ours to analyse.
python3 - "$build_dir/compile_commands.json" "$work/compile_commands.json" "$PWD" <<'PY'
import json, sys
source, target, root = sys.argv[1:]
entries = [e for e in json.load(open(source)) if e["file"].startswith(root + "/") and e["file"].endswith(".cpp")]
json.dump(entries, open(target, "w"), indent=1)
print("static-analysis.sh: %d source files" % len(entries))
PY
cppcheck --project="$work/compile_commands.json" --platform=win64 --library=windows --library=googletest \
  --std=c++17 --enable=warning,style,performance,portability --inline-suppr \
  --suppressions-list=scripts/cppcheck-suppressions.txt --cppcheck-build-dir="$work" -j2 --quiet \
  --error-exitcode=1 --template='{file}:{line}: {severity} [{id}] {message}'
echo "static-analysis.sh: no findings"
