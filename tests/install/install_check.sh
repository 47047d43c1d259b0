#!/usr/bin/env bash
# Checks the installed tree of a build from outside, as a user would meet it.
# Usage: install_check.sh CHECK BUILD_DIR EXPECTED_FILES [ARGS...]
#   staged-files               an install into a staging folder holds exactly
#                              EXPECTED_FILES, under any prefix
#   renders-note               the installed programs run: quillet renders a
#                              note, quillet-join joins notes
#   man-pages SOURCE_DIR       the manual pages render without warnings and
#                              document every flag letter the renderer reads
#   package VERSION [DEB]      the Debian package (built here with cpack, or
#                              DEB) holds the same files as the install, with
#                              its version and dependencies
set -euo pipefail

check=$1
build=$(cd "$2" && pwd)
expected=$3
shift 3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The expected list with its prefix changed from usr to $1, sorted.
expected_under() {
  grep -v '^$' "$expected" | sed "s|^usr/|$1/|" | LC_ALL=C sort
}

# Every file and link below $1, relative to it, sorted.
files_below() {
  (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
}

# Installs the build into $1 (a DESTDIR) under the prefix $2.
stage_install() {
  DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "cmake --install --prefix $2 failed"; return 1; }
}

has_bank() { grep -qx 'usr/bin/quillet-bank' "$expected"; }

# Size of a canonical WAV file's sample data.
wav_data_bytes() { echo $(( $(stat -c %s "$1") - 44 )); }

