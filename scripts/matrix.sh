# Reads the interpreter matrix, scripts/interpreters.txt (sourced by the
# scripts that need it).
MATRIX_FILE=$(dirname "${BASH_SOURCE[0]}")/interpreters.txt

# The rows, "platform interpreter from tests", without comments and header.
matrix_rows() {
    sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$MATRIX_FILE" | tail -n +2 | awk '{print $1, $2, $3, $4}'
}

# The Debian suites that rows come from.
matrix_suites() {
    matrix_rows | awk '$3 != "pyenv" {print $3}' | sort -u
}

# The CPython versions (3.X) that a suite carries, on any platform.
matrix_suite_cpythons() {  # suite
    matrix_rows | awk -v suite="$1" '$3 == suite && $2 ~ /^cpython-/ {sub(/^cpython-/, "", $2); print $2}' |
        sort -u -V
}

# The Debian packages of a suite's interpreters, their headers and venv.
# debootstrap does not resolve virtual packages: python3.X-venv before 3.12
# needs python3.X-distutils, which python3-distutils provides.
matrix_suite_packages() {  # suite
    local version packages=()
    for version in $(matrix_suite_cpythons "$1"); do
        packages+=("python$version" "libpython$version-dev" "python$version-venv")
        ((${version#3.} >= 12)) || packages+=(python3-distutils)
    done
    matrix_rows | awk -v suite="$1" '$3 == suite && $2 ~ /^pypy-/ {found = 1} END {exit !found}' &&
        packages+=(pypy3 pypy3-dev pypy3-venv)
    echo "${packages[*]}"
}
