# Part of scripts/wheels.sh: the suite on a wheel.
#
# The wheel goes into a directory of its own, on the path of its interpreter:
# for this machine's platform the environment of that interpreter; for
# another one Debian's interpreter itself, with the test tools in a directory
# of their own, kept. pytest runs from the tests' directory, so that the
# module and the fake server can only come from the wheel.

# Installs a row's wheel (and for another platform the test tools) and
# prints "place python PYTHONPATH" to test it with.
install_wheel() {  # arch name
    local arch=$1 name=$2 where place python site=$work/$1/$2/site testtools=$work/$1/$2/tools wheel
    wheel=$root/${wheel_of[$arch/$name]}
    if [[ $arch == "$native" ]]; then
        where=$(venv "$name") && read -r place python <<<"$where" && rm -rf "$site" &&
            pip_in "$place" "$python" --no-index --no-deps --target "$site" "$wheel" || return 1
        echo "$place $python $site"; return
    fi
    where=$(locate "$arch" "$name") && read -r place python <<<"$where" || return 1
    cmp -s scripts/test-tools.txt "$testtools/.complete" ||
        { install_for "$arch" "$name" "$testtools" -r "$root/scripts/test-tools.txt" &&
          cp scripts/test-tools.txt "$testtools/.complete"; } || return 1
    install_for "$arch" "$name" "$site" --no-index --no-deps "$wheel" || return 1
    echo "$place $python $site:$testtools"
}

# What a row's wheel is tested with: "full", the whole suite, where the
# matrix says so, but for the interpreters of this machine in $ran_on (the
# caller ran the suite there already); else "smoke", the smoke test.
tests_of() {  # arch name
    if [[ $(column "$1" "$2" 4) == full && ! ($1 == "$native" && " $ran_on " == *" $2 "*) ]]; then
        echo full
    else
        echo smoke
    fi
}

test_wheel() {  # arch name
    local arch=$1 name=$2 where place python path suite=(.) what="the Python suite" start=$SECONDS
    if [[ $(tests_of "$arch" "$name") == smoke ]]; then
        suite=("${SMOKE_TESTS[@]}") what="the smoke test"
    fi
    printf '\n=== %s on the %s %s wheel ===\n' "$what" "$arch" "$name"
    where=$(install_wheel "$arch" "$name") ||
        { fail "the $arch $name wheel or the test tools did not install"; return 1; }
    read -r place python path <<<"$where"
    in_place "$place" /bin/sh -c 'cd "$1/tests/python" && shift && exec "$@"' sh "$root" \
        env PYTHONPATH="$path" "$python" -m pytest -q -p no:cacheprovider --rootdir="$root" \
        -c "$root/pyproject.toml" "${suite[@]}" ||
        fail "$what on the $arch $name wheel"
    log "$what on the $arch $name wheel: $(elapsed $((SECONDS - start)))"
}
