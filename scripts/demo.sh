#!/usr/bin/env bash
# Sets everything up, starts the bundled fake media server on a free
# loopback port, and runs the demo session against it under PyPy.
set -euo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/demo.sh

Sets everything up (scripts/setup.sh), starts the bundled fake media server
(python -m sonvex_fake_server) on a free loopback port and runs
examples/demo.py against it under PyPy.

  -h, --help  print this help and exit
USAGE
}
source "$(dirname "$0")/help_only.sh"
help_only demo.sh "$@"
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2

# The server runs until it gets SIGTERM.
coproc SERVER { exec .venv-pypy/bin/python -m sonvex_fake_server --quiet; }
trap 'kill -TERM "$SERVER_PID" 2>/dev/null; wait "$SERVER_PID" 2>/dev/null || true' EXIT
read -r _ _ host port <&"${SERVER[0]}"   # "listening on <host> <port>"
echo "fake media server listening on $host $port" >&2
.venv-pypy/bin/python examples/demo.py "$host" "$port"
