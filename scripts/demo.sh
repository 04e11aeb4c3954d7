#!/usr/bin/env bash
# Installs what is missing, builds, and runs the browser with a demo controller: it loads a
# page, shows the window, asks where it is, takes a screenshot and quits. Replies are
# printed as they come; the screenshot lands in build/demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" != "--inner" ]]; then
  scripts/deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target trbrowser trbrowserctl
  exec scripts/with-display.sh "$0" --inner
fi

switches=()
[[ $(id -u) -eq 0 ]] && switches+=(--no-sandbox)  # Chromium refuses to run sandboxed as root

page='<html><head><title>trbrowser demo</title></head><body style="font:32px sans-serif;background:#eef">'
page+='<h1>Hello from trbrowser</h1><p>Driven over a local socket by scripts/demo.sh.</p></body></html>'
# A command ends at ';' and its words at whitespace, so the page goes in percent-encoded.
url="data:text/html,$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$page")"

{
  echo "GEOMETRY 100 100 700 900"
  echo "LOAD $url"
  echo "SHOW"
  sleep 3
  echo "ISHIDDEN"
  echo "GETURL"
  sleep 1
  import -window root build/demo.png 2>/dev/null && echo "demo: screenshot saved to build/demo.png" >&2
  echo "QUIT"
} | build/trbrowserctl --timeout 30 -- "${switches[@]}"
