# Sourced by scripts/test.sh: marks every process the gate starts, and at the
# end names and ends those still running. The mark is a variable of the
# environment with a value of this run's own, so it follows a process that
# left the gate's session or process group or was re-parented to init, and
# leaves alone the processes of another gate running beside this one.

mark_gate_processes() {
    SONVEX_GATE_ID="$$-$SRANDOM$SRANDOM"
    export SONVEX_GATE_ID
}

# Prints "<pid> <command line>" for each running process that carries this
# gate's mark, other than this shell, and kills them; returns 1 if there were
# any. A zombie's environment reads empty: it runs no more.
end_outliving_processes() {
    local environ pid entry left=()
    local -a args
    for environ in /proc/[0-9]*/environ; do
        pid=${environ#/proc/}
        pid=${pid%/environ}
        ((pid == $$ || pid == BASHPID)) && continue
        while IFS= read -r -d '' entry; do
            if [[ $entry == "SONVEX_GATE_ID=$SONVEX_GATE_ID" ]]; then
                left+=("$pid")
                break
            fi
        done 2>/dev/null < "$environ"
    done
    ((${#left[@]})) || return 0
    printf '\n=== Processes started by the gate and still running (now killed) ===\n'
    for pid in "${left[@]}"; do
        args=()
        mapfile -d '' args 2>/dev/null < "/proc/$pid/cmdline"
        printf '%s %s\n' "$pid" "${args[*]}"
    done
    kill -KILL "${left[@]}" 2>/dev/null
    return 1
}
