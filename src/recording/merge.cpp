#include "recording/merge.h"

#include "recording/frame_range_copy.h"
#include "recording/frame_stream.h"
#include "recording/part_file.h"

#include <QFile>
#include <QJsonArray>
#include <QLocale>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace merge {

struct Opened
{
    std::vector<std::unique_ptr<FrameStream>> streams;
    std::vector<struct stat> identities; // as planned: a change before the write fails it
};

namespace {

// Pieces smaller than this are read and written through one buffer: a copy of its own costs more than it
// saves.
constexpr qint64 kSmallPiece = 256 * 1024;
constexpr size_t kWriteBuffer = size_t(4) << 20;
constexpr qint64 kWriteBackEvery = qint64(64) << 20;
// The lost runs a summary names.
constexpr int kNamedRuns = 10;

QString count(qint64 n)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(n);
}

// What the plan found of one input beyond what it took from it.
struct Tally
{
    bool live = false;
    qint64 first = -1;
    qint64 last = -1;
    qint64 shared = 0; // frames an input before it had too
    qint64 differing = 0;
    qint64 firstDiffering = -1;
};

class Planner
{
public:
    Planner(const QStringList &files, Plan *plan, const frame_range_copy::Progress &progress)
        : m_files(files), m_plan(*plan), m_tally(size_t(files.size())), m_progress(progress)
    {
        plan->opened = std::make_shared<Opened>();
    }

    bool open()
    {
        for (int i = 0; i < m_files.size(); ++i) {
            m_plan.inputs.push_back({m_files[i], 0, false});
            m_plan.opened->streams.push_back(std::make_unique<FrameStream>());
            FrameStream &s = stream(i);
            struct stat st;
            if (!s.open(m_files[i]) || ::fstat(s.descriptor(), &st) != 0)
                return fail(Plan::Status::OpenFailed, QStringLiteral("%1: cannot be opened").arg(m_files[i]));
            m_plan.opened->identities.push_back(st);
            m_total += qint64(st.st_size);
            if (!start(i))
                return false;
            s.park();
        }
        return true;
    }

    // Takes the frames in order; false when an input cannot be read or be part of the stream.
    bool run()
    {
        qint64 previous = std::numeric_limits<qint64>::min();
        for (int chosen; (chosen = lowest()) >= 0;) {
            const FrameStream &taken = stream(chosen);
            const qint64 n = taken.number();
            compareCopies(chosen);
            take(chosen);
            report();
            if (previous != std::numeric_limits<qint64>::min() && n > previous + 1)
                m_plan.lost.push_back({previous + 1, n - 1});
            else if (previous == std::numeric_limits<qint64>::min())
                m_plan.first = n;
            previous = n;
            for (int i = chosen; i < m_files.size(); ++i)
                if (m_tally[size_t(i)].live && stream(i).number() == n && !advance(i))
                    return false;
        }
        m_plan.last = previous;
        if (previous == std::numeric_limits<qint64>::min())
            return fail(Plan::Status::NoFrames, QStringLiteral("no input holds a frame"));
        return checkRestarts();
    }

    void markFilling()
    {
        for (size_t i = 0; i < m_tally.size(); ++i)
            for (size_t j = 0; j < i; ++j)
                if (m_tally[i].first >= 0 && m_tally[j].first >= 0 && m_tally[i].first <= m_tally[j].last &&
                    m_tally[j].first <= m_tally[i].last)
                    m_plan.inputs[i].filling = true;
    }

private:
    FrameStream &stream(int i) { return *m_plan.opened->streams[size_t(i)]; }

    bool fail(Plan::Status status, const QString &why)
    {
        m_plan.status = status;
        m_plan.why = why;
        return false;
    }

    // Why a stream ended; true when it simply has no more frames.
    bool ended(int i)
    {
        const QString &file = m_files[i];
        switch (stream(i).status()) {
        case FrameStream::Status::Ok:
            m_tally[size_t(i)].live = false;
            stream(i).park();
            return true;
        case FrameStream::Status::FirstNumberInvalid:
            return fail(
                Plan::Status::NotOneStream,
                QStringLiteral("%1 cannot be merged: its first frame-counter line has no number").arg(file));
        default:
            return fail(Plan::Status::OpenFailed, QStringLiteral("%1: cannot be read to its end").arg(file));
        }
    }

