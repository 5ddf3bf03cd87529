#!/usr/bin/env bash
# Checks that every code block of a Markdown file that follows a marker
#   <!-- snippet: examples/FILE.cpp NAME -->
# is, line for line, the region of that file between "// [snippet NAME]" and
# "// [snippet end]", less the region's common indentation. Usage: check-snippets.sh FILE.md
set -euo pipefail
doc=$1
root=$(cd "$(dirname "$0")/.." && pwd)
status=0 count=0

region() {  # region <file> <name>: the marked lines, dedented
  awk -v name="$2" '
    $0 ~ "// \\[snippet " name "\\]" { inside = 1; next }
    inside && /\/\/ \[snippet end\]/ { exit }
    inside { lines[n++] = $0 }
    END {
      indent = 1000
      for (i = 0; i < n; i++) if (lines[i] ~ /[^ ]/) {
        match(lines[i], /^ */); if (RLENGTH < indent) indent = RLENGTH }
      for (i = 0; i < n; i++) print substr(lines[i], indent + 1)
    }' "$1"
}

block() {  # block <doc> <marker line number>: the code block after it
  awk -v from="$2" 'NR <= from { next } /^```/ { if (inside) exit; inside = 1; next }
                    inside { print }' "$1"
}

while IFS=: read -r line rest; do
  read -r file name <<<"$(sed -E 's/.*snippet: *([^ ]+) +([^ ]+) *-->.*/\1 \2/' <<<"$rest")"
  count=$((count + 1))
  if [ ! -f "$root/$file" ]; then
    echo "check-snippets: $doc:$line names $file, which does not exist" >&2; status=1; continue
  fi
  want=$(region "$root/$file" "$name")
  if [ -z "$want" ]; then
    echo "check-snippets: $file has no region '$name'" >&2; status=1; continue
  fi
  if ! diff -u <(printf '%s\n' "$want") <(block "$doc" "$line") \
       --label "$file [$name]" --label "$doc:$line"; then
    status=1
  fi
done < <(grep -n '<!-- snippet:' "$doc")

[ "$count" -gt 0 ] || { echo "check-snippets: no snippet markers in $doc" >&2; exit 1; }
[ "$status" -eq 0 ] && echo "check-snippets: $count snippets of $doc match their examples"
exit $status
