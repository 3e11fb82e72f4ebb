#!/usr/bin/env bash
# Installs the peer bench_peers measures beside the hub, Node-RED with node-red-contrib-modbus,
# into build/peers with npm, as bench/peers/package.json pins them. Nothing goes into the
# repository, and nothing is fetched when build/peers already holds this package.json's install.
#
# Node-RED 4.1 runs on Debian 12's Node 20 (Node-RED 5 wants Node 22). node-red-contrib-modbus
# depends on a fork of modbus-serial that is hosted outside the npm registry; the "overrides"
# entry of package.json puts the registry's modbus-serial 8.0.25 in its place.
set -euo pipefail
cd "$(dirname "$0")/../.."

dir=build/peers
if [[ -f $dir/node_modules/node-red/red.js && -d $dir/node_modules/node-red-contrib-modbus ]] &&
    cmp -s bench/peers/package.json "$dir/package.json"; then
    exit 0
fi
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
    # Not in scripts/deps.sh: only this benchmark needs them, and it measures the hub without.
    echo "bench/peers/install.sh: Node.js 18 or later with npm is needed" \
        "(Debian: apt-get install nodejs npm)" >&2
    exit 1
fi
mkdir -p "$dir"
rm -rf "$dir/node_modules" "$dir/package-lock.json"
cp bench/peers/package.json "$dir/package.json"
echo "bench/peers/install.sh: installing Node-RED into $dir ..." >&2
# Installed, not run: the serial-port bindings' install scripts are not needed over TCP.
(cd "$dir" && npm install --no-audit --no-fund --omit=dev --ignore-scripts >&2)
