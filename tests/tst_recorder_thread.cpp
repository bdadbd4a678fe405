// The receiving thread over a real loopback socket: what it writes, shows and reports, and how runs end.
#include "ap_socket.h"
#include "ostrel_recorder_thread.h"
#include "test_support.h"

#include <QTemporaryFile>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

const unsigned int loopback = 0x7f000001u;

// Lives on the main thread, so every status reaches it queued, as it reaches the window.
class StatusRelay : public QObject
{
    Q_OBJECT
signals:
    void delivered(int stat);
};

struct Socket
{
    void *h = nullptr;
    unsigned short port = 0;
    Socket()
    {
        if (ap_udp_init(&h, 0, 4 | 8) == 0)
            ap_ip_getsockaddr(h, nullptr, &port);
    }
    ~Socket()
    {
        if (h)
            ap_udp_exit(h);
    }
};

QByteArray readAll(FILE *f)
{
    std::fflush(f);
    std::rewind(f);
    QByteArray data;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        data.append(chunk, qsizetype(n));
    return data;
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QList<QVariant> &args : spy)
        list.append(args.at(0).toInt());
    return list;
}

} // namespace

class TstRecorderThread : public QObject
{
    Q_OBJECT

private:
    Socket rx;
    void *tx = nullptr;
    Ostrel_Recorder_Thread *thread = nullptr;
    StatusRelay *relay = nullptr;
    QSignalSpy *spy = nullptr;
    FILE *file = nullptr;

    bool send(const QByteArray &data, unsigned short port = 0)
    {
        return ap_udp_send(tx, data.constData(), int(data.size()), loopback, port ? port : rx.port,
                           1000000) == 0;
    }
    void startRun(bool record, FILE *output)
    {
        thread->setSocket(rx.h);
        thread->setRecordOutput(output);
        thread->setModeRecord(record);
        thread->start(QThread::InheritPriority);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(rx.h);
        QCOMPARE(ap_udp_set_receive_buffer(rx.h, 1 << 20), 0);
        QCOMPARE(ap_udp_init(&tx, 0, 0), 0);
    }
    void cleanupTestCase() { ap_udp_exit(tx); }

    void init()
    {
        // Nothing left over from the previous test.
        char drain[2000];
        while (ap_udp_receive(rx.h, drain, sizeof drain, 0, 1) != -1)
            ;
        thread = new Ostrel_Recorder_Thread();
        relay = new StatusRelay;
        connect(thread, &Ostrel_Recorder_Thread::status, relay, &StatusRelay::delivered);
        spy = new QSignalSpy(relay, &StatusRelay::delivered);
        file = std::tmpfile();
        QVERIFY(file);
    }
    void cleanup()
    {
        delete thread; // stops a run a failed test left behind
        QCoreApplication::processEvents();
        delete spy;
        delete relay;
        std::fclose(file);
    }

