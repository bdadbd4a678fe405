// What the window costs around the engines, each figure next to a reference measured in the same run:
//  1. the GUI thread while recording with one datagram of 64 KB shown and nothing arriving, against the same
//     text set into the same field every 100 ms (what a display that redraws on every tick costs);
//  2. the whole program while recording 60 datagrams a second of 16 KB, against a plain thread that receives
//     the same stream and writes it to a FILE*;
//  3. Open of a recording of 2,000,000 frames (522 MB, 40 of them late) with the strip and the interval pass,
//     against `wc -l` on the same file (in the page cache for both).
//
//   bench_window [--seconds S] [--frames N]     (S = 5 per CPU figure, N = 2,000,000)
#include "bench_support.h"
#include "app/frame_strip.h"
#include "app/ostrel_recorder.h"
#include "test_support.h"
#include "window_test.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProcess>

#include <atomic>
#include <poll.h>
#include <sys/resource.h>
#include <thread>

using namespace ostrel_test;

namespace {

double processCpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Share of one core the GUI thread used while the event loop ran for seconds.
double guiThreadShare(double seconds)
{
    const long long cpu = bench::threadCpuNs(bench::currentTid());
    const long long start = bench::monotonicNs();
    bench::runEventsFor(int(seconds * 1000));
    return double(bench::threadCpuNs(bench::currentTid()) - cpu) / double(bench::monotonicNs() - start);
}

// Sends datagrams of the given size at rate per second to the port for seconds, from a thread of its own;
// its CPU time is left out of the program's.
struct Sender
{
    std::thread thread;
    std::atomic<long long> cpuNs{0};

    Sender(quint16 port, int bytes, double rate, double seconds)
    {
        thread = std::thread([this, port, bytes, rate, seconds] {
            const QByteArray body(bytes, 'v');
            const long long start = bench::monotonicNs(), cpu0 = bench::threadCpuNs(bench::currentTid());
            for (long n = 0; n < long(rate * seconds); ++n) {
                const long long due = start + (long long)(double(n) * 1e9 / rate);
                while (bench::monotonicNs() < due)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                QByteArray d = "fr " + QByteArray::number(qint64(n)) + "\n";
                sendUdp(port, d + body.left(bytes - d.size() - 1) + "\n");
            }
            cpuNs = bench::threadCpuNs(bench::currentTid()) - cpu0;
        });
    }
    void join() { thread.join(); }
};

} // namespace

