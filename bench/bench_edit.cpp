// Editing recordings at disk speed, each next to a plain reference measured in the same run, on the same
// disk:
//
//   (a) orf cut of a 1 GB range of a 1.05 GB recording (the command: its scan of the recording, then one
//       copy of the range's bytes and the fsync before the rename), against `cp` of a 1 GB file; and the
//       copy alone, on an index already made (what Save frames as adds to an opened recording);
//   (b) orf merge of two 522 MB recordings of one stream (2,000,000 frames) that lost different frames,
//       against `cat a b > c`.
//
// orf writes through FILE.part and waits for the disk (fsync) before it renames it; cp and cat do not wait,
// so each reference is also measured with an fsync of its output (`sync FILE`) after it.
//
//   bench_edit [frames=2000000] [dir=$TMPDIR]
//
// Every figure is the best of three runs, the reference and the program taking turns, each after a sync so
// that none pays for another's writing; the files read stay in the page cache, as right after a recording.
#include "bench_support.h"
#include "recording/frame_range_copy.h"
#include "recording/frame_scanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRuns = 3;
constexpr int kFrameBytes = 261; // every frame the same size: a range of frames is a known number of bytes

// Frames first..last of one stream (timed as bench_capture times them: 100 a second), each kFrameBytes long,
// without those lost says are lost.
bool writeRecording(const std::string &name, long first, long last, const std::vector<bool> &lost)
{
    std::FILE *f = std::fopen(name.c_str(), "wb");
    if (!f)
        return false;
    std::string frame;
    for (long n = first; n <= last; ++n) {
        if (!lost.empty() && lost[size_t(n)])
            continue;
        char head[64];
        const int length = std::snprintf(head, sizeof head, "fr %ld\nts %.6f\n", n, n / 100.0);
        frame.assign(head, size_t(length));
        while (frame.size() + 12 < kFrameBytes)
            frame += "0123456789\n";
        frame.append(kFrameBytes - 1 - frame.size(), 'x');
        frame += '\n';
        std::fwrite(frame.data(), 1, frame.size(), f);
    }
    return std::fclose(f) == 0;
}

// Frames lost at random, alone and in short runs: about one in a thousand.
std::vector<bool> losses(long frames, unsigned seed)
{
    std::vector<bool> lost(size_t(frames) + 1, false);
    std::mt19937 random(seed);
    for (long i = 0; i < frames / 2000; ++i) {
        const long at = 2 + long(random() % size_t(frames - 10));
        for (long k = 0, run = 1 + long(random() % 3); k < run; ++k)
            lost[size_t(at + k)] = true;
    }
    return lost;
}

