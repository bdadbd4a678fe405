// Captures in and out, each next to a plain reference measured in the same run, on the same disk:
//
//   (a) reading a capture as tcpdump writes it (Ethernet, microsecond pcap, about 1,000-byte UDP payloads)
//       into a recording, against `tcpdump -r CAP -w COPY` (libpcap's own loop writing a copy), and the
//       reader's peak memory; and the whole `orf import` command, which also waits for the disk (fsync)
//       before it renames its file, with its peak resident size;
//   (b) exporting a recording as a capture (scan and write), against `cp` of the recording; and the whole
//       `orf export` command, which also waits for the disk (fsync) before it renames its file.
//
//   bench_capture [packets=200000] [frames=2000000] [dir=$TMPDIR]
//
// Every figure is the best of three runs, the reference and the program taking turns, each after a sync
// so that none pays for another's writing; the files read stay in the page cache, as right after a
// capture or a recording. Peak memory: the process's peak resident size
// is reset through /proc/self/clear_refs before the read, and the read's peak is VmHWM after it less VmRSS
// before it (ru_maxrss growth where clear_refs is refused). The peaks of tcpdump and orf come from wait4().
#include "bench_support.h"
#include "capture/capture_reader.h"
#include "capture/capture_writer.h"
#include "recording/frame_scanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <pcap/pcap.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRuns = 3;

void printLoad(const char *when)
{
    std::ifstream in("/proc/loadavg");
    std::string load;
    std::getline(in, load);
    std::printf("load (%s): %s\n", when, load.c_str());
    std::fflush(stdout);
}

long maxRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A frame as the Ostrel system sends it: counter, timestamp, then lines of numbers up to about size bytes.
std::string frameText(long number, int size, unsigned *seed)
{
    auto next = [seed] { return *seed = *seed * 1103515245u + 12345u; };
    char line[128];
    std::string text;
    text.reserve(size_t(size) + 64);
    std::snprintf(line, sizeof line, "fr %ld\nts %.6f\n", number, number / 100.0);
    text += line;
    while (int(text.size()) < size) {
        std::snprintf(line, sizeof line, "%u %d %.3f %.3f %.3f %u\n", next() % 64, int(next() % 2000) - 1000,
                      (next() % 100000) / 7.0, (next() % 100000) / 9.0, (next() % 1000) / 3.0, next() % 10);
        text += line;
    }
    return text;
}

void put16(uchar *p, unsigned v)
{
    p[0] = uchar(v >> 8);
    p[1] = uchar(v);
}

// The capture as tcpdump writes it on an Ethernet card: microsecond pcap, snapshot length 262144. One
// packet in a hundred goes to another port (name service noise). Returns the payload bytes to port 5000.
long long writeCapture(const std::string &path, long packets, long long *fileBytes)
{
    pcap_t *p = pcap_open_dead(DLT_EN10MB, 262144);
    pcap_dumper_t *d = pcap_dump_open(p, path.c_str());
    if (!d)
        return -1;
    std::vector<uchar> packet(2048, 0);
    const uchar macs[12] = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    std::memcpy(packet.data(), macs, 12);
    put16(packet.data() + 12, 0x0800);
    unsigned seed = 7;
    long long kept = 0;
    long number = 1;
    for (long i = 0; i < packets; ++i) {
        const bool noise = i % 100 == 99;
        const std::string payload =
            noise ? std::string(60, 'n') : frameText(number++, 945 + int(seed % 90), &seed);
        uchar *ip = packet.data() + 14;
        const int length = 20 + 8 + int(payload.size());
        ip[0] = 0x45;
        put16(ip + 2, unsigned(length));
        put16(ip + 4, unsigned(i));
        ip[8] = 64;
        ip[9] = 17;
        const uchar addresses[8] = {10, 0, 0, 2, 10, 0, 0, 1};
        std::memcpy(ip + 12, addresses, 8);
        put16(ip + 20, 40000);
        put16(ip + 22, noise ? 5353 : 5000);
        put16(ip + 24, unsigned(8 + payload.size()));
        std::memcpy(ip + 28, payload.data(), payload.size());
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + i / 100;
        h.ts.tv_usec = (i % 100) * 10000;
        h.caplen = h.len = bpf_u_int32(14 + length);
        pcap_dump(reinterpret_cast<u_char *>(d), &h, packet.data());
        kept += noise ? 0 : qint64(payload.size());
    }
    pcap_dump_close(d);
    pcap_close(p);
    *fileBytes = QFile(QString::fromStdString(path)).size();
    return kept;
}