check_staged_files() {
  local prefix stage name
  for prefix in usr opt/quillet; do
    stage=$scratch/stage-${prefix//\//-}
    stage_install "$stage" "/$prefix" || continue
    if ! diff <(expected_under "$prefix") <(files_below "$stage") >"$scratch/diff"; then
      fail "install under /$prefix does not hold exactly the expected files (< expected, > installed):"
      cat "$scratch/diff" >&2
    fi
    for name in "$stage/$prefix"/bin/*; do
      [ -x "$name" ] || fail "$name is not executable"
    done
    for name in "$stage/$prefix"/share/man/man1/*; do
      [ -e "$name" ] || continue
      gzip -t "$name" 2>/dev/null || fail "$name is not a whole gzip file"
    done
  done
}

check_renders_note() {
  local stage=$scratch/stage bin=$scratch/stage/usr/bin status
  stage_install "$stage" /usr || return
  mkdir "$scratch/installed" "$scratch/built"
  "$build/make_demo_voice" "$scratch/installed/voice.wav"
  cp "$scratch/installed/voice.wav" "$scratch/built/voice.wav"
  local args=(A4 100 B60 0 300 50 0 100 100)

  status=0
  "$bin/quillet" "$scratch/installed/voice.wav" "$scratch/installed/note.wav" "${args[@]}" \
    >"$scratch/installed.log" || status=$?
  [ "$status" -eq 0 ] || fail "installed quillet exited with $status"
  [ "$(head -c 4 "$scratch/installed/note.wav" 2>/dev/null)" = RIFF ] ||
    fail "installed quillet wrote no WAV file"
  [ -f "$scratch/installed/voice_wav.frq" ] || fail "no side file beside the sample"
  iconv -f CP932 "$scratch/installed.log" 2>/dev/null | grep -q '完了しました' ||
    fail "the console text does not read as CP932 with the closing message"

  "$build/quillet" "$scratch/built/voice.wav" "$scratch/built/note.wav" "${args[@]}" >/dev/null
  cmp -s "$scratch/installed/note.wav" "$scratch/built/note.wav" ||
    fail "the installed quillet's note differs from the built one's"

  status=0
  "$bin/quillet" >"$scratch/usage.log" || status=$?
  [ "$status" -eq 255 ] || fail "quillet without arguments exited with $status, not 255"
  grep -q '^Usage is' "$scratch/usage.log" || fail "quillet without arguments printed no usage"

  "$bin/quillet" "$scratch/installed/voice.wav" "$scratch/installed/second.wav" C4 100 >/dev/null
  status=0
  "$bin/quillet-join" "$scratch/joined.wav" "$scratch/installed/note.wav" \
    "$scratch/installed/second.wav" 2>"$scratch/join.log" || status=$?
  [ "$status" -eq 0 ] || fail "installed quillet-join exited with $status"
  [ -f "$scratch/joined.wav" ] &&
    [ "$(wav_data_bytes "$scratch/joined.wav")" -eq \
      $(( $(wav_data_bytes "$scratch/installed/note.wav") + $(wav_data_bytes "$scratch/installed/second.wav") )) ] ||
    fail "quillet-join did not butt the two notes together"
  status=0
  "$bin/quillet-join" 2>"$scratch/join.log" || status=$?
  [ "$status" -eq 2 ] && grep -q '^usage: quillet-join ' "$scratch/join.log" ||
    fail "quillet-join without arguments: status $status, usage: $(cat "$scratch/join.log")"

  if has_bank; then
    "$bin/quillet-bank" --help >"$scratch/bank.log" 2>&1 || true
    for subcommand in analyse check plot; do
      grep -q "$subcommand" "$scratch/bank.log" || fail "quillet-bank --help does not name $subcommand"
    done
  fi
}

# The flag letters the renderer looks for: every letter handed to a flags
# reader in the sources, and the letters read through a table of letters.
renderer_flag_letters() {
  local source=$1
  {
    grep -rhoE "flags, '[A-Za-z]'" "$source/src" | sed -E "s/.*'(.)'/\1/"
    grep -rhoE "letters\[\] = \{[^}]*\}" "$source/src" | grep -oE "'[A-Za-z]'" | tr -d "'"
  } | LC_ALL=C sort -u
}

check_man_pages() {
  local source=$1 page rendered letter
  local pages=(quillet.1 quillet-join.1 quillet-bank.1)
  for page in "${pages[@]}"; do
    for rendered in "$build/man/$page" "$build/man/$page.gz"; do
      [ -f "$rendered" ] || { fail "$rendered was not built"; continue; }
    done
    if ! groff -ww -man -z "$build/man/$page" 2>"$scratch/groff.log" || [ -s "$scratch/groff.log" ]; then
      fail "groff -ww -man -z $page warns:"
      cat "$scratch/groff.log" >&2
    fi
    for rendered in "$build/man/$page" "$build/man/$page.gz"; do
      if ! MANWIDTH=80 man --warnings=w -l "$rendered" >"$scratch/page.txt" 2>"$scratch/man.log" ||
        [ -s "$scratch/man.log" ]; then
        fail "man -l $rendered warns:"
        cat "$scratch/man.log" >&2
      fi
      grep -q "^NAME" "$scratch/page.txt" && grep -q "${page%.1} - " "$scratch/page.txt" ||
        fail "man -l $rendered shows no NAME line"
    done
  done

  MANWIDTH=80 man -l "$build/man/quillet.1" >"$scratch/quillet.txt" 2>/dev/null
  for section in ARGUMENTS PITCH "PITCH BEND" FLAGS "SIDE FILES" FILES CONSOLE "EXIT STATUS"; do
    grep -qx "$section" "$scratch/quillet.txt" || fail "quillet(1) has no $section section"
  done
  local letters
  letters=$(renderer_flag_letters "$source")
  [ "$(wc -w <<<"$letters")" -ge 20 ] || fail "found only these flag letters in the sources: $letters"
  for letter in $letters; do
    # A flag's entry is a paragraph whose first line names it in bold.
    awk -v term="\\\\fB$letter\\\\fR" '
      (previous == ".P" || previous == ".RE") && index($0, "\\fB") == 1 {
        at = index($0, term)
        after = substr($0, at + length(term), 1)
        if (at > 0 && (after == "" || after == "[" || after == ",")) found = 1
      }
      { previous = $0 }
      END { exit !found }' "$build/man/quillet.1" ||
      fail "quillet(1) has no entry for flag $letter"
    grep -qE "^\| \`$letter\` \|" "$source/README.md" ||
      fail "the README's flags table has no row for $letter"
  done
}

# Builds the package with cpack into $1 (unless $2 names one already built).
package_of_build() {
  if [ -n "${2:-}" ]; then
    mkdir -p "$1" && cp "$2" "$1/"
  elif ! cpack --config "$build/CPackConfig.cmake" -B "$1" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    fail "cpack failed"
  fi
}

check_package() {
  local version=$1 arch deb field depends stage=$scratch/stage unpacked=$scratch/unpacked
  arch=$(dpkg --print-architecture)
  package_of_build "$scratch/package" "${2:-}"
  deb=$scratch/package/quillet_${version}_$arch.deb
  [ -f "$deb" ] || { fail "no $(basename "$deb") among: $(ls "$scratch/package")"; return; }

  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | LC_ALL=C sort \
    >"$scratch/package.txt"
  if ! diff <(expected_under usr) "$scratch/package.txt" >"$scratch/diff"; then
    fail "the package does not hold exactly the expected files (< expected, > package):"
    cat "$scratch/diff" >&2
  fi

  stage_install "$stage" /usr || return
  dpkg-deb -x "$deb" "$unpacked"
  while read -r name; do
    cmp -s "$stage/$name" "$unpacked/$name" || fail "$name in the package differs from the install"
  done <"$scratch/package.txt"

  [ "$(dpkg-deb -f "$deb" Package)" = quillet ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version: $(dpkg-deb -f "$deb" Version)"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "architecture: $(dpkg-deb -f "$deb" Architecture)"
  depends=$(dpkg-deb -f "$deb" Depends)
  local needed=(libc6 libstdc++6 libgcc-s1)
  has_bank && needed+=(libcairo2)
  for field in "${needed[@]}"; do
    tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$field" ||
      fail "Depends lacks $field: $depends"
  done
}

case $check in
  staged-files) check_staged_files ;;
  renders-note) check_renders_note ;;
  man-pages) check_man_pages "$@" ;;
  package) check_package "$@" ;;
  *) echo "unknown check: $check" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "install check $check: passed"