    bool start(int i)
    {
        Tally &t = m_tally[size_t(i)];
        if (!stream(i).next())
            return ended(i);
        if (stream(i).number() < 0)
            return fail(Plan::Status::NotOneStream,
                        QStringLiteral("%1 cannot be merged: frame %2 is negative")
                            .arg(m_files[i])
                            .arg(stream(i).number()));
        t.live = true;
        t.first = t.last = stream(i).number();
        return true;
    }

    bool advance(int i)
    {
        const qint64 before = stream(i).number();
        if (!stream(i).next())
            return ended(i);
        const qint64 n = stream(i).number();
        if (n <= before)
            return fail(
                Plan::Status::NotOneStream,
                QStringLiteral("%1 cannot be merged: frame %2 follows frame %3 (its numbering starts over)")
                    .arg(m_files[i])
                    .arg(n)
                    .arg(before));
        m_tally[size_t(i)].last = n;
        return true;
    }

    int lowest()
    {
        int chosen = -1;
        for (int i = 0; i < m_files.size(); ++i)
            if (m_tally[size_t(i)].live && (chosen < 0 || stream(i).number() < stream(chosen).number()))
                chosen = i;
        return chosen;
    }

    void compareCopies(int chosen)
    {
        const FrameStream &taken = stream(chosen);
        bool differs = false;
        for (int j = chosen + 1; j < m_files.size(); ++j) {
            Tally &t = m_tally[size_t(j)];
            if (!t.live || stream(j).number() != taken.number())
                continue;
            ++t.shared;
            if (!FrameStream::sameBytes(taken, stream(j))) {
                differs = true;
                if (t.differing++ == 0)
                    t.firstDiffering = taken.number();
            }
        }
        m_plan.differing += differs ? 1 : 0;
    }

    void take(int chosen)
    {
        const FrameStream &s = stream(chosen);
        ++m_plan.inputs[size_t(chosen)].taken;
        std::vector<Plan::Piece> &pieces = m_plan.pieces;
        if (!pieces.empty() && pieces.back().input == chosen && pieces.back().end == s.begin())
            pieces.back().end = s.end();
        else
            pieces.push_back({chosen, s.begin(), s.end()});
    }

    // One stream's copies of a frame are the same, whoever recorded them: an input most of whose copies
    // differ from those before it was numbered anew.
    bool checkRestarts()
    {
        for (size_t i = 0; i < m_tally.size(); ++i) {
            const Tally &t = m_tally[i];
            if (t.differing * 2 > t.shared)
                return fail(
                    Plan::Status::NotOneStream,
                    QStringLiteral("%1 cannot be merged: %2 of the %3 frames it shares with the inputs "
                                   "before it differ from theirs, from frame %4 on (its numbering "
                                   "starts over)")
                        .arg(m_files[int(i)], count(t.differing), count(t.shared))
                        .arg(t.firstDiffering));
        }
        return true;
    }

    // Every few thousand frames: the bytes read of all inputs, where each stream has got to.
    void report()
    {
        if (!m_progress || ++m_sinceReport < kFramesPerReport)
            return;
        m_sinceReport = 0;
        qint64 done = 0;
        for (int i = 0; i < m_files.size(); ++i)
            done += stream(i).end();
        m_progress(std::min(done, m_total), m_total);
    }

    static constexpr int kFramesPerReport = 4096;
    const QStringList &m_files;
    Plan &m_plan;
    std::vector<Tally> m_tally;
    const frame_range_copy::Progress &m_progress;
    qint64 m_total = 0;
    int m_sinceReport = 0;
};

QString lostText(const std::vector<FrameIndex::Run> &runs, qint64 lost)
{
    if (lost == 0)
        return QStringLiteral("none lost");
    QStringList named;
    for (size_t i = 0; i < runs.size() && i < size_t(kNamedRuns); ++i)
        named << (runs[i].count() == 1 ? QString::number(runs[i].first)
                                       : QStringLiteral("%1–%2").arg(runs[i].first).arg(runs[i].last));
    if (runs.size() > size_t(kNamedRuns))
        named << QStringLiteral("…");
    return QStringLiteral("%1 still lost (%2 %3)")
        .arg(count(lost), lost == 1 ? QStringLiteral("frame") : QStringLiteral("frames"), named.join(", "));
}

bool unchanged(const Opened &opened)
{
    for (size_t i = 0; i < opened.streams.size(); ++i) {
        struct stat st;
        const struct stat &was = opened.identities[i];
        if (::fstat(opened.streams[i]->descriptor(), &st) != 0 || st.st_size != was.st_size ||
            st.st_mtim.tv_sec != was.st_mtim.tv_sec || st.st_mtim.tv_nsec != was.st_mtim.tv_nsec)
            return false;
    }
    return true;
}

