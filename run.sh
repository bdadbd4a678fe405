#!/usr/bin/env bash
# Sets up, builds and starts Ostrel Recorder.
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libpcap-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DOSTREL_BENCH=OFF
cmake --build build --target ostrel_recorder -j"$(nproc)"
exec build/bin/ostrel_recorder "$@"