long long writeRecording(const std::string &path, long frames, int size)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return -1;
    unsigned seed = 12345;
    long long bytes = 0;
    for (long i = 1; i <= frames; ++i) {
        const std::string text = frameText(i, size, &seed);
        std::fwrite(text.data(), 1, text.size(), f);
        bytes += qint64(text.size());
    }
    return std::fclose(f) == 0 ? bytes : -1;
}

// The reader writing the recording, as orf import will: one pass when the preferred port has datagrams,
// two when the port must be counted first.
double readCapture(const std::string &capture, const std::string &out, int preferred,
                   CaptureReader::Result *r)
{
    QElapsedTimer timer;
    timer.start();
    std::FILE *f = std::fopen(out.c_str(), "wb");
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    *r =
        CaptureReader::read(QString::fromStdString(capture), {-1, preferred, {}}, CaptureReader::fileSink(f));
    const bool closed = std::fclose(f) == 0;
    return r->ok() && closed ? timer.nsecsElapsed() / 1e9 : -1;
}

// Scan and write, as orf export does without its final fsync.
double exportRecording(const std::string &recording, const std::string &out, CaptureWriter::Written *w,
                       double *scanned)
{
    QElapsedTimer timer;
    timer.start();
    FrameIndex index;
    if (!FrameScanner::scan(QString::fromStdString(recording), index).ok())
        return -1;
    *scanned = timer.nsecsElapsed() / 1e9;
    CaptureWriter writer(CaptureWriter::endpointsFor(0x7f000001, 5001));
    if (!writer.open(std::fopen(out.c_str(), "wb")))
        return -1;
    PlaybackEngine::Options options;
    options.rate = 100;
    *w = writer.writeRecording(index, options, 1700000000000000000);
    return w->status == CaptureWriter::Written::Status::Ok && writer.close() ? timer.nsecsElapsed() / 1e9
                                                                             : -1;
}

