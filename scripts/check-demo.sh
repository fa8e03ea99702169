#!/usr/bin/env bash
# Runs the demo (scripts/demo.sh) into a temporary folder and checks what it
# wrote:
#   - both builds of calc were recorded whole, with the make processes and
#     files their makefiles give;
#   - every report is non-empty and well formed: its block frame, headings and
#     record lines are those of the instances the demo asked for, and it ends
#     with the report's own closing lines, not with a failure diagnostic;
#   - changes.rsf holds exactly the DIFF lines that the recorded builds give
#     for the change list, and the files that changed are marked in the
#     picture: their nodes, and only theirs, are orange in the DOT;
#   - the summary names every change that README.md describes, and the
#     envdiff and rulediff commands it prints run;
#   - dot accepts the DOT file and the SVG is complete;
#   - every excerpt of the demo output shown in README.md is byte-true;
#   - the committed sample files (hand-made rows for the tests) are what
#     scripts/gen-sample.py writes.
# The demo runs with --keep so that the expected pairs and headings can be
# asked of the recorded builds; its cluster is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

work=$(mktemp -d)
out=$work/out
pgdir=
cleanup() {
  [ -z "$pgdir" ] || scripts/pgcluster.sh stop "$pgdir"
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "check-demo: FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "check-demo: ok: $*"; }

# --- the demo itself ------------------------------------------------------
start=$(date +%s)
if ! scripts/demo.sh --keep "$out" >"$work/demo.stdout" 2>"$work/demo.stderr"; then
  cat "$work/demo.stdout" "$work/demo.stderr" >&2
  echo "check-demo: FAIL: scripts/demo.sh failed" >&2
  exit 1
fi
pass "scripts/demo.sh ran in $(($(date +%s) - start)) s"
pgdir=$(sed -n 's/^Stop it with: scripts\/pgcluster.sh stop //p' "$work/demo.stdout")
envline=$(grep '^export PGHOST=' "$work/demo.stdout") || { echo "check-demo: FAIL: no PGHOST line after --keep" >&2; exit 1; }
[ -n "$pgdir" ] || { echo "check-demo: FAIL: no stop command after --keep" >&2; exit 1; }
eval "$envline"
grep -q "Open the picture .*file://$out/build.svg" "$work/demo.stdout" || fail "the demo does not say how to open the picture"

# sql [-v NAME=VALUE...] QUERY: the rows of QUERY, whose :NAME and :'NAME'
# are the values given (psql interpolates them in a script, not with -c).
sql() {
  local args=()
  while [ "$1" = -v ]; do args+=(-v "$2"); shift 2; done
  psql -X -At -v ON_ERROR_STOP=1 -d DAVER "${args[@]}" <<<"$1"
}

# The arguments after the report path with which the demo ran PROGRAM.
args_of() { sed -n "s/^\\\$ $1 [^ ]* //p" "$out/demo.log"; }

# DIR/NAME of an instance, as the reports show it.
path_of() { sql -v o="$1" "SELECT INST_DIR || '/' || INST_NAME FROM ZTR_FILEINST WHERE OID = :o"; }

eqline=$(printf '=%.0s' {1..42})
dashline=$(printf -- '-%.0s' {1..42})

# A report reduced to its frame: a run of lines that begin with a tab (a
# command text or the continuation of a value) becomes "<tab lines>", a
# variable record of envshow "<variable>", a run of envdiff records
# "<variables>".
frame() {
  awk '
    /^\t/ { if (!intab && !invar) print "<tab lines>"; intab = 1; next }
    { intab = 0 }
    /^  -?[0-9]+ [^=]*=/ { print "<variable>"; invar = 1; next }
    /^(1>|2<) -?[0-9]+ [^=]*=/ { if (invar != 2) print "<variables>"; invar = 2; next }
    { invar = 0; print }
  ' "$1"
}

# Compares a report's frame with the expected one.
check_frame() {
  local report=$1 expected=$2
  if [ ! -s "$out/$report" ]; then
    fail "$report is missing or empty"
    return
  fi
  if ! diff -u <(printf '%s' "$expected") <(frame "$out/$report") >"$work/frame.diff"; then
    fail "$report is not the expected report:"
    cat "$work/frame.diff" >&2
    return
  fi
  # A failed run ends with the diagnostic of its last query instead.
  if ! tail -c 49 "$out/$report" | cmp -s - <(printf '\n \n%s\n \n\n' "$eqline"); then
    fail "$report does not end with the closing lines of its last block"
    return
  fi
  pass "$report: $(grep -c "^$eqline\$" "$out/$report") separator lines, headings as expected"
}

block_open() { printf ' \n%s\n' "$eqline"; }
block_close() { printf ' \n%s\n \n' "$eqline"; }

# --- the recordings --------------------------------------------------------------
# Per build: make processes, whether complete, and the instances of lib/.
for v in v1 v2; do
  got=$(sql -v v="$v" "SELECT (SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = :'v') || ' ' || BLD_COMPLETE || ' ' || BLD_STATUS
                         FROM ZTR_BUILD WHERE BLD_LABEL = :'v'")
  [ "$got" = "4 1 0" ] || fail "build $v: make processes, complete, status are [$got], not [4 1 0]"
done
lib_files() {
  sql -v v="$1" "SELECT string_agg(INST_NAME, ' ' ORDER BY INST_NAME) FROM ZTR_FILEINST f JOIN ZTR_MAKEPROC p ON p.OID = f.INST_PROC
                  WHERE f.INST_VERSION = :'v' AND p.PS_DIR = f.INST_DIR AND f.INST_DIR LIKE '%/lib'"
}
[ "$(lib_files v1)" = "Makefile add.c add.o all calc.h clean compat.h libcalc.a parse.c parse.o sub.c sub.o" ] ||
  fail "the lib make of v1 knew: $(lib_files v1)"
[ "$(lib_files v2)" = "Makefile add.c add.o all calc.h clean libcalc.a mul.c mul.o parse.c parse.o sub.c sub.o" ] ||
  fail "the lib make of v2 knew: $(lib_files v2)"
pass "v1 and v2 recorded whole: four make processes each, lib/ as its makefile has it"

# --- envshow: one block per OID, one record per variable coded 1 to 6 ------
expected=$(
  for o in $(args_of envshow); do
    block_open
    printf ' Environment at %s from all\n' "$o"
    n=$(sql -v o="$o" "SELECT count(*) FROM ZTR_FILEINST f, ZTR_VARIABLE v
                          WHERE f.OID = :o AND f.INST_PROC = v.VAR_PROC AND v.VAR_SOURCE BETWEEN 1 AND 6")
    for ((i = 0; i < n; i++)); do echo "<variable>"; done
    block_close
  done
)
check_frame envshow.txt "$expected"$'\n\n'
sources=$(sed -n 's/^  \([0-9]*\) .*/\1/p' "$out/envshow.txt" | sort -u | tr '\n' ' ')
[ "$sources" = "1 2 3 4 5 6 " ] || fail "envshow.txt does not show every source code 1 to 6 (it shows: $sources)"
grep -q $'^\t' "$out/envshow.txt" || fail "envshow.txt has no wrapped value"

# --- recipeshow: command text and executed commands of each OID -------------
expected=$(
  for o in $(args_of recipeshow); do
    block_open
    printf ' \nCommand information for %s\n' "$(path_of "$o")"
    printf ' \n%s\n \nCOMMAND TEXT:\n<tab lines>\n' "$dashline"
    printf ' \n%s\n \nEXECUTED COMMAND:\n<tab lines>\n' "$dashline"
    block_close
  done
)
check_frame recipeshow.txt "$expected"$'\n\n'
grep -q $'^\tNo command is executed to update this node$' "$out/recipeshow.txt" ||
  fail "recipeshow.txt shows no instance without executed commands"

# --- procshow: the command line of each OID's make process ------------------
expected=$(
  for o in $(args_of procshow); do
    block_open
    printf ' \nCommand Line for %s\n' "$(path_of "$o")"
    printf ' \n%s\n \n<tab lines>\n' "$dashline"
    block_close
  done
)
check_frame procshow.txt "$expected"$'\n\n'

# --- envdiff: one comparison per pair, first OIDs against last OIDs ---------
read -r a1 a2 b1 b2 <<<"$(args_of envdiff)"
name_of() { sql -v o="$1" "SELECT INST_NAME FROM ZTR_FILEINST WHERE OID = :o"; }
expected=$(
  for pair in "$a1 $b1" "$a2 $b2"; do
    read -r x y <<<"$pair"
    block_open
    printf ' Comparing Environment at %s and that at %s\n<variables>\n' "$(name_of "$x")" "$(name_of "$y")"
    block_close
  done
)
check_frame envdiff.txt "$expected"$'\n\n'
{ grep -q '^1> [0-9]* CFLAGS=' "$out/envdiff.txt" && grep -q '^2< [0-9]* CFLAGS=' "$out/envdiff.txt"; } ||
  fail "envdiff.txt does not show the changed CFLAGS from both sides"

# --- rulediff: the sections follow from the two rows -------------------------
read -r a b <<<"$(args_of rulediff)"
pa=$(path_of "$a") pb=$(path_of "$b")
same_cmds=$(sql -v a="$a" -v b="$b" "SELECT x.INST_CMDSTXT IS NOT DISTINCT FROM y.INST_CMDSTXT
                                        FROM ZTR_FILEINST x, ZTR_FILEINST y WHERE x.OID = :a AND y.OID = :b")
same_exec=$(sql -v a="$a" -v b="$b" "SELECT x.INST_EXECMDS IS NOT DISTINCT FROM y.INST_EXECMDS
                                        FROM ZTR_FILEINST x, ZTR_FILEINST y WHERE x.OID = :a AND y.OID = :b")
text_or_none() { [ "$(sql -v o="$1" "SELECT $2 IS NULL FROM ZTR_FILEINST WHERE OID = :o")" = t ] && echo " NONE." || echo "<tab lines>"; }
flag() { sql -v o="$1" "SELECT $2 <> '0' FROM ZTR_FILEINST WHERE OID = :o"; }
expected=$(
  block_open
  printf 'Comparing Target\n<tab lines>\n'
  if [ "$same_cmds" = t ]; then printf ' \nCommand text: SAME\n'; else
    printf ' \nCommand text for %s:\n%s\n' "$pa" "$(text_or_none "$a" INST_CMDSTXT)"
    printf ' \nCommand text for %s:\n%s\n' "$pb" "$(text_or_none "$b" INST_CMDSTXT)"
  fi
  if [ "$same_exec" = t ]; then printf ' \nExecuted commands: SAME\n'; else
    printf ' \nExecuted commands for %s:\n%s\n' "$pa" "$(text_or_none "$a" INST_EXECMDS)"
    printf ' \nExecuted commands for %s:\n%s\n' "$pb" "$(text_or_none "$b" INST_EXECMDS)"
  fi
  for f in "INST_ISPHONY|is PHONY target|is PHONY target" \
           "INST_ISTARGET|is a target in Makefile|is target in Makefile" \
           "INST_ISDBLCLN|has double colon rule|has double colon rule"; do
    IFS='|' read -r col text_a text_b <<<"$f"
    fa=$(flag "$a" "$col") fb=$(flag "$b" "$col")
    [ "$fa" = t ] && [ "$fb" = f ] && printf '%s %s\n' "$pa" "$text_a"
    [ "$fa" = f ] && [ "$fb" = t ] && printf '%s %s\n' "$pb" "$text_b"
  done
  block_close
)
check_frame rulediff.txt "$expected"$'\n\n'
[ "$(sed -n 4,5p "$out/rulediff.txt")" = $'\t'"$pa"$'\n\t'"$pb" ] || fail "rulediff.txt does not name $pa and $pb"
[ "$same_cmds" = f ] || fail "the demo's rulediff pair has the same command text: no changed recipe to show"

# --- changescan: exactly the pairs of the recordings, marked in the picture ---
list=$out/changes.list
[ -s "$list" ] || fail "changes.list is missing or empty"
expected_diffs=$(
  while read -r name d1 d2; do
    sql -v n="$name" -v d1="$d1" -v d2="$d2" "
      SELECT 'DIFF' || chr(9) || a.OID || chr(9) || b.OID FROM ZTR_FILEINST a, ZTR_FILEINST b
       WHERE a.INST_VERSION = 'v1' AND a.INST_NAME = :'n' AND a.INST_DIR = :'d1'
         AND b.INST_VERSION = 'v2' AND b.INST_NAME = :'n' AND b.INST_DIR = :'d2'"
  done <"$list" | sort
)
if [ ! -f "$out/changes.rsf" ] || [ "$(tail -c 1 "$out/changes.rsf" | od -An -c | tr -d ' ')" != '\n' ] ||
   [ "$(tail -n 1 "$out/changes.rsf")" != "" ]; then
  fail "changes.rsf does not end with its empty line"
elif ! diff -u <(echo "$expected_diffs") <(grep -v '^$' "$out/changes.rsf" | sort) >"$work/diffs.diff"; then
  fail "changes.rsf does not hold the DIFF lines of the recordings:"
  cat "$work/diffs.diff" >&2
else
  pass "changes.rsf: $(echo "$expected_diffs" | wc -l) DIFF lines, those of the recordings"
fi
cmp -s <(grep '^DIFF' "$out/changes.rsf") <(grep '^DIFF' "$out/build.rsf") ||
  fail "build.rsf does not end with the DIFF lines of changes.rsf"
records=$(wc -l <"$list")
counts=$(awk '/^\$ [^ ]*changescan /{on=1; next} /^\$ /{on=0} on' "$out/compare.log")
[ "$counts" = "$(seq 1 "$records")" ] || fail "changescan's progress count is not 1 to $records"

# The nodes that the picture must mark: every v1 instance of a listed file,
# drawn as "V1 V2" when its SAME partner draws with it.
rsf=$out/build.rsf
expected_orange=$(
  while read -r name d1 _; do
    awk -F'\t' -v name="$name" -v d1="$d1" '
      $1 == "FILE" && $3 == name { file[$2] = 1 }
      $1 == "CONTAIN" { dir[$3] = $2 }
      $1 == "SAME" { same[$2] = $3 }
      END { for (n in file) if (dir[n] == d1) print n ((n in same) ? " " same[n] : "") }' "$rsf"
  done <"$list" | sort
)
[ -n "$expected_orange" ] || fail "no file of the change list is a node of build.rsf"
orange=$(sed -n 's/^\t*"\([^"]*\)"\[.*,color=orange\];$/\1/p' "$out/build.dot" | sort)
if [ "$orange" = "$expected_orange" ]; then
  pass "build.dot: the $(echo "$orange" | wc -l) changed instances, and only they, are orange"
else
  fail "orange nodes of build.dot: [${orange//$'\n'/, }], changed instances: [${expected_orange//$'\n'/, }]"
fi

# --- the summary: every change README.md tells of, and commands that run -------
summary=$out/summary.txt
for want in "added (only in v2):"$'\n'"  lib/mul.c"$'\n'"  lib/mul.o" \
            "removed (only in v1):"$'\n'"  lib/compat.h" \
            "  lib/parse.c "*$'\n'"    its content differs"$'\n'"    no rule makes it" \
            "  lib/add.o "*$'\n'"    its content differs, it was rebuilt with other commands"$'\n'"    variables differ between the two make processes: CFLAGS" \
            "  src/calc "*"recipe text and executed commands differ" \
            "  doc/calc.1 "*"variables differ between the two make processes: "*"VERSION"; do
  # shellcheck disable=SC2053
  [[ "$(cat "$summary")" == *$want* ]] || fail "summary.txt does not say: ${want//$'\n'/ / }"
done
cmp -s "$summary" <(awk '/^\$ tracemake compare /{on=1; next} /^\$ /{on=0} on' "$out/demo.log" | head -n "$(wc -l <"$summary")") ||
  fail "the summary that tracemake compare printed is not summary.txt"
ran=0
while read -r program report a b; do
  if ! "$PWD/build/bin/$program" "$report" "$a" "$b" >/dev/null 2>&1 || ! grep -q "^ *Compar" "$report"; then
    fail "the summary's command '$program $report $a $b' does not give its report"
  fi
  ran=$((ran + 1))
done < <(sed -n 's/^      \(envdiff\|rulediff\) /\1 /p' "$summary")
[ $ran -ge 10 ] || fail "the summary prints $ran envdiff and rulediff commands, fewer than its changed targets need"
pass "summary.txt: the changes of README.md and their reasons; its $ran envdiff and rulediff commands run"

# --- relplot and dot ----------------------------------------------------------
grep -qx ' Convert to DOT format succeeded. ' "$out/compare.log" || fail "relplot did not report success"
{ [ "$(head -n 1 "$out/build.dot")" = "digraph G {" ] && [ "$(tail -n 1 "$out/build.dot")" = "}" ]; } ||
  fail "build.dot is not a complete digraph"
if ! dot -Tsvg "$out/build.dot" -o /dev/null 2>"$work/dot.err" || [ -s "$work/dot.err" ]; then
  fail "dot does not accept build.dot cleanly:"
  cat "$work/dot.err" >&2
else
  pass "build.dot: accepted by dot, $(grep -c $'^\t*"[^"]*"\\[' "$out/build.dot") nodes, $(grep -c -- '->' "$out/build.dot") edges"
fi
grep -q '</svg>' "$out/build.svg" 2>/dev/null || fail "build.svg is not a complete SVG"

# --- README excerpts ------------------------------------------------------------
# A fenced block right after a line "<!-- demo-out/FILE -->" must occur in
# FILE of the demo output exactly as shown.
excerpts=0
while IFS= read -r marker; do
  file=${marker#<!-- demo-out/}
  file=${file% -->}
  excerpts=$((excerpts + 1))
  block=$(awk -v m="$marker" '
    $0 == m { want = 1; next }
    want == 1 && /^```/ { want = 2; next }
    want == 2 && /^```/ { exit }
    want == 2 { print }
  ' README.md; echo x)
  block=${block%x}
  content=$(cat "$out/$file" 2>/dev/null; echo x)
  content=${content%x}
  if [ -z "$block" ] || [[ "$content" != *"$block"* ]]; then
    fail "the README excerpt of $file is not in the demo's $file"
  fi
done < <(grep -E '^<!-- demo-out/[^ ]+ -->$' README.md)
[ $excerpts -ge 6 ] || fail "README.md shows $excerpts excerpts of the demo output, fewer than one per report"
[ $excerpts -eq 0 ] || pass "README.md: $excerpts excerpts checked against the demo output"

# --- the hand-made sample is what its generator writes ------------------------------
if command -v python3 >/dev/null; then
  mkdir -p "$work/gen/db" "$work/gen/demo"
  python3 scripts/gen-sample.py "$work/gen"
  for f in db/sample_trace.sql demo/sample.rsf demo/sample.list; do
    cmp -s "$f" "$work/gen/$f" || fail "$f differs from what scripts/gen-sample.py writes"
  done
  pass "the sample files are those that scripts/gen-sample.py writes"
else
  echo "check-demo: python3 not found: the sample files were not compared with their generator"
fi

cd "$repo"
if [ $failures -gt 0 ]; then
  echo "check-demo: $failures check(s) failed" >&2
  exit 1
fi
echo "check-demo: all checks passed"
