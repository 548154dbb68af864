#!/usr/bin/env bash
# Runs the README's shell commands in order, as a reader would on a fresh Debian 12 machine (as
# root, from the top of the clone, in one shell), and fails when one of them fails. Usage:
#   readme_test.sh SOURCE_DIR BUILD_DIR
#
# What differs from a reader, and why:
# - /srv/kovbridge (and the paths that begin with it) is a scratch directory;
# - the clone is a folder of links to the sources whose build/ is BUILD_DIR, so scripts/run.sh
#   finds the program built already instead of building it again;
# - `scripts/test.sh` is not run: it is what runs this test;
# - a block after a "not run by the README test" comment is skipped (the comment says why);
# - a command that runs the program in the foreground (scripts/run.sh) runs in the background
#   after the previous one was stopped with Ctrl-C (SIGINT), and the next command waits until its
#   console listens;
# - the interactive `telnet` gets the password PZQ and the commands of the session shown after
#   it, and every line of that session must appear in what it printed;
# - where a block's output is shown after it, every line shown must appear in what its last
#   command printed;
# - a command that connects to a TCP port of the program waits until that port listens (the
#   console listens again 5 seconds after Exit; a reader is slower than that);
# - everything runs in a network namespace of its own where one is allowed, so the default ports
#   8800 and 8801 are free.
set -euo pipefail
src="$(cd "$1" && pwd)"
build="$(cd "$2" && pwd)"
[ "$(id -u)" = 0 ] || { echo "FAIL: the README's commands run as root"; exit 1; }

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
clone="$scratch/clone"
mkdir -p "$clone"
for entry in "$src"/* "$src"/.ci; do
  [ "$(basename "$entry")" = build ] || ln -s "$entry" "$clone/$(basename "$entry")"
done
ln -s "$build" "$clone/build"
srv="$scratch/srv/kovbridge"

# The README's blocks: "cmd" lines of the sh blocks to run, "text" lines of the text blocks.
kinds=()
lines=()
inside=0
fence=""
lang=""
skip=0
while IFS= read -r raw; do
  if [ "$inside" = 0 ]; then
    if [[ $raw == *"<!-- not run by the README test"* ]]; then
      skip=1
    elif [[ $raw =~ ^([[:space:]]*)\`\`\`([a-z]*)[[:space:]]*$ ]]; then
      inside=1
      fence="${BASH_REMATCH[1]}"
      lang="${BASH_REMATCH[2]}"
      [ "$lang" = text ] && kinds+=(text-begin) && lines+=("")
    fi
    continue
  fi
  if [[ $raw =~ ^[[:space:]]*\`\`\`[[:space:]]*$ ]]; then
    [ "$lang" = sh ] && skip=0
    inside=0
    continue
  fi
  line="${raw#"$fence"}"
  if [ "$lang" = sh ] && [ "$skip" = 0 ] && [ -n "${line// /}" ]; then
    kinds+=(cmd)
    lines+=("${line//\/srv\/kovbridge/$srv}")
  elif [ "$lang" = text ]; then
    kinds+=(text)
    lines+=("$line")
  fi
done <"$src/README.md"

# The script a reader's shell would run, with the helpers described above.
steps="$scratch/steps.sh"
cat >"$steps" <<EOF
set -eo pipefail
scratch='$scratch'
cd '$clone'
EOF
cat >>"$steps" <<'EOF'
program=""
programs=0
listening() {
  awk -v p="$(printf ':%04X' "$1")" \
    'NR > 1 && $4 == "0A" && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' /proc/net/tcp
}
wait_listening() {
  for _ in $(seq 1 3000); do
    listening "$1" && return 0
    if [ -n "$program" ] && ! kill -0 "$program" 2>/dev/null; then
      echo "FAIL: the program ended"; cat "$scratch/program-$programs.log"; return 1
    fi
    sleep 0.1
  done
  echo "FAIL: nothing listens on port $1"; return 1
}
stop_program() {
  [ -n "$program" ] || return 0
  kill -INT -- "-$program"
  local status=0
  wait "$program" || status=$?
  program=""
  if [ "$status" != 0 ]; then
    echo "FAIL: the program ended with status $status"; cat "$scratch/program-$programs.log"
    return 1
  fi
}
start_program() {
  stop_program
  programs=$((programs + 1))
  setsid bash -c "$1" >"$scratch/program-$programs.log" 2>&1 &
  program=$!
  wait_listening 8800
}
# Fails unless every non-blank line of the file appears in the output file.
shows() {
  tr -d '\r' <"$1" >"$1.lines"
  while IFS= read -r want; do
    [ -n "${want// /}" ] || continue
    grep -aqF -- "$want" "$1.lines" || { echo "FAIL: the output lacks '$want'"; cat "$1.lines"; return 1; }
  done <"$2"
}
console_session() {
  local session="$2" out="$scratch/session.out"
  wait_listening 8800
  {
    sleep 1
    printf 'PZQ\n'
    sed -n 's/^Bridge:\\>\(..*\)$/\1/p' "$session" | while IFS= read -r command; do
      sleep 0.5
      printf '%s\n' "$command"
    done
    sleep 1
  } | bash -c "$1" >"$out" 2>&1 || true
  shows "$out" "$session"
}
finish() {
  local status=$?
  [ "$status" = 0 ] || echo "FAIL: the last command above failed (status $status)"
  stop_program || status=1
  kill $(jobs -p) 2>/dev/null || true
  exit $status
}
trap finish EXIT
EOF

# The lines of the text block that starts at index $1, into file $2; fails when there is none.
shown_after() {
  local j=$1
  : >"$2"
  [ "${kinds[$j]:-}" = text-begin ] || return 1
  for ((j = j + 1; j < ${#kinds[@]}; j++)); do
    [ "${kinds[$j]}" = text ] || break
    printf '%s\n' "${lines[$j]}" >>"$2"
  done
}

shown=0
for ((i = 0; i < ${#kinds[@]}; i++)); do
  [ "${kinds[$i]}" = cmd ] || continue
  line="${lines[$i]}"
  printf 'echo %q\n' "+ $line" >>"$steps"
  case "$line" in
    scripts/test.sh*)
      echo "echo '  (not run: this test is part of it)'" >>"$steps"
      ;;
    scripts/run.sh*)
      printf 'start_program %q\n' "$line" >>"$steps"
      ;;
    telnet\ *)
      shown=$((shown + 1))
      shown_after $((i + 1)) "$scratch/shown-$shown.txt" ||
        { echo "FAIL: no session shown after '$line'"; exit 1; }
      printf 'console_session %q %q\n' "$line" "$scratch/shown-$shown.txt" >>"$steps"
      ;;
    *)
      for port in 8800 8801 8802 8803 8804 8805 8806 8807 8808; do
        [[ $line == *"localhost $port"* ]] && echo "wait_listening $port" >>"$steps"
      done
      if shown_after $((i + 1)) "$scratch/shown-$((shown + 1)).txt"; then
        # Its output is shown: run it with the output kept as well, and compare.
        shown=$((shown + 1))
        printf '{ %s\n} 2>&1 | tee "$scratch/output-%d"\n' "$line" "$shown" >>"$steps"
        printf 'shows "$scratch/output-%d" "$scratch/shown-%d.txt"\n' "$shown" "$shown" >>"$steps"
      else
        printf '%s\n' "$line" >>"$steps"
      fi
      ;;
  esac
done

if unshare -n true 2>/dev/null; then
  unshare -n bash -c 'ip link set lo up && exec bash "$1"' - "$steps"
else
  echo "(no network namespace here: using the machine's ports 8800..8808)"
  bash "$steps"
fi
echo "README commands passed"
