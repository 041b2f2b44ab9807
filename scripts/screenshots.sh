#!/usr/bin/env bash
# Makes the README's pictures, with the browser the tests use: the tour's visual report at a mode-1
# tap (after its task ran) and at the not-configured alert, and the live page in mode 2 with the
# switcher menu open (a step of the live page's browser test).
#   scripts/screenshots.sh [ORVANE_SIM]
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${1:-build/orvane-sim}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$sim" tour -q --report "$work/tour.html" >/dev/null 2>&1
shot() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
    --window-size=1500,860 --screenshot="$2" "file://$work/tour.html#f=0&l=$1" 2>/dev/null
}
shot 33 docs/report-mode-1-tap.png
shot 19 docs/report-alert.png
node tests/browser/live_page.mjs "$sim" "$work/live" >/dev/null
cp "$work/live/05-mode-2-menu.png" docs/live-page.png
echo "docs/report-mode-1-tap.png docs/report-alert.png docs/live-page.png"
