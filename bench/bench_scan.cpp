// Scan rate and memory of the frame scanner on a large generated recording, against a plain line count
// of the same file measured in the same run, and the cost of reading one frame near the end of it (a seek).
//
//   bench_scan [frames=1000000] [bytes_per_frame=300] [dir=$TMPDIR]
//
// A two-hour session at 100 Hz with 3 KB frames (about 2 GB): bench_scan 720000 3000 /tmp
//
// Peak memory: Linux resets the process's peak resident size (VmHWM) when "5" is written to
// /proc/self/clear_refs; the scan's peak is then VmHWM after the scan minus VmRSS before it. It includes
// the frame index, which the program holds for as long as the recording is current. Without clear_refs
// the ru_maxrss growth over the scan is shown instead (a lower bound if an earlier peak was higher).
//
// Rates: the plain count is read first once to bring the file into the page cache, then every figure is
// the best of its runs. Before each cold run the previous index is released and malloc gives its memory
// back to the system, as before the first scan of a program.
#include "bench_support.h"
#include "recording/frame_scanner.h"

#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

long maxRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Frames as the Ostrel system sends them: counter, timestamp, then lines of numbers; a few frames are
// missing, as datagrams lost while recording.
long long writeRecording(const std::string &path, long frames, int bytesPerFrame, long *lost)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return -1;
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    char line[128];
    long number = 1;
    *lost = 0;
    long long bytes = 0;
    for (long i = 0; i < frames; ++i, ++number) {
        if (i > 0 && i % 200000 == 0) {
            number += 3; // a gap of three lost frames
            *lost += 3;
        }
        int frameBytes = std::fprintf(f, "fr %ld\nts %.6f\n", number, number / 60.0);
        while (frameBytes < bytesPerFrame) {
            const int n = std::snprintf(line, sizeof line, "%u %d %.3f %.3f %.3f %u\n", next() % 64,
                                        int(next() % 2000) - 1000, (next() % 100000) / 7.0,
                                        (next() % 100000) / 9.0, (next() % 1000) / 3.0, next() % 10);
            std::fwrite(line, 1, size_t(n), f);
            frameBytes += n;
        }
        bytes += frameBytes;
    }
    return std::fclose(f) == 0 ? bytes : -1;
}

double seconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

// The reference: the cheapest way to look at every line of the file.
long long plainLineCount(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    std::vector<char> buffer(64 * 1024);
    long long lines = 0;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        const char *p = buffer.data();
        const char *end = p + got;
        while (const void *lf = std::memchr(p, '\n', size_t(end - p))) {
            ++lines;
            p = static_cast<const char *>(lf) + 1;
        }
    }
    std::fclose(f);
    return lines;
}

} // namespace

int main(int argc, char **argv)
{
    const long frames = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int bytesPerFrame = argc > 2 ? std::atoi(argv[2]) : 300;
    QTemporaryDir dir(argc > 3 ? QString::fromLocal8Bit(argv[3]) + "/bench_scan-XXXXXX" : QString());
    if (frames <= 0 || bytesPerFrame <= 0 || !dir.isValid()) {
        std::fprintf(stderr, "usage: bench_scan [frames] [bytes_per_frame] [dir]\n");
        return 2;
    }
    const std::string path = dir.filePath("bench.orf").toStdString();
    long lost = 0;
    const long long size = writeRecording(path, frames, bytesPerFrame, &lost);
    if (size < 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    const double mb = size / 1e6;
    std::printf("recording: %ld frames, %ld lost, %.1f MB (%s)\n", frames, lost, mb, path.c_str());

    plainLineCount(path); // warms the page cache
    const int runs = 3;
    double plainBest = 1e30;
    long long lines = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        lines = plainLineCount(path);
        plainBest = std::min(plainBest, seconds(timer));
    }

    double scanBest = 1e30;
    double scanFirst = 0.0;
    long peakKiB = -1;
    bool fromHwm = false;
    FrameIndex index;
    FrameScanner::Result result;
    auto scanOnce = [&](const char *label, bool measurePeak) {
        index = FrameIndex();
        malloc_trim(0);
        const long rssBefore = bench::statusKiB("VmRSS:");
        const bool reset = measurePeak && bench::resetPeak();
        const long maxBefore = maxRssKiB();
        const long faultsBefore = minorFaults();
        QElapsedTimer timer;
        timer.start();
        result = FrameScanner::scan(QString::fromStdString(path), index);
        const double took = seconds(timer);
        std::printf("  %s: %.3f s, %ld page faults\n", label, took, minorFaults() - faultsBefore);
        if (measurePeak) {
            fromHwm = reset;
            peakKiB = reset ? bench::statusKiB("VmHWM:") - rssBefore : maxRssKiB() - maxBefore;
        }
        return took;
    };
    for (int i = 0; i < runs; ++i) {
        const double took = scanOnce("scan, cold heap", i == 0);
        scanBest = std::min(scanBest, took);
        scanFirst = i == 0 ? took : scanFirst;
    }
    if (!result.ok() || index.size() != qsizetype(frames + lost)) {
        std::fprintf(stderr, "scan failed: status %d, %lld entries\n", int(result.status),
                     qint64(index.size()));
        return 1;
    }

    // A seek near the end: the frame's text as the preview shows it and its wire form as Play sends it,
    // read from the file by offset. Best and first of several frames among the last thousand.
    const qsizetype last = index.size() - 1;
    double seekFirst = 0.0, seekBest = 1e30;
    qint64 seekBytes = 0;
    for (int i = 0; i < 5; ++i) {
        const qsizetype k = index.frameAtOrAfter(qMax<qsizetype>(0, last - 1000 + i * 199));
        QElapsedTimer timer;
        timer.start();
        QString text;
        QByteArray wire;
        double timestamp = 0;
        if (k < 0 || index.text(k, &text) != FrameIndex::Read::Ok ||
            index.wire(k, &wire, &timestamp) != FrameIndex::Read::Ok || timestamp <= 0) {
            std::fprintf(stderr, "reading entry %lld failed\n", qint64(k));
            return 1;
        }
        const double took = seconds(timer);
        seekFirst = i == 0 ? took : seekFirst;
        seekBest = std::min(seekBest, took);
        seekBytes = text.size();
    }

    const double plainRate = mb / plainBest;
    const double allowedMB = (16e6 + 24.0 * double(index.size())) / 1e6;
    std::printf("plain fread+memchr line count:   %7.1f MB/s (%lld lines, best of %d: %.3f s)\n", plainRate,
                lines, runs, plainBest);
    std::printf(
        "frame scanner, cold heap:        %7.1f MB/s (best of %d: %.3f s; first %.3f s) = %.2f x plain\n",
        mb / scanBest, runs, scanBest, scanFirst, (mb / scanBest) / plainRate);
    std::printf(
        "scan peak memory:                %.1f MB = %.3f x file size; allowed 16 MB + 24 B/entry = %.1f MB "
        "(%s)\n",
        peakKiB * 1024 / 1e6, peakKiB * 1024.0 / size, allowedMB,
        fromHwm ? "VmHWM after clear_refs" : "ru_maxrss growth");
    std::printf("seek near the end (text + wire of a %lld-byte frame): first %.3f ms, best %.3f ms\n",
                qint64(seekBytes), seekFirst * 1e3, seekBest * 1e3);
    std::printf("entries: %lld; %lld lost\n", qint64(index.size()), qint64(result.lost_count));
    return 0;
}