int main(int argc, char **argv)
{
    double seconds = 5;
    long frames = 2000000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--frames"))
            frames = std::atol(argv[i + 1]);
    }
    Sandbox sandbox;
    bench::prepareHeadlessWindow();
    const quint16 port = freeUdpPort();
    writeHomeSettings(defaultSettingsXml(port));
    QApplication app(argc, argv);
    ModalAnswerer answerer;
    Ostrel_recorder window(sandboxHome() + "/.NUV/Ostrel_Recorder");
    QPlainTextEdit *display = window.findChild<QPlainTextEdit *>("te_datadisplay");
    window.show();
    bench::printLoad("start");

    // 1. One datagram of 64 KB shown, nothing arriving.
    window.on_actionRecord_triggered();
    const QByteArray big = "fr 1\n" + QByteArray(65502, 'x');
    sendUdp(port, big);
    bench::runEventsUntil([&] { return display->toPlainText().size() == big.size(); },
                          10000);
    const double quiet = guiThreadShare(seconds);
    QPlainTextEdit field;
    field.resize(display->size());
    field.show();
    QTimer redraw;
    QObject::connect(&redraw, &QTimer::timeout, &field,
                     [&] { field.setPlainText(QString::fromLatin1(big)); });
    redraw.start(100);
    const double redrawing = guiThreadShare(seconds);
    redraw.stop();
    std::printf(
        "GUI thread, recording, one 64 KB datagram shown, nothing arriving: %.2f %% of a core "
        "(target <= 2 %%)\n  reference, the same text set into a plain-text field every 100 ms: %.1f %%\n",
        quiet * 100, redrawing * 100);
    window.on_actionStop_triggered(); // the save dialog is cancelled: the recording is discarded

    // 2. 60 datagrams a second of 16 KB.
    window.on_actionRecord_triggered();
    double cpu = processCpuSeconds();
    long long start = bench::monotonicNs();
    Sender sender(port, 16384, 60, seconds * 2);
    bench::runEventsUntil([] { return false; }, int(seconds * 2000));
    sender.join();
    const double program = (processCpuSeconds() - cpu - double(sender.cpuNs) / 1e9) /
                           (double(bench::monotonicNs() - start) / 1e9);
    bench::runEventsFor(300);
    const long recorded = datagramsCounted(window);
    window.on_actionStop_triggered();
    // The reference: a plain thread receiving the same stream into a file.
    UdpSink sink;
    std::atomic<bool> stop{false};
    std::atomic<long long> plainCpu{0};
    const int fd = udpSocketOnPort(sink.port());
    std::thread plain([&] {
        FILE *out = std::fopen(qPrintable(sandboxHome() + "/plain.orf"), "wb");
        const long long cpu0 = bench::threadCpuNs(bench::currentTid());
        QByteArray buffer(65536, Qt::Uninitialized);
        while (!stop) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, 100) > 0) {
                const ssize_t n = recv(fd, buffer.data(), size_t(buffer.size()), 0);
                if (n > 0)
                    std::fwrite(buffer.constData(), 1, size_t(n), out);
            }
        }
        plainCpu = bench::threadCpuNs(bench::currentTid()) - cpu0;
        std::fclose(out);
    });
    start = bench::monotonicNs();
    Sender reference(sink.port(), 16384, 60, seconds * 2);
    reference.join();
    stop = true;
    plain.join();
    std::printf("whole program, recording 60 datagrams/s of 16 KB: %.1f %% of a core, %ld of %ld recorded "
                "(target <= 20 %%)\n  reference, a plain poll, receive and write thread: %.1f %%\n",
                program * 100, recorded, long(60 * seconds * 2),
                double(plainCpu) / double(bench::monotonicNs() - start) * 100);

    // 3. Open of 2,000,000 frames.
    const QString path = sandboxHome() + "/big.orf";
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        QByteArray chunk;
        // 261 bytes a frame on average: 522 MB.
        const QByteArray body =
            "obj 1 x 12.402 y -3.118 z 0.982 q 0.97\nobj 2 x 11.877 y -2.904 z 1.015 q 0.95\n"
            "obj 3 x 13.120 y -3.360 z 0.941 q 0.91\nobj 4 x 10.000 y -1.000 z 1.000 q 0.90\n"
            "obj 5 x 10.500 y -1.500 z 1.200 q 0.93\nmarkers 14 residual 0.43 mm\nstatus ok 000\n";
        for (long n = 1; n <= frames; ++n) {
            // Every 50,000th recorded late; none lost, so no message waits for an answer in the timing.
            chunk += "fr " + QByteArray::number(qint64(n)) + "\nts " +
                     QByteArray::number(double(n) / 60 + (n % 50000 == 0 ? 0.1 : 0), 'f', 4) + "\n" + body;
            if (chunk.size() > (1 << 20)) {
                file.write(chunk);
                chunk.clear();
            }
        }
        file.write(chunk);
    }
    const double mb = double(QFileInfo(path).size()) / 1e6;
    double openBest = 1e9, wcBest = 1e9, scanBest = 1e9, infoBest = 1e9;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer t;
        t.start();
        QProcess wc;
        wc.start("wc", {"-l", path});
        wc.waitForFinished(-1);
        wcBest = std::min(wcBest, t.nsecsElapsed() / 1e9);
        t.restart();
        window.openRecording(path);
        openBest = std::min(openBest, t.nsecsElapsed() / 1e9);
        answerer.clear();
        t.restart();
        FrameIndex index;
        const FrameScanner::Result scanned = FrameScanner::scan(path, index);
        scanBest = std::min(scanBest, t.nsecsElapsed() / 1e9);
        t.restart();
        RecordingInfo::of(path, index, scanned);
        infoBest = std::min(infoBest, t.nsecsElapsed() / 1e9);
    }
    std::printf("Open of %.0f MB, %ld frames (strip: %zu marks): %.3f s = %.2f x wc -l (target <= 4)\n"
                "  of which the scan alone %.3f s, the figures and marks %.3f s\n"
                "  reference, wc -l on the same file: %.3f s\n",
                mb, frames, window.findChild<FrameStrip *>("frameStrip")->marks().size(), openBest, openBest / wcBest, scanBest,
                infoBest, wcBest);
    QFile::remove(path);
    bench::printLoad("end");
    return 0;
}
