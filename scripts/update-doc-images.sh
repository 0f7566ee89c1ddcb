#!/usr/bin/env bash
# Copies the screenshots that the end-to-end tests take (build/screenshots/) into docs/images/ for
# the administrator guide: the dialog variants, the console's pages, the rule editor and the setup
# wizard. Run their tests first: ctest --preset mingw -R 'e2e_(auth_dialog|push_dialog|console)'
set -euo pipefail
cd "$(dirname "$0")/.."
source=${1:-build/screenshots}
mkdir -p docs/images
copied=0
for png in "$source"/auth_dialog_*.png "$source"/console_*.png "$source"/editor_*.png "$source"/setup_wizard_*.png; do
  [ -f "$png" ] || continue
  cp "$png" docs/images/
  copied=$((copied + 1))
done
[ "$copied" -gt 0 ] || { echo "update-doc-images.sh: no screenshots in $source (run the dialog tests first)" >&2; exit 1; }
echo "update-doc-images.sh: $copied screenshots copied to docs/images/"
