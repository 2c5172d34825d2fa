#!/usr/bin/env bats
# Tests of the shells' completions: each offers directories only, each with its trailing '/'.
# shellcheck disable=SC1090 # the completion's path is given
bats_load_library bats-support
bats_load_library bats-assert

setup() { T=$(mktemp -d -p "${TMPDIR:-$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)}") && export T; }
teardown() { tmux -S "$T/sock" kill-server 2>/dev/null; rm -rf "$T"; }

@test "completion offers directories only" {
    cd "$T" && mkdir out other 'with space' && touch outfile oxide && source "$COMPLETION"
    while IFS='|' read -r word want; do
        _mkfichier mkfichier "$word" mkfichier
        assert_equal "$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')" "$want"
    done <<<$'ou|out\no|other out\nw|with space\nx|\n|other out with space'
}

# Types `mkfichier WORD<TAB>` into an interactive bash on a tmux server of its own (run by $SHELL, else the login
# shell: nobody's is nologin), once the prompt is up (keys sent before it echo twice); prints the line and the column.
@test "completion works in an interactive bash" {
    cd "$T" && mkdir out 'with space' && local s=$T/sock line && printf '%s\n' "PS1='\$ '" "source '$COMPLETION'" >rc
    env -u LD_PRELOAD SHELL=/bin/sh tmux -S "$s" new-session -d -x 120 -y 10 "INPUTRC=/dev/null bash --rcfile rc -i" \
        2>err || skip "tmux cannot start a terminal here: $(cat err)" # outside fakeroot, whose uid it refuses
    for word in ou 'with\ s'; do
        for ((i = 0; i < 50; i++)); do tmux -S "$s" capture-pane -p | grep -q '^\$ *$' && break; sleep 0.1; done
        tmux -S "$s" send-keys "mkfichier $word" Tab
        for ((i = 0; i < 50; i++)); do
            line=$(tmux -S "$s" capture-pane -p | grep "^\\$ mkfichier" | tail -n 1)
            [[ $line == "\$ mkfichier $word"?* ]] && break
            sleep 0.1
        done
        echo "$line|$(tmux -S "$s" display -p '#{cursor_x}')" >>typed && tmux -S "$s" send-keys C-u C-l
    done
    assert_equal "$(cat typed)" $'$ mkfichier out/|16\n$ mkfichier with\\ space/|24'
}