void line(const char *what, double seconds, double reference, double mb)
{
    std::printf("  %-50s %7.3f s  %7.1f MB/s  %.2fx the reference\n", what, seconds, mb / seconds,
                reference / seconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const long frames = argc > 1 ? std::atol(argv[1]) : 2000000;
    const char *tmp = std::getenv("TMPDIR");
    const std::string dir = argc > 2 ? argv[2] : (tmp ? tmp : "/tmp");
    const auto file = [&](const char *name) { return dir + "/bench_edit_" + name; };
    const std::string orf = QCoreApplication::applicationDirPath().toStdString() + "/../bin/orf";
    bench::printLoad("before");

    // (a) A 1 GB range of a recording of 1.05 GB.
    const long rangeFrames = 1000000000L / kFrameBytes, big = rangeFrames + rangeFrames / 20;
    if (!writeRecording(file("big.orf"), 1, big, {}))
        return 1;
    const std::string from = std::to_string(rangeFrames / 40),
                      until = std::to_string(rangeFrames / 40 + rangeFrames - 1);
    const double rangeMb = rangeFrames * double(kFrameBytes) / 1e6;
    std::printf("cut: frames %s-%s (%.1f MB) of a %.1f MB recording\n", from.c_str(), until.c_str(), rangeMb,
                big * double(kFrameBytes) / 1e6);
    FrameIndex index;
    FrameScanner::scan(QString::fromStdString(file("big.orf")), index);
    const frame_range_copy::Range range =
        frame_range_copy::framesBetween(index, std::stol(from), std::stol(until));
    double cpBest = 1e30, cpSyncBest = 1e30, cutBest = 1e30, copyBest = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        std::remove(file("cut.orf").c_str());
        sync();
        cutBest = std::min(cutBest, bench::runProgram({orf, "cut", file("big.orf"), "-o", file("cut.orf"), "--from",
                                                from, "--until", until}));
        std::remove(file("copy.orf").c_str());
        sync();
        cpBest = std::min(cpBest, bench::runProgram({"cp", file("cut.orf"), file("copy.orf")}));
        std::remove(file("copy.orf").c_str());
        sync();
        cpSyncBest = std::min(cpSyncBest, bench::runProgram({"sh", "-c", "cp \"$0\" \"$1\" && sync \"$1\"",
                                                      file("cut.orf"), file("copy.orf")}));
        std::remove(file("saved.orf").c_str());
        sync();
        QElapsedTimer timer;
        timer.start();
        QString why;
        if (frame_range_copy::save(index, range, QString::fromStdString(file("saved.orf")), true, {}, &why) !=
            frame_range_copy::Status::Ok)
            return 1;
        copyBest = std::min(copyBest, timer.nsecsElapsed() / 1e9);
    }
    if (cutBest < 0 || bench::runProgram({"cmp", file("cut.orf"), file("saved.orf")}) < 0)
        return 1;
    std::printf("  %-50s %7.3f s  %7.1f MB/s\n", "reference: cp of a 1 GB file", cpBest, rangeMb / cpBest);
    std::printf("  %-50s %7.3f s  %7.1f MB/s\n", "  and cp with an fsync of the copy (sync FILE)", cpSyncBest,
                rangeMb / cpSyncBest);
    line("orf cut (the command: scan, copy, fsync)", cutBest, cpBest, rangeMb);
    line("the copy alone, the index made (Save frames as)", copyBest, cpBest, rangeMb);
    line("  against cp with its fsync", copyBest, cpSyncBest, rangeMb);
    line("orf cut against cp with its fsync", cutBest, cpSyncBest, rangeMb);
    for (const char *name : {"big.orf", "cut.orf", "copy.orf", "saved.orf"})
        std::remove(file(name).c_str());

    // (b) Two recordings of one stream with different losses.
    if (!writeRecording(file("a.orf"), 1, frames, losses(frames, 1)) ||
        !writeRecording(file("b.orf"), 1, frames, losses(frames, 2)))
        return 1;
    const double inputMb = 2.0 * frames * kFrameBytes / 1e6;
    std::printf("merge: two recordings of %ld frames, %.1f MB together\n", frames, inputMb);
    double catBest = 1e30, catSyncBest = 1e30, mergeBest = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        std::remove(file("cat.orf").c_str());
        sync();
        catBest = std::min(catBest, bench::runProgram({"cat", file("a.orf"), file("b.orf")}, file("cat.orf")));
        std::remove(file("cat.orf").c_str());
        sync();
        catSyncBest =
            std::min(catSyncBest, bench::runProgram({"sh", "-c", "cat \"$0\" \"$1\" > \"$2\" && sync \"$2\"",
                                              file("a.orf"), file("b.orf"), file("cat.orf")}));
        std::remove(file("merged.orf").c_str());
        sync();
        mergeBest = std::min(
            mergeBest, bench::runProgram({orf, "merge", file("a.orf"), file("b.orf"), "-o", file("merged.orf")}));
    }
    if (mergeBest < 0)
        return 1;
    std::printf("  %-50s %7.3f s  %7.1f MB/s\n", "reference: cat a b > c", catBest, inputMb / catBest);
    std::printf("  %-50s %7.3f s  %7.1f MB/s\n", "  and cat with an fsync of c (sync FILE)", catSyncBest,
                inputMb / catSyncBest);
    line("orf merge (the command: check, copy, fsync)", mergeBest, catBest, inputMb);
    line("orf merge against cat with its fsync", mergeBest, catSyncBest, inputMb);
    for (const char *name : {"a.orf", "b.orf", "cat.orf", "merged.orf"})
        std::remove(file(name).c_str());
    bench::printLoad("after");
    return 0;
}
