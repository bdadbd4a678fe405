// The receiving thread over a real loopback socket: what it writes, counts and reports, and how runs end.
#include "ap_socket.h"
#include "ostrel_recorder_thread.h"
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
    FILE *file = nullptr;
    QList<int> reports;

    void startRun(FILE *output)
    {
        thread->setSocket(rx);
        thread->setRecordOutput(output);
        thread->setModeRecord(true);
        thread->start();
    }
    QByteArray fileBytes()
    {
        std::fflush(file);
        std::rewind(file);
        QFile f;
        return f.open(file, QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool ended() const { return !reports.isEmpty() && reports.last() == 0; }

private slots:
    void init()
    {
        QCOMPARE(ap_udp_init(&rx, 0, 4 | 8), 0);
        QCOMPARE(ap_udp_set_receive_buffer(rx, 1 << 22), 0);
        ap_ip_getsockaddr(rx, nullptr, &port);
        thread.reset(new Ostrel_Recorder_Thread);
        reports.clear();
        connect(thread.get(), &Ostrel_Recorder_Thread::status, this, [this](int s) { reports << s; });
        QVERIFY((file = std::tmpfile()));
    }
    void cleanup()
    {
        thread.reset();
        ap_udp_exit(rx);
        std::fclose(file);
    }

    void stopEndsTheRun_data()
    {
        QTest::addColumn<bool>("traffic");
        QTest::newRow("nothing arrives") << false;
        QTest::newRow("datagrams keep coming") << true;
    }
    void stopEndsTheRun()
    {
        QFETCH(bool, traffic);
        startRun(file);
        std::atomic<bool> sending{traffic};
        std::thread sender([&] {
            while (sending.load())
                sendUdp(port, "fr 1\n");
        });
        if (traffic)
            QTRY_VERIFY(thread->counts().datagrams > 100);
        thread->stop(); // the thread waits without a time-out: only the wake-up can end this
        sending = false;
        sender.join();
        QVERIFY(thread->isFinished());
        QTRY_VERIFY(ended());
        QCOMPARE(reports.count(0), 1);
        QCOMPARE(fileBytes().size(), thread->counts().bytes); // nothing written after the stop
        QCOMPARE(thread->counts().bytes, thread->counts().datagrams * 5);
        QVERIFY(!thread->counts().ended_by_error);
    }

    void aBurstIsRecordedWhole()
    {
        startRun(file);
        QByteArray expected;
        qint64 count = 0;
        auto send = [&](const QByteArray &datagram) {
            QVERIFY(sendUdp(port, datagram));
            expected += datagram;
            count += datagram.isEmpty() ? 0 : 1;
        };
        for (int i = 1; i <= 3000; ++i) {
            send("fr " + QByteArray::number(i) + "\nts 0.0\nbody\n");
            if (i == 10)
                send(QByteArray()); // carries nothing, and must not end the run
            if (i % 500 == 0)       // paced, so the socket's queue never overflows
                QTRY_COMPARE(thread->counts().datagrams, count);
        }
        QByteArray largest(65507, 'x');
        largest[0] = '\0';
        send(largest);
        send(QByteArray("fr 3001\nshown\0hidden\n", 21));
        QTRY_COMPARE(thread->counts().datagrams, count);
        QVERIFY(thread->isRunning());
        QCOMPARE(thread->getFrameBuffer(), QString("fr 3001\nshown"));
        thread->stop();
        QCOMPARE(fileBytes(), expected);
        QCOMPARE(thread->counts().bytes, expected.size());
        QCOMPARE(thread->counts().lost, 0);
    }

    void neverReportsADatagramItDidNotWrite()
    {
        // A slow disk: a pipe of one page that the thread waits on in each write until the test reads.
        int fds[2];
        QVERIFY(pipe2(fds, O_CLOEXEC) == 0);
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        FILE *slow = fdopen(fds[1], "w");
        std::setvbuf(slow, nullptr, _IONBF, 0);
        startRun(slow);
        for (int i = 0; i < 200; ++i)
            QVERIFY(sendUdp(port, QByteArray(1000, 'x')));
        qint64 taken = 0;
        bool ahead = false;
        QDeadlineTimer deadline(20000);
        while (taken < 200000 && !deadline.hasExpired()) {
            const qint64 counted = thread->counts().bytes; // all of it is in the pipe or taken out already
            char chunk[65536];
            taken += std::max<ssize_t>(0, ::read(fds[0], chunk, sizeof chunk));
            ahead = ahead || counted > taken;
            pollfd readable{fds[0], POLLIN, 0};
            ::poll(&readable, 1, 10);
        }
        thread->stop();
        std::fclose(slow);
        ::close(fds[0]);
        QCOMPARE(taken, 200000);
        QVERIFY(!ahead);
    }

    void aFailedWriteIsFlaggedAndReceivingGoesOn()
    {
        FILE *full = std::fopen("/dev/full", "w");
        if (!full)
            QSKIP("no /dev/full");
        std::setvbuf(full, nullptr, _IONBF, 0);
        startRun(full);
        QVERIFY(sendUdp(port, "fr 1\n"));
        QVERIFY(sendUdp(port, "fr 2\n"));
        QTRY_COMPARE(thread->counts().datagrams, 2);
        QVERIFY(thread->counts().write_failed);
        thread->stop();
        std::fclose(full);
    }

    void stopsAfterTheAskedNumber()
    {
        thread->setStopAfter(3);
        startRun(file);
        for (int i = 1; i <= 5; ++i)
            QVERIFY(sendUdp(port, "fr " + QByteArray::number(i) + "\n"));
        QTRY_VERIFY(ended());
        QCOMPARE(fileBytes(), QByteArray("fr 1\nfr 2\nfr 3\n"));
        char rest[16];
        QCOMPARE(ap_udp_receive(rx, rest, sizeof rest, 1000000, 0), 5); // the others stay queued
    }

    void aReceiveErrorEndsTheRun()
    {
        thread->setSocket(nullptr);
        thread->start();
        QTRY_VERIFY(ended());
        QCOMPARE(reports, QList<int>{0});
        QVERIFY(thread->endedByError());
    }
};

OSTREL_TEST_GUILESS_MAIN(TstRecorderThread)
#include "tst_recorder_thread.moc"
