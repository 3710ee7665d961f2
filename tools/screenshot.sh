#!/usr/bin/env bash
# Starts the desktop program under a virtual X server with a page open and
# saves a picture of its window.
#   tools/screenshot.sh [PAGE] [OUT.png] [BUILD_DIR]
# PAGE defaults to the first samples/*.html (or a small built-in page), OUT
# to out/ortavix.png, BUILD_DIR to build.
set -euo pipefail
cd "$(dirname "$0")/.."

page=${1:-}
out=${2:-out/ortavix.png}
build=${3:-build}

if [ ! -x "$build/ortavix" ]; then
  echo "screenshot: $build/ortavix not found; build first (bash scripts/build.sh $build)" >&2
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ -z "$page" ]; then
  page=$(ls samples/*.html 2>/dev/null | head -n 1 || true)
fi
if [ -z "$page" ]; then
  page=$tmp/sample.html
  cat > "$page" <<'HTML'
<!DOCTYPE html PUBLIC "-//W3C//DTD HTML 4.01//EN">
<html>
<head><title>Sample page</title>
<style>p { color: red }</style>
</head>
<body class="main">
<!-- a comment
     over two lines -->
<h1>Hello &amp; welcome</h1>
<p>First paragraph<br>with a break
<p>Second &copy; paragraph <b>bold <i>both</b> italic</i>
<ul><li>one<li>two</ul>
<p 1bad="x">an attribute name XML does not allow</p>
</body>
</html>
HTML
fi

mkdir -p "$(dirname "$out")"
# The program keeps its recently-used list beside itself; leave the user's alone.
cp "$build/ortavix" "$tmp/ortavix"
ORTAVIX_SCREENSHOT=$(realpath -m "$out") QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" "$tmp/ortavix" "$page"
echo "screenshot: $out"

# A page with an error, after its error line was clicked: the XML view marks
# the error and the HTML view selects the source of the node at it. The GUI
# test program makes the error, as no converted page fails the check.
shot_test=$build/tests/gui/gui_test_sourcelink
if [ -x "$shot_test" ]; then
  errout="${out%.png}-error-click.png"
  ORTAVIX_ERROR_SHOT=$(realpath -m "$errout") QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x800x24" "$shot_test" errorClickScreenshot >/dev/null
  echo "screenshot: $errout"
else
  echo "screenshot: $shot_test not built; no error-click picture" >&2
fi
