# Part of scripts/wheels.sh: where the interpreters of the matrix are, and
# installing for them.
#
# A place is "host" or a Debian root "SUITE-DEBIANARCH"; in_place runs a
# command there, with the source tree at the same path.
in_place() {  # place command...
    local place=$1
    shift
    if [[ $place == host ]]; then "$@"; return; fi
    SONVEX_ROOT_BINDS="$root ${ZIG_GLOBAL_CACHE_DIR:-} ${zig_home:-}" bash scripts/debian-root.sh "${place%-*}" "${place##*-}" run "$@"
}
pip_in() {  # place python pip-arguments...
    in_place "$1" "$2" -W ignore -m pip install -q --disable-pip-version-check "${@:3}"
}

# What an interpreter says it is: cpython-3.X, or pypy-3.X-ppNN by its ABI.
IDENTIFY='import platform, sys, sysconfig
name = "%s-%d.%d" % ((platform.python_implementation().lower(),) + sys.version_info[:2])
suffix = sysconfig.get_config_var("EXT_SUFFIX") or ""
if name.startswith("pypy") and suffix.count("-") >= 2:
    name += "-" + suffix.split("-")[1]
print(name)'
is_interpreter() {  # place command name
    [[ "$(in_place "$1" "$2" -c "$IDENTIFY" 2>/dev/null)" == "$3" ]]
}

# Prints "place command" for the interpreter of a row (the matrix's "from":
# pyenv, else this machine's own where it is that interpreter, else the
# suite's root's).
declare -A found=()
locate() {  # arch name
    local arch=$1 name=$2 from version command candidate best="" where=""
    [[ -z ${found[$arch/$name]:-} ]] || { echo "${found[$arch/$name]}"; return; }
    from=$(column "$arch" "$name" 3)
    version=${name#*-} version=${version%-pp*}
    command=python$version
    [[ $name == pypy-* ]] && command=pypy3
    if [[ $from == pyenv ]]; then
        for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
            [[ -x $candidate ]] && best=$candidate
        done
        candidate=${best:-$(command -v "$command" || true)}
        [[ -n $candidate ]] && is_interpreter host "$candidate" "$name" && where="host $candidate"
    else
        candidate=$(command -v "$command" || true)
        if [[ $arch == "$native" && -n $candidate ]] && is_interpreter host "$candidate" "$name"; then
            where="host $candidate"
        elif is_interpreter "$from-${DEBIAN_ARCH[$arch]}" "/usr/bin/$command" "$name"; then
            where="$from-${DEBIAN_ARCH[$arch]} /usr/bin/$command"
        fi
    fi
    [[ -n $where ]] || { echo "wheels.sh: no $name interpreter for $arch (from $from)" >&2; return 1; }
    found[$arch/$name]=$where
    echo "$where"
}

# A virtual environment of an interpreter of this machine's platform with
# scikit-build-core and the test tools, kept in the build tree (made under a
# lock: another run may be making the same one). CMake and Ninja are the
# tools environment's, for every wheel.
declare -A venv_of=()
venv() {  # name -> prints "place python-of-the-venv"
    local name=$1 where place command venv
    [[ -z ${venv_of[$name]:-} ]] || { echo "${venv_of[$name]}"; return; }
    where=$(locate "$native" "$name") || return 1
    read -r place command <<<"$where"
    venv=$work/venv/$name
    mkdir -p "$work/venv"
    (
        flock 7
        [[ -x $venv/bin/python ]] || in_place "$place" "$command" -m venv "$venv" >&2 || exit 1
        in_place "$place" "$venv/bin/python" -c 'import scikit_build_core, pytest, hypothesis' 2>/dev/null ||
            pip_in "$place" "$venv/bin/python" scikit-build-core -c "$root/scripts/build-tools.txt" \
                -r "$root/scripts/test-tools.txt" >&2
    ) 7>"$venv.lock" || return 1
    venv_of[$name]="$place $venv/bin/python"
    echo "${venv_of[$name]}"
}

# Installs for the interpreter of a row into a directory, by pip of the same
# interpreter of this machine's platform: the test tools are Python but for
# Hypothesis's optional native part, which comes for the row's platform.
# Under emulation, pip itself would take minutes per interpreter.
install_for() {  # arch name dir pip-arguments...
    local arch=$1 name=$2 dir=$3 where place python
    where=$(venv "$name") || return 1
    read -r place python <<<"$where"
    rm -rf "$dir"
    pip_in "$place" "$python" --target "$dir" --no-compile --only-binary=:all: \
        --platform "${PLATFORM[$arch]}" "${@:4}"
}
