#!/usr/bin/env bats
# Tests of the shells' completions: each offers directories only, each with its trailing '/'.
# shellcheck disable=SC1090 # the completion's path is given
bats_load_library bats-support
bats_load_library bats-assert

setup_file() {
    local v unset=()
    for v in COMPLETION ZSH_COMPLETION FISH_COMPLETION; do [ -n "${!v:-}" ] || unset+=("$v"); done
    [ "${#unset[@]}" -eq 0 ] || fail "${unset[*]} unset: ctest sets them (cmake --workflow --preset test, then" \
        "ctest --test-dir build-default)"
}
setup() {
    T=$(mktemp -d -p "${TMPDIR:-$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)}") && export T && cd "$T" || return
}
# The shell writes its history into $T as it ends, after the server: $T goes once no process of its session is left.
teardown() {
    local shell i
    shell=$(tmux -S "$T/sock" display -p '#{pane_pid}' 2>/dev/null)
    tmux -S "$T/sock" kill-server 2>/dev/null
    for ((i = 0; i < 100; i++)); do
        [ -n "$shell" ] || break
        ps -o stat= -s "$shell" | awk '!/^Z/ { alive = 1 } END { exit !alive }' || break
        sleep 0.1
    done
    rm -rf "$T"
}

@test "completion offers directories only" {
    cd "$T" && mkdir out other 'with space' && touch outfile oxide && source "$COMPLETION"
    while IFS='|' read -r word want; do
        _mkfichier mkfichier "$word" mkfichier
        assert_equal "$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')" "$want"
    done <<<$'ou|out\no|other out\nw|with space\nx|\n|other out with space'
}

# Starts SHELL-COMMAND interactively on a tmux server of its own (run by $SHELL, else the login shell: nobody's is
# nologin), in $T, which is its HOME and XDG directories too, after writing stdin to RCFILE there; a stub mkfichier
# first on PATH records its arguments. For each KEYS, BEFORE|AFTER, once the prompt is up (keys sent before it echo
# twice), types `mkfichier BEFORE<Tab>`, prints the line and the cursor's column once the completion is in, then types
# AFTER and Enter, and prints the arguments the stub got. The directory out/ beside the file outfile is there to type.
typed() {
    local s=$T/sock keys before i now was
    command -v "${1%% *}" >/dev/null || skip "${1%% *} is not installed"
    mkdir -p out 'with space' bin "$(dirname "$2")" && touch outfile && cat >"$2" || return
    # shellcheck disable=SC2016 # the stub expands its own
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"$T/argv"\n' >bin/mkfichier && chmod +x bin/mkfichier || return
    env -u LD_PRELOAD -u ZDOTDIR SHELL=/bin/sh HOME="$T" XDG_CONFIG_HOME="$T" XDG_DATA_HOME="$T" XDG_CACHE_HOME="$T" \
        XDG_STATE_HOME="$T" XDG_RUNTIME_DIR="$T" INPUTRC=/dev/null PATH="$T/bin:$PATH" \
        tmux -f /dev/null -S "$s" new-session -d -x 120 -y 10 "$1" 2>err ||
        skip "tmux cannot start a terminal here: $(cat err)" # outside fakeroot, whose uid it refuses
    shift 2
    for keys; do
        before=${keys%|*} && prompt && tmux -S "$s" send-keys "mkfichier $before" Tab
        for ((i = 0; i < 50; i++)); do # one snapshot, the same twice: a line may be drawn in steps
            was=$now && now=$(tmux -S "$s" capture-pane -p \; display -p '|#{cursor_x}' | grep . | tail -n 2 |
                paste -sd '')
            [[ $now == "$was" && ${now##*|} -gt $((12 + ${#before})) ]] && break
            sleep 0.1
        done
        rm -f argv
        [ -z "${keys#*|}" ] || tmux -S "$s" send-keys -l "${keys#*|}"
        tmux -S "$s" send-keys Enter && prompt
        echo "$now|$(paste -sd ' ' argv)"
    done
}

# Waits until the screen's last line that is not blank is the prompt, '$ '.
prompt() {
    local i
    for ((i = 0; i < 50; i++)); do
        [ "$(tmux -S "$T/sock" capture-pane -p | grep . | tail -n 1)" = '$' ] && return
        sleep 0.1
    done
}

# What each shell shows after Tab, and what mkfichier gets once a space and Enter, or Enter alone, follow.
completed=$'$ mkfichier out/|16|out/\n$ mkfichier with\\ space/|24|with space/'

@test "completion works in an interactive bash" {
    typed 'bash --rcfile rc -i' rc 'ou| ' 'with\ s|' >seen <<<"PS1='\$ '; source '$COMPLETION'"
    assert_equal "$(cat seen)" "$completed"
}

@test "completion works in an interactive zsh" {
    typed 'zsh --no-globalrcs -i' .zshrc 'ou| ' 'with\ s|' 'ou|/' >seen <<<"PS1='\$ '
fpath=('${ZSH_COMPLETION%/*}' \$fpath); autoload -Uz compinit && compinit -u -D"
    assert_equal "$(cat seen)" "$completed"$'\n$ mkfichier out/|16|out/' # a '/' typed stands for the one there
}

@test "completion works in an interactive fish" {
    typed 'fish -i' fish/config.fish 'ou| ' 'with\ s|' >seen <<<"function fish_prompt; printf '\$ '; end
set fish_greeting; set fish_autosuggestion_enabled 0; set -p fish_complete_path '${FISH_COMPLETION%/*}'"
    assert_equal "$(cat seen)" "$completed"
}
