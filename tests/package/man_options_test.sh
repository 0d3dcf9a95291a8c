#!/usr/bin/env bash
# The man page's OPTIONS entries and the options --help prints must be the same set.
# Usage: man_options_test.sh BINARY MAN_PAGE
set -euo pipefail
bin=$1 page=$2

help_opts=$("$bin" --help | grep -oE '^  --[a-z0-9-]+' | sed 's/^ *//' | sort -u)
# The tag line after each .TP in the OPTIONS section names one option (troff writes "-" as "\-").
man_opts=$(awk '/^\.SH /{inside = ($2 == "OPTIONS")} inside && prev == ".TP" {print} {prev = $0}' "$page" |
  sed 's/\\-/-/g' | grep -oE -- '--[a-z0-9-]+' | sort -u)

if [ -z "$help_opts" ] || [ -z "$man_opts" ]; then
  echo "no options found: --help gave '${help_opts}', the man page '${man_opts}'" >&2
  exit 1
fi
if [ "$help_opts" != "$man_opts" ]; then
  echo "--help and $page list different options (< --help, > man page):" >&2
  diff <(echo "$help_opts") <(echo "$man_opts") >&2 || true
  exit 1
fi

# The page must also render without troff warnings, as lintian checks it.
if command -v man >/dev/null; then
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings" >&2
    exit 1
  fi
fi
echo "$(echo "$help_opts" | wc -l) options agree"
