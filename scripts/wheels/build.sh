# Part of scripts/wheels.sh: one wheel, built from the sdist by pip with Zig's
# compiler, checked and tagged by auditwheel.

# For a Debian interpreter: copies of its headers, with Debian's multiarch
# pyconfig.h but none of its C library's (newer than glibc 2.17, and Zig has
# its own), in the wheel's work directory; for another platform also its
# extension suffix. Prints the CMake settings (--config-settings=...) and
# environment (NAME=value) of the build, one a line.
target_settings() {  # arch name dir
    local arch=$1 name=$2 dir=$3 where place command paths suffix include multiarch troot=""
    where=$(locate "$arch" "$name") || return 1
    read -r place command <<<"$where"
    paths=$(in_place "$place" "$command" -c 'import sysconfig
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(sysconfig.get_path("include"))
print(sysconfig.get_config_var("MULTIARCH") or "")') || return 1
    { read -r suffix; read -r include; read -r multiarch; } <<<"$paths"
    [[ $place == host ]] || troot=$(bash scripts/debian-root.sh "${place%-*}" "${place##*-}") || return 1
    rm -rf "$dir/include" && mkdir -p "$dir/include"
    cp -rL "$troot$include" "$dir/include/python" || return 1
    if [[ -n $multiarch && -d $troot/usr/include/$multiarch/$(basename "$include") ]]; then
        mkdir -p "$dir/include/$multiarch"
        cp -rL "$troot/usr/include/$multiarch/$(basename "$include")" "$dir/include/$multiarch/"
    fi
    printf '%s\n' --config-settings=cmake.define.Python_INCLUDE_DIR="$dir/include/python" \
        --config-settings=cmake.define.CMAKE_CXX_FLAGS="-isystem $dir/include"
    [[ $arch != "$native" ]] || return 0
    printf '%s\n' _PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX="$suffix"
}

# Builds the raw wheel of a row into DIR/raw, by the interpreter of its name
# of this machine's platform (also for another platform), linking the core
# of the platform.
compile_wheel() {  # arch name dir
    local arch=$1 name=$2 dir=$3 where place python line lines settings=() env=()
    where=$(venv "$name") || { fail "no $name interpreter for the $arch wheel"; return 1; }
    read -r place python <<<"$where"
    if [[ $arch != "$native" || $(locate "$arch" "$name") != host* ]]; then
        lines=$(target_settings "$arch" "$name" "$dir") ||
            { fail "the $arch $name interpreter did not run"; return 1; }
        while read -r line; do
            [[ $line == --* ]] && settings+=("$line") || env+=("$line")
        done <<<"$lines"
    fi
    # The module's sources as one translation unit: each of them alone spends
    # most of its time parsing the same C++ library and Python headers, so
    # one unit compiles the module in about a third of the processor time.
    # (The development builds, scripts/setup.sh, still compile each source
    # alone, so that each one keeps including what it uses.)
    for line in $(toolchain_defines "$arch") -DSONVEX_CORE_LIBRARY="${core_of[$arch]}" \
                -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=0; do
        settings+=("--config-settings=cmake.define.${line#-D}")
    done
    [[ -e $ZIG_GLOBAL_CACHE_DIR/runtime-$arch ]] ||
        log "the first build for $arch also builds Zig's C++ runtime for it: minutes (kept in $zig_cache)"
    log "building the $arch $name wheel (with $python$([[ $place == host ]] || echo " in $place"))"
    with_heartbeat "the $arch $name wheel" "$dir/build.log" \
        in_place "$place" env PATH="$(dirname "$python"):$cmake_path:/usr/local/bin:/usr/bin:/bin" \
        ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" ZIG_LOCAL_CACHE_DIR="$ZIG_LOCAL_CACHE_DIR" "${env[@]}" \
        "$python" -W ignore -m pip wheel -v --no-deps --disable-pip-version-check --no-build-isolation \
        -w "$dir/raw" --config-settings=build-dir="$dir/cmake" "${settings[@]}" "$sdist" ||
        { fail "the $arch $name wheel did not build"; return 1; }
    touch "$ZIG_GLOBAL_CACHE_DIR/runtime-$arch"
}

# Every extension module of a wheel may need the C library and nothing else
# of the system; prints what else they need.
foreign_libraries() {  # wheel dir
    rm -rf "$2/unpacked" && "$tools/bin/python" -m zipfile -e "$1" "$2/unpacked"
    find "$2/unpacked" -name '*.so' -exec readelf -d {} + |
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u |
        grep -vxE 'libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-[a-z0-9-]+\.so\.[12]' || true
}

# Checks the raw wheel of a row and has auditwheel tag it into dist/
# (wheel_of[arch/name]).
repair_wheel() {  # arch name dir
    local arch=$1 name=$2 dir=$3 raw needed plat prefix tags
    raw=$(ls "$dir"/raw/sonvex_rs-*.whl)
    needed=$(foreign_libraries "$raw" "$dir")
    [[ -z $needed ]] || { fail "the $arch $name wheel's modules need $(echo $needed)"; return 1; }
    # auditwheel names only this machine's platforms; for another one it
    # chooses the oldest platform that the wheel satisfies, which must be the
    # table's.
    plat=${PLATFORM[$arch]}
    [[ $arch == "$native" ]] || plat=auto
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w dist --plat "$plat" "$raw" >"$dir/repair.log" 2>&1; then
        cat "$dir/repair.log" >&2; fail "auditwheel refused the $arch $name wheel"; return 1
    fi
    # sonvex_rs-<version>-<python tag>-<abi tag>-<platform tags>.whl
    prefix=$(basename "$raw" | cut -d- -f1-4)
    wheel_of[$arch/$name]=$(ls dist/"$prefix"-*_"$arch".whl)
    tags=${wheel_of[$arch/$name]##*-}
    if [[ .${tags%.whl}. != *.${PLATFORM[$arch]}.* ]]; then
        fail "auditwheel tagged the $arch $name wheel $(basename "${wheel_of[$arch/$name]}"), not ${PLATFORM[$arch]}"
        unset "wheel_of[$arch/$name]"; return 1
    fi
}

build_wheel() {  # arch name
    local dir=$work/$1/$2 start=$SECONDS
    rm -rf "$dir/cmake" "$dir/raw"
    mkdir -p "$dir"
    compile_wheel "$1" "$2" "$dir" && repair_wheel "$1" "$2" "$dir" &&
        log "built ${wheel_of[$1/$2]} ($(elapsed $((SECONDS - start))))"
}
