// The socket layer's sharp edges (the largest datagram goes through it in the end-to-end test).
#include "ap/ap_socket.h"
#include "test_support.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const unsigned int loopback = 0x7f000001u;
} // namespace

class TestApSocket : public QObject
{
    Q_OBJECT

private slots:
    // Descriptor 0 is never taken, even when it is free (a program started with standard input closed).
    void descriptorZeroStaysUnused()
    {
        void *h = nullptr;
        const int savedStdin = ::dup(0);
        ::close(0);
        QCOMPARE(ap_udp_init(&h, 0, 4 | 8), 0);
        struct stat st = {};
        QVERIFY(::fstat(0, &st) == 0 && S_ISSOCK(st.st_mode)); // held by the layer, unused
        unsigned short port = 0;
        QCOMPARE(ap_ip_getsockaddr(h, nullptr, &port), 0);
        QVERIFY(ostrel_test::sendUdp(port, "zero"));
        char buffer[8];
        int length = 0;
        pollfd readable{ap_udp_descriptor(h), POLLIN, 0};
        QCOMPARE(::poll(&readable, 1, 5000), 1);
        QCOMPARE(ap_udp_receive_batch(h, buffer, sizeof buffer, 1, &length), 1);
        QCOMPARE(length, 4);
        QCOMPARE(ap_udp_exit(h), 0);
        QVERIFY(::fstat(0, &st) == 0); // the release left it open
        ::dup2(savedStdin, 0);
        ::close(savedStdin);
    }

    void addressRules_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<uint>("address");
        QTest::newRow("dotted") << QByteArray("10.1.2.3") << 0x0a010203u;
        QTest::newRow("dotted zero") << QByteArray("0.0.0.0") << 0u;
        QTest::newRow("unknown name") << QByteArray("no-such-host.invalid") << 0u;
        QTest::newRow("empty") << QByteArray("") << 0u;
        QTest::newRow("localhost") << QByteArray("localhost") << loopback;
    }
    void addressRules()
    {
        QFETCH(QByteArray, host);
        QFETCH(uint, address);
        QCOMPARE(ap_ip_name2ip(host.constData()), address);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestApSocket)
#include "tst_ap_socket.moc"
