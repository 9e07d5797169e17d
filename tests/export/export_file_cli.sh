#!/usr/bin/env bash
# corvane-cli export-file end to end: every format from text and HTML, checked
# with the tools a reader would trust; bad input fails with a message and
# leaves no file behind.
set -u
cli="$1"
for tool in pdfinfo pdftotext pdffonts unzip xmllint; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf 'Meeting Notes\n\n- a\n- b' > "$work/notes.txt"
printf '<h1>Plan</h1><p>Some <b>bold</b> and <a href="https://example.org/?a=1&amp;b=2">a link</a>.</p><script>x()</script>' > "$work/page.html"

for format in pdf docx rtf md txt; do
  for input in "--text $work/notes.txt" "--html $work/page.html"; do
    out=$("$cli" export-file --format "$format" $input --out "$work/out" 2>"$work/err") || fail "$format $input: $(cat "$work/err")"
    [ -f "$out" ] || fail "$format: no file at $out"
    # Names carry the time of day, so which one sorts first varies: keep the text one.
    [ "$format $input" = "md --text $work/notes.txt" ] && md=$out
    case "$format" in
      pdf)
        pdfinfo "$out" | grep -q '^Pages: *1$' || fail "pdf page count"
        pdffonts "$out" | grep -q 'DejaVuSans.*yes *yes' || fail "pdf fonts not embedded"
        pdftotext "$out" - | grep -qE '^(Meeting Notes|Plan)$' || fail "pdf heading text" ;;
      docx)
        unzip -tq "$out" >/dev/null || fail "docx zip"
        rm -rf "$work/parts" && unzip -q "$out" -d "$work/parts"
        for part in "[Content_Types].xml" _rels/.rels word/document.xml word/_rels/document.xml.rels word/styles.xml; do
          xmllint --noout "$work/parts/$part" || fail "docx part $part"
        done ;;
      rtf) head -c 6 "$out" | grep -q '{\\rtf1' || fail "rtf header" ;;
    esac
  done
done
[ "$(cat "$work/out/"*.md | head -c 100)" != "" ] || fail "no markdown"
[ "$(cat "$md"; echo x)" = "$(printf '# Meeting Notes\n\n- a\n- b\nx')" ] || fail "markdown bytes: $(cat "$md")"
[ "$(ls "$work/out" | wc -l)" = 10 ] || fail "ten distinct files expected: $(ls "$work/out")"

# Bad input: a clear message, exit status 1, nothing written.
head -c 9000000 /dev/zero | tr '\0' 'x' | sed 's/^/<p>/' > "$work/big.html"
printf '{\\rtf1 %s' "$(head -c 10000 /dev/zero | tr '\0' '{')" > "$work/deep.rtf"
printf 'not a folder' > "$work/CorvaneFiles"
"$cli" export-file --format pdf --html "$work/big.html" --out "$work/bad" 2>"$work/err" && fail "9 MB of HTML accepted"
grep -q "too large" "$work/err" || fail "big html message: $(cat "$work/err")"
"$cli" export-file --format docx --rtf "$work/deep.rtf" --out "$work/bad" 2>"$work/err" && fail "deep RTF accepted"
grep -q "nested too deeply" "$work/err" || fail "deep rtf message: $(cat "$work/err")"
[ ! -e "$work/bad" ] || [ -z "$(ls -A "$work/bad")" ] || fail "files left behind: $(ls "$work/bad")"
"$cli" export-file --format md --text "$work/notes.txt" --out "$work/CorvaneFiles" 2>"$work/err" && fail "export into a file accepted"
[ -s "$work/err" ] || fail "no message when the folder is a file"
"$cli" export-file --format odt --text "$work/notes.txt" --out "$work/x" 2>/dev/null; [ $? = 2 ] || fail "unknown format is a usage error"
echo "export-file: all formats written and checked"
