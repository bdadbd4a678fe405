// The receiving thread over a real loopback socket: what it writes, counts and reports, and how runs end.
#include "ap/ap_socket.h"
#include "record/lost_frame_counter.h"
#include "record/ostrel_recorder_thread.h"
#include "recording/frame_scanner.h"
#include "test_support.h"

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace ostrel_test;

class TstRecorderThread : public QObject
{
    Q_OBJECT

    void *rx = nullptr;
    quint16 port = 0;
    std::unique_ptr<Ostrel_Recorder_Thread> thread;
    QList<int> reports;

private slots:
    void init()
    {
        QCOMPARE(ap_udp_init(&rx, 0, 4 | 8), 0);
        QCOMPARE(ap_udp_set_receive_buffer(rx, 1 << 22), 0);
        ap_ip_getsockaddr(rx, nullptr, &port);
        thread.reset(new Ostrel_Recorder_Thread);
        thread->setSocket(rx);
        thread->setModeRecord(true);
        reports.clear();
        connect(thread.get(), &Ostrel_Recorder_Thread::status, this, [this](int s) { reports << s; });
    }
    void cleanup()
    {
        thread.reset();
        ap_udp_exit(rx);
    }

    void stopEndsTheRun_data()
    {
        QTest::addColumn<bool>("traffic");
        QTest::newRow("nothing arrives") << false;
        QTest::newRow("datagrams keep coming") << true;
    }
    // Stop, and what a run wrote: byte for byte what was sent, in order, nothing after the stop.
    void stopEndsTheRun()
    {
        QFETCH(bool, traffic);
        FILE *file = std::fopen(qPrintable(sandboxHome() + "/out"), "wb");
        thread->setRecordOutput(file);
        thread->start();
        QByteArray sent;
        std::atomic<bool> sending{traffic};
        std::thread sender([&] {
            for (int i = 1; sending.load(); ++i) {
                const QByteArray datagram = i == 10   ? QByteArray() // carries nothing, must not end the run
                                            : i == 20 ? QByteArray(65507, '\0')
                                                      : "fr " + QByteArray::number(i) + "\nshown\0hidden\n";
                while (i - thread->counts().datagrams > 50 && sending.load()) // the socket's queue holds them
                    std::this_thread::yield();
                if (sendUdp(port, datagram))
                    sent += datagram;
            }
        });
        QTRY_VERIFY(thread->counts().datagrams > (traffic ? 3000 : -1));
        thread->stop(); // the thread waits without a time-out: only the wake-up ends this
        sending = false;
        sender.join();
        QTRY_VERIFY(reports.count(0) == 1 && reports.last() == 0);
        std::fclose(file);
        const QByteArray written = readFile(sandboxHome() + "/out");
        QCOMPARE(written.size(), thread->counts().bytes);
        QVERIFY(sent.startsWith(written));
        QCOMPARE(thread->getFrameBuffer().endsWith("shown"), traffic);
    }

    void neverReportsADatagramItDidNotWrite()
    {
        // A slow disk: a pipe of one page, in which the thread's writes wait until the test reads.
        int fds[2];
        QVERIFY(pipe2(fds, O_CLOEXEC) == 0);
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        FILE *slow = fdopen(fds[1], "w");
        std::setvbuf(slow, nullptr, _IONBF, 0);
        thread->setRecordOutput(slow);
        thread->start();
        for (int i = 0; i < 200; ++i)
            QVERIFY(sendUdp(port, QByteArray(1000, 'x')));
        qint64 taken = 0;
        bool ahead = false;
        for (QDeadlineTimer deadline(20000); taken < 200000 && !deadline.hasExpired();) {
            const qint64 counted = thread->counts().bytes; // all of it is in the pipe or read already
            pollfd readable{fds[0], POLLIN, 0};
            char chunk[65536];
            taken +=
                ::poll(&readable, 1, 10) > 0 ? std::max<ssize_t>(0, ::read(fds[0], chunk, sizeof chunk)) : 0;
            ahead = ahead || counted > taken;
        }
        thread->stop();
        std::fclose(slow);
        ::close(fds[0]);
        QVERIFY(taken == 200000 && !ahead);
    }

    // The live count of lost frames, datagram by datagram, is what the scan of the recording finds: a
    // datagram that continues the line the one before left open begins no line, whatever its first bytes.
    void lostFramesCountedLive_data()
    {
        QTest::addColumn<QList<QByteArray>>("datagrams");
        QTest::addColumn<qint64>("lost");
        QTest::newRow("one frame a datagram")
            << QList<QByteArray>{"fr 1\n", "fr 2\na\n", "fr 5\n"} << qint64(2);
        QTest::newRow("a datagram continues the line before")
            << QList<QByteArray>{"fr 1\nbody", "fr 5\n", "fr 6\n"} << qint64(4);
        QTest::newRow("the first line is no frame's")
            << QList<QByteArray>{"hello", "fr 3\n", "fr 4\n"} << qint64(3);
    }
    void lostFramesCountedLive()
    {
        QFETCH(QList<QByteArray>, datagrams);
        QFETCH(qint64, lost);
        LostFrameCounter counter;
        for (const QByteArray &d : datagrams)
            counter.datagram(d.constData(), d.size());
        QCOMPARE(counter.lost(), lost);
        const QString path = sandboxHome() + "/live.orf";
        QVERIFY(writeFile(path, datagrams.join()));
        FrameIndex index;
        QCOMPARE(FrameScanner::scan(path, index).lost_count, lost);
    }
};

OSTREL_TEST_GUILESS_MAIN(TstRecorderThread)
#include "tst_recorder_thread.moc"
