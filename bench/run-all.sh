#!/usr/bin/env bash
# Builds the benchmarks in Release and runs the scan, record, playback, recorded timing, window, capture,
# top-speed, D-Bus, Open and export, and editing benchmarks and the cost of orf's status line, each of which
# prints its figures next to a reference measured in the same run. Takes about seventeen minutes; run it on an
# idle machine (the playback timing figures depend on getting a CPU at once; `chrt -f 10` approximates that).
set -euo pipefail
cd "$(dirname "$0")/.."
.ci/install-deps cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libpcap-dev tcpdump dbus
cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release
cmake --build build-rel --target bench_scan bench_receive bench_play bench_recorded_timing bench_window bench_capture \
    bench_top_speed bench_dbus bench_progress bench_open_export bench_edit -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
uptime
build-rel/bench/bench_scan
build-rel/bench/bench_scan 720000 3000 # about 2 GB in $TMPDIR, removed afterwards
build-rel/bench/bench_receive
build-rel/bench/bench_receive --group --rate 100000 --repeat 3 --ladder 100000,140000,200000
build-rel/bench/bench_play
build-rel/bench/bench_play --rates 500 --group
build-rel/bench/bench_recorded_timing # 100,000 frames at their recorded times: about 105 s
build-rel/bench/bench_window # about 0.5 GB in $TMPDIR, removed afterwards
build-rel/bench/bench_capture # about 1.8 GB in $TMPDIR, removed afterwards
build-rel/bench/bench_top_speed # about 0.5 GB in $TMPDIR, removed afterwards
build-rel/bench/bench_dbus # on a session bus of its own; about 40 MB in $TMPDIR a run, removed afterwards
build-rel/bench/bench_progress --runs 7 # orf record's status line at 100,000 datagrams/s: about 50 s
build-rel/bench/bench_open_export # about 2 GB in $TMPDIR, removed afterwards
build-rel/bench/bench_edit # about 3.5 GB in $TMPDIR, removed afterwards
uptime
