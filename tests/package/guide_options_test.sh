#!/usr/bin/env bash
# The options the user guide's "Command line" section names and the options --help prints must
# be the same set.
# Usage: guide_options_test.sh BINARY GUIDE_HTML
set -euo pipefail
bin=$1 guide=$2

help_opts=$("$bin" --help | grep -oE '^  --[a-z0-9-]+' | sed 's/^ *//' | sort -u)
guide_opts=$(awk '/<h2 /{inside = ($0 ~ /id="command-line"/)} inside' "$guide" |
  grep -oE -- '--[a-z0-9-]+' | sort -u)

if [ -z "$help_opts" ] || [ -z "$guide_opts" ]; then
  echo "no options found: --help gave '${help_opts}', the guide '${guide_opts}'" >&2
  exit 1
fi
if [ "$help_opts" != "$guide_opts" ]; then
  echo "--help and $guide list different options (< --help, > guide):" >&2
  diff <(echo "$help_opts") <(echo "$guide_opts") >&2 || true
  exit 1
fi
echo "$(echo "$help_opts" | wc -l) options agree"