// Writes the pieces to to: large ones copied, small ones gathered in a buffer. False with errno's reason.
bool copyPieces(const Plan &plan, int to, QString *why, const frame_range_copy::Progress &progress)
{
    const qint64 total = plan.bytes();
    qint64 done = 0;
    std::vector<char> buffer;
    buffer.reserve(kWriteBuffer);
    qint64 unwritten = 0; // written since the disk was last asked to write
    const auto flush = [&] {
        const bool ok = buffer.empty() || ::write(to, buffer.data(), buffer.size()) == ssize_t(buffer.size());
        if ((unwritten += qint64(buffer.size())) >= kWriteBackEvery) {
            frame_range_copy::startWriteBack(to);
            unwritten = 0;
        }
        buffer.clear();
        return ok;
    };
    for (const Plan::Piece &piece : plan.pieces) {
        const int from = plan.opened->streams[size_t(piece.input)]->descriptor();
        const qint64 size = piece.end - piece.begin;
        if (progress)
            progress(done, total);
        done += size;
        if (size >= kSmallPiece) {
            if (!flush() || frame_range_copy::copyBytes(from, piece.begin, piece.end, to, {}, why) !=
                                frame_range_copy::Status::Ok)
                return false;
            continue;
        }
        if (buffer.size() + size_t(size) > kWriteBuffer && !flush())
            return false;
        const size_t at = buffer.size();
        buffer.resize(at + size_t(size));
        if (::pread(from, buffer.data() + at, size_t(size), piece.begin) != size)
            return false;
    }
    return flush();
}

} // namespace

qint64 Plan::lostCount() const
{
    qint64 n = 0;
    for (const FrameIndex::Run &run : lost)
        n += run.count();
    return n;
}

qint64 Plan::bytes() const
{
    qint64 n = 0;
    for (const Piece &piece : pieces)
        n += piece.end - piece.begin;
    return n;
}

QString Plan::summary() const
{
    QStringList parts;
    for (const Input &input : inputs)
        parts << QStringLiteral("%1 %2 %3")
                     .arg(count(input.taken), input.filling ? "filled from" : "from", input.file);
    QString text = QStringLiteral("frames %1–%2: %3, %4")
                       .arg(first)
                       .arg(last)
                       .arg(parts.join(", "), lostText(lost, lostCount()));
    if (differing > 0)
        text += QStringLiteral("\n%1 %2 between inputs; the first input's copy kept")
                    .arg(count(differing), differing == 1 ? "frame differs" : "frames differ");
    return text;
}

QJsonObject Plan::json() const
{
    QJsonArray from;
    qint64 frames = 0;
    for (const Input &input : inputs) {
        from.append(QJsonObject{{"file", input.file}, {"frames", input.taken}, {"filled", input.filling}});
        frames += input.taken;
    }
    QJsonArray runs;
    for (const FrameIndex::Run &run : lost)
        runs.append(QJsonArray{run.first, run.last});
    return QJsonObject{{"first", first},
                       {"last", last},
                       {"frames", frames},
                       {"inputs", from},
                       {"still_lost", lostCount()},
                       {"lost_runs", runs},
                       {"differing", differing}};
}

Plan plan(const QStringList &inputs, const frame_range_copy::Progress &progress)
{
    Plan result;
    Planner planner(inputs, &result, progress);
    if (planner.open() && planner.run())
        planner.markFilling();
    if (!result.ok())
        result.pieces.clear();
    return result;
}

bool write(const Plan &plan, const QString &file, bool force, QString *why,
           const frame_range_copy::Progress &progress)
{
    const QString partName = file + ".part";
    if (!unchanged(*plan.opened)) {
        *why = QStringLiteral("an input changed while it was merged; nothing written");
        return false;
    }
    FILE *part = part_file::create(file, force, why);
    if (!part)
        return false;
    part_file::reserve(part, plan.bytes());
    QString reason;
    const bool copied = copyPieces(plan, fileno(part), &reason, progress);
    if (!copied || !unchanged(*plan.opened)) {
        *why = copied ? QStringLiteral("an input changed while it was merged; nothing written")
                      : QStringLiteral("writing %1 failed: %2")
                            .arg(partName,
                                 reason.isEmpty() ? QString::fromLocal8Bit(std::strerror(errno)) : reason);
        std::fclose(part);
        QFile::remove(partName);
        return false;
    }
    if (!part_file::finish(part, file, why)) {
        QFile::remove(partName);
        return false;
    }
    return true;
}

} // namespace merge
