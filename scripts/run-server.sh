#!/usr/bin/env bash
# Installs what is missing, builds the release build and runs zentdb6 in the
# console (-standalone) on a local default environment under ./local (made on first use).
# Extra arguments go to zentdb6.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
build="$top/build/release"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZENT_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
local_env="$top/local"
mkdir -p "$local_env/etc" "$local_env/data"
cfg="$local_env/etc/zentdb6.cfg"
tools="$build/src/tools"
# First use: the configuration, then the environment (root volume, system
# pool and server catalog by spacenew, which records the root in [Volumes]),
# then its LOG volume by spacegrow, which lists the set in [Volumes]. A run
# that stopped half-way is finished here on the next one.
if [ ! -f "$cfg" ]; then
  cat > "$cfg" <<CFG
[Server]
Service = 7820
LogFlags = *1D2

[Config]
Threads = 40
CFG
fi
if [ ! -f "$local_env/data/root.vol" ]; then
  "$tools/spacenew" -c "$cfg" "$local_env/data/root.vol"
fi
if [ ! -f "$local_env/data/log.vol" ]; then
  "$tools/spacegrow" -c "$cfg" -t log "$local_env/data/log.vol"
fi
exec "$build/src/server/zentdb6" -standalone -c "$cfg" "$@"
