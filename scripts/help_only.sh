# Sourced by the scripts that take no arguments besides -h/--help, after they
# define `usage`: prints the usage and exits 0 for -h/--help, refuses any
# other argument with the usage on standard error and exit status 2.
help_only() {  # script-name arguments...
    local name=$1 arg
    shift
    for arg in "$@"; do
        case $arg in
            -h|--help) usage; exit 0 ;;
            *) printf '%s: unknown argument: %s\n\n' "$name" "$arg" >&2; usage >&2; exit 2 ;;
        esac
    done
}
