#!/bin/bash
# check-man-pages.sh MAN1_DIR PROGRAM_LIST: every program of PROGRAM_LIST (the
# build's scanmon-programs.txt: "<name> <help|no-help> ...") that answers
# --help has a manual page <name>.1 or <name>.1.gz in MAN1_DIR with a SYNOPSIS
# (help2man takes it from the "Usage:" lines of --help) and a SEE ALSO that
# names every other program, so that any page leads to all of them.
set -euo pipefail
man_dir=$1
list=$2
fail() { echo "check-man-pages: $*" >&2; exit 1; }

mapfile -t programs < <(cut -d' ' -f1 "$list")
checked=0
while read -r name help _; do
  [ "$help" = help ] || continue
  page=$man_dir/$name.1.gz
  [ -f "$page" ] || page=$man_dir/$name.1
  [ -f "$page" ] || fail "no manual page for $name in $man_dir"
  text=$(zcat -f "$page")
  grep -qx '\.SH SYNOPSIS' <<<"$text" || fail "$page has no SYNOPSIS (no 'Usage:' line in --help?)"
  see_also=$(sed -n '/^\.SH "SEE ALSO"/,/^\.SH /p' <<<"$text" | sed 's/\\-/-/g')
  [ -n "$see_also" ] || fail "$page has no SEE ALSO"
  # As a reader sees it, on a narrow terminal: every name whole on its line
  # (hyphenation would break them: "cap-" / "ture-record(1)").
  shown=
  if command -v groff >/dev/null; then
    shown=$(groff -man -Tascii -rLL=40n -P-cbou <<<"$text" 2>/dev/null |
      sed -n '/^SEE ALSO/,$p' | tr -s ' ')
  fi
  for other in "${programs[@]}"; do
    [ "$other" = "$name" ] && continue
    grep -q "^\.BR $other (1)" <<<"$see_also" || fail "$page: SEE ALSO does not name $other(1)"
    if [ -n "$shown" ] && ! grep -qF "$other(1)" <<<"$shown"; then
      fail "$page: SEE ALSO shows $other(1) broken across lines"
    fi
  done
  checked=$((checked + 1))
done <"$list"
echo "manual pages with SYNOPSIS and a SEE ALSO naming every program: $checked"
