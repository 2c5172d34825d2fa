#!/usr/bin/env bash
# Checks the bash completion given as $1: it offers directories only, and in
# an interactive shell (through tmux, where installed) `mkfichier ou<TAB>`
# becomes `mkfichier out/` with the cursor right after the '/'.
set -u
completion=$(realpath "$1")
work=$(mktemp -d)
cleanup() {
    local sock
    for sock in "$work"/sock.*; do tmux -S "$sock" kill-server 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/w" && cd "$work/w" && mkdir out other 'with space' && touch outfile oxide || exit 1

fail() {
    echo "completion: $*"
    exit 1
}

# shellcheck source=/dev/null
source "$completion"
[ "$(complete -p mkfichier)" = "complete -o filenames -o nospace -F _mkfichier mkfichier" ] ||
    fail "registered as: $(complete -p mkfichier)"
while IFS='|' read -r word want; do
    _mkfichier mkfichier "$word" mkfichier
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
    [ "$got" = "$want" ] || fail "'$word' gives '$got', not '$want'"
done <<'TABLE'
ou|out
o|other out
w|with space
x|
|other out with space
TABLE

if ! command -v tmux >/dev/null; then
    echo "tmux not installed: the interactive check is skipped"
    exit 0
fi
# Types `mkfichier WORD<TAB>` into an interactive bash; prints the line and
# the cursor's column once the completion has settled. Each call has its own
# server: a new client on the socket of a server still shutting down fails
# with "server exited unexpectedly".
typed() {
    local sock="$work/sock.$BASHPID" line='' i
    tmux -S "$sock" new-session -d -x 120 -y 10 -c "$work/w" \
        "env INPUTRC=/dev/null bash --rcfile '$work/rc' -i" || return 1
    # Keys sent before the prompt are echoed by the terminal as well.
    for ((i = 0; i < 50; i++)); do
        tmux -S "$sock" capture-pane -p | grep -qx '\$' && break
        sleep 0.1
    done
    tmux -S "$sock" send-keys "mkfichier $1" Tab
    for ((i = 0; i < 50; i++)); do
        sleep 0.1
        line=$(tmux -S "$sock" capture-pane -p | grep '^\$ mkfichier' | tail -n 1)
        # Readline may show the typed word part-way; wait for it to grow.
        case $line in "\$ mkfichier $1"?*) break ;; esac
    done
    printf '%s|%s\n' "$line" "$(tmux -S "$sock" display -p '#{cursor_x}')"
    tmux -S "$sock" kill-server
}
# The system's bashrc, read before this one, may set its own prompt.
printf "PS1='\$ '\nsource '%s'\n" "$completion" >"$work/rc"
if ! tmux -S "$work/sock.probe" new-session -d true 2>"$work/tmux.err"; then
    echo "tmux cannot start a terminal here ($(cat "$work/tmux.err")): the interactive check is skipped"
    exit 0
fi
got=$(typed ou)
[ "$got" = "\$ mkfichier out/|16" ] || fail "typing 'ou' then TAB gives '$got'"
got=$(typed 'with\ s')
[ "$got" = "\$ mkfichier with\\ space/|24" ] || fail "typing 'with\\ s' then TAB gives '$got'"
echo "completion: ok"