void line(const char *what, double best, double reference, double mb)
{
    std::printf("  %-44s %7.3f s  %7.1f MB/s  %.2fx the reference\n", what, best, mb / best,
                reference / best);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for orf's own path
    const long packets = argc > 1 ? std::atol(argv[1]) : 200000;
    const long frames = argc > 2 ? std::atol(argv[2]) : 2000000;
    QTemporaryDir dir(argc > 3 ? QString::fromLocal8Bit(argv[3]) + "/bench_capture-XXXXXX" : QString());
    if (packets <= 0 || frames <= 0 || !dir.isValid()) {
        std::fprintf(stderr, "usage: bench_capture [packets] [frames] [dir]\n");
        return 2;
    }
    chmod(QFile::encodeName(dir.path()).constData(), 0755); // tcpdump may write as a user of its own
    const auto file = [&dir](const char *name) { return dir.filePath(name).toStdString(); };
    printLoad("before");

    // (a) Reading a capture.
    long long captureBytes = 0;
    const long long payload = writeCapture(file("cap.pcap"), packets, &captureBytes);
    if (payload < 0) {
        std::fprintf(stderr, "cannot write the capture\n");
        return 1;
    }
    const double captureMb = captureBytes / 1e6;
    std::printf("capture: %ld packets, %.1f MB, %.1f MB of payload to port 5000 (%s)\n", packets, captureMb,
                payload / 1e6, file("cap.pcap").c_str());
    const std::string orf = QCoreApplication::applicationDirPath().toStdString() + "/../bin/orf";
    double tcpdumpBest = 1e30, oneBest = 1e30, twoBest = 1e30, importBest = 1e30;
    long tcpdumpPeak = -1, readerPeak = -1, importPeak = -1;
    bool fromHwm = false;
    CaptureReader::Result r;
    bench::runProgram({"cat", file("cap.pcap")}); // into the page cache
    for (int run = 0; run < kRuns; ++run) {
        std::remove(file("copy.pcap").c_str());
        sync();
        const double t =
            bench::runProgram({"tcpdump", "-r", file("cap.pcap"), "-w", file("copy.pcap")}, "/dev/null", &tcpdumpPeak);
        if (t < 0) {
            std::fprintf(stderr, "tcpdump -r -w failed (is tcpdump installed?)\n");
            return 1;
        }
        tcpdumpBest = std::min(tcpdumpBest, t);
        std::remove(file("one.orf").c_str());
        sync();
        malloc_trim(0);
        const long rssBefore = bench::statusKiB("VmRSS:");
        const bool reset = run == 0 && bench::resetPeak();
        const long maxBefore = maxRssKiB();
        oneBest = std::min(oneBest, readCapture(file("cap.pcap"), file("one.orf"), 5000, &r));
        if (run == 0) {
            fromHwm = reset;
            readerPeak = reset ? bench::statusKiB("VmHWM:") - rssBefore : maxRssKiB() - maxBefore;
        }
        if (r.stats.bytes != payload || QFile(QString::fromStdString(file("one.orf"))).size() != payload) {
            std::fprintf(stderr, "the recording holds %lld bytes, not %lld\n", r.stats.bytes, payload);
            return 1;
        }
        std::remove(file("two.orf").c_str());
        sync();
        twoBest = std::min(twoBest, readCapture(file("cap.pcap"), file("two.orf"), -1, &r));
        std::remove(file("import.orf").c_str());
        sync();
        long peak = -1;
        const double command =
            bench::runProgram({orf, "import", file("cap.pcap"), "-o", file("import.orf"), "--port", "5000"}, "/dev/null", &peak);
        if (command < 0 || QFile(QString::fromStdString(file("import.orf"))).size() != payload) {
            std::fprintf(stderr, "orf import failed\n");
            return 1;
        }
        importBest = std::min(importBest, command);
        importPeak = std::max(importPeak, peak);
    }
    std::printf("  %-44s %7.3f s  %7.1f MB/s  (peak resident %.1f MB)\n", "reference: tcpdump -r CAP -w COPY",
                tcpdumpBest, captureMb / tcpdumpBest, tcpdumpPeak / 1024.0);
    line("reader, the settings' port: one pass", oneBest, tcpdumpBest, captureMb);
    line("reader, the busiest port: count, then write", twoBest, tcpdumpBest, captureMb);
    std::printf("  %s; %s\n", qPrintable(r.portChoice), qPrintable(r.stats.summary()));
    std::printf("  reader's peak memory: %.1f MB (%s; target <= 32 MB)\n", readerPeak / 1024.0,
                fromHwm ? "VmHWM after less VmRSS before" : "ru_maxrss growth");
    line("orf import (the command, with its fsync)", importBest, tcpdumpBest, captureMb);
    std::printf("  orf import's peak resident size: %.1f MB (the whole process; target <= 32 MB)\n",
                importPeak / 1024.0);
    for (const char *name : {"cap.pcap", "copy.pcap", "one.orf", "two.orf", "import.orf"})
        std::remove(file(name).c_str());

    // (b) Exporting a recording.
    const long long recordingBytes = writeRecording(file("rec.orf"), frames, 300);
    if (recordingBytes < 0) {
        std::fprintf(stderr, "cannot write the recording\n");
        return 1;
    }
    const double recordingMb = recordingBytes / 1e6;
    std::printf("recording: %ld frames, %.1f MB\n", frames, recordingMb);
    double cpBest = 1e30, exportBest = 1e30, orfBest = 1e30, scanOfBest = 0;
    CaptureWriter::Written w;
    bench::runProgram({"cat", file("rec.orf")});
    for (int run = 0; run < kRuns; ++run) {
        std::remove(file("copy.orf").c_str());
        sync();
        cpBest = std::min(cpBest, bench::runProgram({"cp", file("rec.orf"), file("copy.orf")}));
        std::remove(file("out.pcap").c_str());
        sync();
        double scanned = 0;
        const double t = exportRecording(file("rec.orf"), file("out.pcap"), &w, &scanned);
        if (t < exportBest) {
            exportBest = t;
            scanOfBest = scanned;
        }
        if (w.frames != frames) {
            std::fprintf(stderr, "exported %lld frames, not %ld\n", w.frames, frames);
            return 1;
        }
        std::remove(file("orf.pcap").c_str());
        sync();
        const double command = bench::runProgram({orf, "export", file("rec.orf"), "-o", file("orf.pcap"), "--rate",
                                           "100", "--to", "127.0.0.1:5001"});
        if (command > 0)
            orfBest = std::min(orfBest, command);
    }
    const long long pcapBytes = QFile(QString::fromStdString(file("out.pcap"))).size();
    std::printf("  %-44s %7.3f s  %7.1f MB/s\n", "reference: cp of the recording", cpBest,
                recordingMb / cpBest);
    line("export: scan and write", exportBest, cpBest, recordingMb);
    std::printf("  %-44s %7.3f s and %.3f s\n", "  of which the scan, and the writing", scanOfBest,
                exportBest - scanOfBest);
    if (orfBest < 1e30)
        line("orf export (the command, with its fsync)", orfBest, cpBest, recordingMb);
    std::printf("  %lld frames in %lld packets, a %.1f MB capture (%.0f frames/s)\n", w.frames, w.packets,
                pcapBytes / 1e6, w.frames / exportBest);
    printLoad("after");
    return 0;
}
