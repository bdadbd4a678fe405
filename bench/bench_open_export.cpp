// Every pass over a recording next to the plain pass over the same file in the same run, on a recording of
// 2,000,000 frames of about 261 bytes (522 MB, in the page cache for all):
//
//   (a) Open as the window and orf open a recording (the scan into the frame index, in parts on every core,
//       and the recording's figures), against `wc -l`; the same with the scan in one part; and the peak
//       memory of the scan against the file's size;
//   (b) the export as a capture (Open, then the writing; as orf export without its final fsync), against
//       `cp` of the recording; the least any export can take (Open, then the finished capture written from
//       memory), against the same; and the whole `orf export` command (with its fsync) against `cp`
//       followed by `sync` of the copy.
//
//   bench_open_export [frames=2000000] [runs=5] [dir=$TMPDIR]
//
// Each run measures every figure once, the program and the references taking turns, writers after a sync;
// the ratios are taken within a run, then given as their median and range over the runs.
#include "bench_support.h"
#include "capture/capture_writer.h"
#include "capture/opened_recording.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The recording bench_top_speed and bench_window play and open: 9 lines a frame.
bool writeRecording(const QString &path, long frames)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray body =
        "obj 1 x 12.402 y -3.118 z 0.982 q 0.97\nobj 2 x 11.877 y -2.904 z 1.015 q 0.95\n"
        "obj 3 x 13.120 y -3.360 z 0.941 q 0.91\nobj 4 x 10.000 y -1.000 z 1.000 q 0.90\n"
        "obj 5 x 10.500 y -1.500 z 1.200 q 0.93\nmarkers 14 residual 0.43 mm\nstatus ok 000\n";
    QByteArray chunk;
    for (long n = 1; n <= frames; ++n) {
        chunk += "fr " + QByteArray::number(qint64(n)) + "\nts " +
                 QByteArray::number(double(n) / 60, 'f', 4) + "\n" + body;
        if (chunk.size() > (1 << 20)) {
            if (file.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return file.write(chunk) == chunk.size() && file.flush();
}

// Open as orf and the window do it; parts 1 scans in one part, and *scan gets the scan's own seconds.
// Seconds, or -1 when it failed.
double open(const QString &path, long frames, int parts, double *scan = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    if (parts > 0 || scan) {
        FrameIndex index;
        const FrameScanner::Result scanned =
            FrameScanner::scan(path, index, FrameScanner::kDefaultChunkSize, {}, nullptr, parts);
        if (scan)
            *scan = timer.nsecsElapsed() / 1e9;
        const RecordingInfo info = RecordingInfo::of(path, index, scanned);
        return info.frames == frames ? timer.nsecsElapsed() / 1e9 : -1;
    }
    const OpenedRecording opened = OpenedRecording::open(path, nullptr);
    return opened.ok() && opened.info.frames == frames ? timer.nsecsElapsed() / 1e9 : -1;
}

// The scan's peak memory in bytes: VmHWM after it less VmRSS before it, or ru_maxrss growth where the peak
// cannot be reset.
double scanPeakBytes(const QString &path)
{
    malloc_trim(0);
    const long before = bench::statusKiB("VmRSS:");
    const bool reset = bench::resetPeak();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long maxBefore = usage.ru_maxrss;
    FrameIndex index;
    FrameScanner::scan(path, index);
    getrusage(RUSAGE_SELF, &usage);
    return 1024.0 * (reset ? bench::statusKiB("VmHWM:") - before : usage.ru_maxrss - maxBefore);
}

// The least any export can take: the finished capture (out) written to a new file from memory, 4 MB at a
// time, as the export's writer thread writes it, without an fsync; the Open before it is added by the caller.
double writeFromMemory(const std::string &out, const std::string &to)
{
    QFile in(QString::fromStdString(out));
    if (!in.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray bytes = in.readAll();
    std::FILE *file = std::fopen(to.c_str(), "wb");
    if (!file || bytes.isEmpty())
        return -1;
    QElapsedTimer timer;
    timer.start();
    constexpr qsizetype kBlock = qsizetype(4) << 20;
    bool written = true;
    for (qsizetype at = 0; at < bytes.size() && written; at += kBlock) {
        const size_t n = size_t(std::min(kBlock, bytes.size() - at));
        written = std::fwrite(bytes.constData() + at, 1, n, file) == n;
    }
    written = std::fclose(file) == 0 && written;
    return written ? timer.nsecsElapsed() / 1e9 : -1;
}

// Open and write the capture as orf export does, without its final fsync.
double exportCapture(const QString &path, const std::string &out, long frames)
{
    QElapsedTimer timer;
    timer.start();
    const OpenedRecording opened = OpenedRecording::open(path, nullptr);
    CaptureWriter writer(CaptureWriter::endpointsFor(0x7f000001, 5001));
    if (!opened.ok() || !writer.open(std::fopen(out.c_str(), "wb")))
        return -1;
    PlaybackEngine::Options options;
    options.rate = 100;
    const CaptureWriter::Written w = writer.writeRecording(opened.index, options, 1700000000000000000);
    return w.status == CaptureWriter::Written::Status::Ok && writer.close() && w.frames == frames
               ? timer.nsecsElapsed() / 1e9
               : -1;
}

struct Figure
{
    const char *name;
    bool time; // compared as times (this / the reference's), else as speeds (the reference's / this)
    std::vector<double> seconds;
    std::vector<double> ratios; // per run
};

void print(const Figure &f, const Figure *reference)
{
    std::vector<double> s = f.seconds, r = f.ratios;
    if (s.empty())
        return;
    std::sort(s.begin(), s.end());
    std::printf("  %-46s best %.3f s, median %.3f s", f.name, s.front(), s[s.size() / 2]);
    if (reference && !r.empty()) {
        std::sort(r.begin(), r.end());
        std::printf(" = %.2fx the %s of %s (median; %.2f-%.2fx)", r[r.size() / 2], f.time ? "time" : "speed",
                    reference->name + 11, r.front(), r.back());
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for orf's own path
    const long frames = argc > 1 ? std::atol(argv[1]) : 2000000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    QTemporaryDir dir(argc > 3 ? QString::fromLocal8Bit(argv[3]) + "/bench_open_export-XXXXXX" : QString());
    if (frames <= 0 || runs <= 0 || !dir.isValid()) {
        std::fprintf(stderr, "usage: bench_open_export [frames] [runs] [dir]\n");
        return 2;
    }
    const auto file = [&dir](const char *name) { return dir.filePath(name).toStdString(); };
    const QString path = dir.filePath("rec.orf");
    const std::string orf = QCoreApplication::applicationDirPath().toStdString() + "/../bin/orf";
    if (!writeRecording(path, frames)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    const double size = double(QFile(path).size());
    std::printf("recording: %ld frames, %.1f MB; %u cores\n", frames, size / 1e6,
                std::thread::hardware_concurrency());
    bench::printLoad("before");
    bench::runProgram({"cat", path.toStdString()}); // into the page cache
    Figure wc{"reference: wc -l", true, {}, {}}, opened{"Open (scan in parts, figures)", true, {}, {}},
        serial{"Open with the scan in one part", true, {}, {}},
        scanned{"  of Open: the scan (in parts)", true, {}, {}},
        figures{"  of Open: the figures", true, {}, {}}, cp{"reference: cp", false, {}, {}},
        exported{"export: Open and write (no fsync)", false, {}, {}},
        floor{"  least possible: Open + the capture from memory", false, {}, {}},
        cpSync{"reference: cp, then sync COPY", false, {}, {}},
        command{"orf export, the command (with its fsync)", false, {}, {}};
    const double peak = scanPeakBytes(path);
    auto add = [](Figure &f, double seconds, const Figure &reference) {
        if (seconds < 0) {
            std::fprintf(stderr, "%s failed\n", f.name);
            std::exit(1);
        }
        f.seconds.push_back(seconds);
        if (!reference.seconds.empty())
            f.ratios.push_back(f.time ? seconds / reference.seconds.back()
                                      : reference.seconds.back() / seconds);
    };
    const Figure none{"", false, {}, {}};
    for (int run = 0; run < runs; ++run) {
        add(wc, bench::runProgram({"wc", "-l", path.toStdString()}), none);
        add(opened, open(path, frames, 0), wc);
        add(serial, open(path, frames, 1), wc);
        double scan = 0;
        const double parted = open(path, frames, 0, &scan);
        add(scanned, scan, wc);
        add(figures, parted - scan, wc);
        if (qEnvironmentVariableIsSet("BENCH_OPEN_ONLY")) {
            std::printf("run %d: wc -l %.3f s, Open %.3f s (scan %.3f s, figures %.3f s; one part %.3f s)\n",
                        run + 1, wc.seconds.back(), opened.seconds.back(), scan, parted - scan,
                        serial.seconds.back());
            continue;
        }
        // Each writer replaces the file it wrote in the run before, after a sync: each gets the memory its
        // own file gave back (on a virtual machine, memory given back long ago can cost a fault on the host).
        const auto fresh = [&](const char *name) {
            std::remove(file(name).c_str());
            sync();
            return file(name);
        };
        add(cp, bench::runProgram({"cp", path.toStdString(), fresh("copy.orf")}), none);
        add(exported, exportCapture(path, fresh("out.pcap"), frames), cp);
        if (const double written = writeFromMemory(file("out.pcap"), fresh("floor.pcap")); written >= 0)
            add(floor, opened.seconds.back() + written, cp);
        add(cpSync,
            bench::runProgram(
                {"sh", "-c", "cp \"$0\" \"$1\" && sync \"$1\"", path.toStdString(), fresh("copy2.orf")}),
            none);
        add(command,
            bench::runProgram({orf, "export", path.toStdString(), "-o", fresh("orf.pcap"), "--rate", "100", "--to",
                        "127.0.0.1:5001"}),
            cpSync);
        std::printf(
            "run %d: wc -l %.3f s, Open %.3f s (one part %.3f s); cp %.3f s, export %.3f s; cp+sync %.3f "
            "s, orf export %.3f s\n",
            run + 1, wc.seconds.back(), opened.seconds.back(), serial.seconds.back(), cp.seconds.back(),
            exported.seconds.back(), cpSync.seconds.back(), command.seconds.back());
        std::fflush(stdout);
    }
    std::printf("%d runs:\n", runs);
    print(wc, nullptr);
    print(opened, &wc);
    print(scanned, &wc);
    print(figures, &wc);
    print(serial, &wc);
    std::printf("  scan's peak memory: %.1f MB = %.3fx the file (target <= 0.15x)\n", peak / 1e6,
                peak / size);
    print(cp, nullptr);
    print(exported, &cp);
    print(floor, &cp);
    print(cpSync, nullptr);
    print(command, &cpSync);
    std::printf("  the capture: %.1f MB\n",
                double(QFile(QString::fromStdString(file("out.pcap"))).size()) / 1e6);
    bench::printLoad("after");
    return 0;
}