    void nothingReceived()
    {
        startRun(true, file);
        QVERIFY(thread->isRunning());
        QVERIFY(!spy->wait(200)); // nothing arrives, nothing is reported
        QCOMPARE(thread->getLastStatus(), 0);
        thread->stop();
        QVERIFY(!thread->isRunning());
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{0});
        QCOMPARE(thread->getLastStatus(), 0);
        QVERIFY(!thread->endedByError());
        QVERIFY(readAll(file).isEmpty());
        QCOMPARE(thread->getFrameBuffer(), QString(""));
    }

    void nulBytesWrittenWhole()
    {
        startRun(true, file);
        const QByteArray datagram("fr 1\0hidden\n", 12);
        QVERIFY(send(datagram));
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{2});
        QCOMPARE(thread->getLastStatus(), 2);
        QCOMPARE(thread->getFrameBuffer(), QString("fr 1"));
        thread->stop();
        QCOMPARE(readAll(file), datagram);
        QVERIFY(!thread->writeFailed());
    }

    void latin1Text()
    {
        startRun(false, nullptr);
        QVERIFY(send(QByteArray("fr \xe4\xff")));
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(thread->getFrameBuffer(), QString::fromLatin1("fr \xe4\xff"));
        thread->stop();
    }

    void manyDatagramsInOrder()
    {
        startRun(true, file);
        QByteArray expected;
        int sent = 0;
        for (int batch = 0; batch < 20; ++batch) {
            // Paced in batches, so the socket's queue never overflows and each one must arrive.
            for (int i = 0; i < 100; ++i) {
                const QByteArray datagram = QByteArray("fr ") + QByteArray::number(sent) + "\nts 0.0\nbody\n";
                QVERIFY(send(datagram));
                expected += datagram;
                ++sent;
            }
            QTRY_COMPARE_WITH_TIMEOUT(spy->count(), sent, 20000);
        }
        QByteArray largest(65507, 0);
        for (int i = 0; i < largest.size(); ++i)
            largest[i] = char((i * 31) & 0xff);
        QVERIFY(send(largest));
        expected += largest;
        ++sent;
        QTRY_COMPARE_WITH_TIMEOUT(spy->count(), sent, 20000);
        thread->stop();
        QTRY_COMPARE(spy->count(), sent + 1);
        QCOMPARE(values(*spy).count(2), sent);
        QCOMPARE(values(*spy).last(), 0);
        QCOMPARE(readAll(file), expected);
    }

    void recordWithoutOutput()
    {
        thread->setRecordOutput(file);
        startRun(true, nullptr); // the output is taken away again before the run
        QVERIFY(send("fr 1\n"));
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{2});
        thread->stop();
        QVERIFY(readAll(file).isEmpty());
    }

    void previewWritesNothing()
    {
        startRun(false, file);
        QVERIFY(send("fr 1\n"));
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{4});
        QCOMPARE(thread->getLastStatus(), 4);
        QCOMPARE(thread->getFrameBuffer(), QString("fr 1\n"));
        thread->stop();
        QTRY_COMPARE(spy->count(), 2);
        QCOMPARE(thread->getLastStatus(), 0);
        QVERIFY(readAll(file).isEmpty());
    }

    void settersIgnoredWhileRunning()
    {
        Socket other;
        startRun(false, nullptr);
        thread->setModeRecord(true);
        thread->setRecordOutput(file);
        thread->setSocket(other.h);
        QVERIFY(send("to other", other.port));
        QVERIFY(send("fr 1\n"));
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{4}); // still preview, on the first socket
        QCOMPARE(thread->getFrameBuffer(), QString("fr 1\n"));
        thread->stop();
        QVERIFY(readAll(file).isEmpty());
        char buffer[16];
        QCOMPARE(ap_udp_receive(other.h, buffer, sizeof buffer, 0, 0), 8); // never taken by the thread
    }

    void stopWhenNotRunning()
    {
        thread->stop();
        QVERIFY(!thread->isRunning());
        QCoreApplication::processEvents();
        QCOMPARE(spy->count(), 0);
    }

    void emptyDatagramDoesNotEndRun()
    {
        startRun(true, file);
        QVERIFY(send(QByteArray()));
        QVERIFY(send("after\n"));
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{2});
        QVERIFY(thread->isRunning());
        QCOMPARE(thread->getFrameBuffer(), QString("after\n"));
        thread->stop();
        QCOMPARE(readAll(file), QByteArray("after\n"));
        QVERIFY(!thread->endedByError());
    }

    void receiveErrorEndsRun()
    {
        QTemporaryFile captured;
        QVERIFY(captured.open());
        std::fflush(stdout);
        const int savedStdout = ::dup(1);
        ::dup2(captured.handle(), 1);

        thread->setSocket(nullptr); // every receive fails
        thread->setModeRecord(true);
        thread->start();
        QTRY_VERIFY(thread->isFinished());

        std::fflush(stdout);
        ::dup2(savedStdout, 1);
        ::close(savedStdout);

        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(values(*spy), QList<int>{0});
        QVERIFY(thread->endedByError());
        captured.seek(0);
        QCOMPARE(captured.readAll(), QByteArray("udp receive error -> stopped err -2\n"));

        // The next run starts clean.
        startRun(true, file);
        thread->stop();
        QVERIFY(!thread->endedByError());
    }

    void shortWriteIsFlagged()
    {
        FILE *full = std::fopen("/dev/full", "w");
        if (!full)
            QSKIP("no /dev/full");
        std::setvbuf(full, nullptr, _IONBF, 0); // every write reaches the device and fails
        startRun(true, full);
        QVERIFY(send("fr 1\n"));
        QVERIFY(send("fr 2\n"));
        QTRY_COMPARE(spy->count(), 2); // receiving goes on
        QCOMPARE(values(*spy), (QList<int>{2, 2}));
        QVERIFY(thread->writeFailed());
        thread->stop();
        std::fclose(full);

        startRun(true, file);
        QVERIFY(send("fr 3\n"));
        QTRY_COMPARE(spy->count(), 4);
        thread->stop();
        QVERIFY(!thread->writeFailed());
        QCOMPARE(readAll(file), QByteArray("fr 3\n"));
    }

    void earlyStopEndsRun()
    {
        for (int i = 1; i <= 50; ++i) {
            startRun(false, nullptr);
            thread->stop(); // would wait for ever if run() raised `running` again
            QVERIFY(!thread->isRunning());
            QTRY_COMPARE(spy->count(), i);
        }
        QVERIFY(values(*spy) == QList<int>(50, 0));
    }

    void stopEndsRunningReceive()
    {
        startRun(true, file);
        QVERIFY(send("fr 1\n"));
        QTRY_COMPARE(spy->count(), 1);
        thread->stop();
        QVERIFY(thread->isFinished());
        QTRY_COMPARE(spy->count(), 2);
        QCOMPARE(values(*spy), (QList<int>{2, 0}));
        // A datagram after the stop stays on the socket.
        QVERIFY(send("late\n"));
        char buffer[16];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, 1000000, 0), 5);
        QCOMPARE(readAll(file), QByteArray("fr 1\n"));
    }

    void destroyWhileRunning()
    {
        startRun(false, nullptr);
        QVERIFY(send("fr 1\n"));
        QTRY_COMPARE(spy->count(), 1);
        delete thread; // stops the run first
        thread = nullptr;
        QTRY_COMPARE(spy->count(), 2);
        QCOMPARE(values(*spy).last(), 0);
    }
};

OSTREL_TEST_GUILESS_MAIN(TstRecorderThread)
#include "tst_recorder_thread.moc"
