// The socket layer's sharp edges (the largest datagram goes through it in the end-to-end test).
#include "ap_socket.h"
#include "test_support.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const unsigned int loopback = 0x7f000001u;
const unsigned int waitUs = 5000000u;
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
        QCOMPARE(ap_udp_receive(h, buffer, sizeof buffer, 5000000, 0), 4);
        QCOMPARE(ap_udp_exit(h), 0);
        QVERIFY(::fstat(0, &st) == 0); // the release left it open
        ::dup2(savedStdin, 0);
        ::close(savedStdin);
    }

    // A descriptor of 1024 or above does not fit the select() sets: creation fails instead of overflowing.
    void descriptorsAboveTheSelectLimitAreRefused()
    {
        rlimit saved = {};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit raised = saved;
        raised.rlim_cur = qMin<rlim_t>(saved.rlim_max, 2048);
        if (raised.rlim_cur <= 1025 || ::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            QSKIP("cannot raise the descriptor limit above 1024");
        QList<int> held;
        for (int fd = 0; fd >= 0 && fd < 1023;) // up to 1023: the next descriptor is 1024
            if ((fd = ::dup(1)) >= 0)
                held << fd;
        void *h = nullptr;
        const int result = ap_udp_init(&h, 0, 4 | 8);
        for (int fd : held)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(result, -2);
        QVERIFY(!h);
    }

    // A send to a TCP peer that went away fails with -2; it must not kill the program with SIGPIPE.
    void sendToAClosedPeerFailsWithoutSigpipe()
    {
        void *server = nullptr, *client = nullptr, *connection = nullptr;
        QCOMPARE(ap_tcp_server_init(&server, 0, 4), 0);
        unsigned short port = 0;
        ap_ip_getsockaddr(server, nullptr, &port);
        QCOMPARE(ap_tcp_client_init(&client, loopback, port), 0);
        char buffer[16];
        QCOMPARE(ap_tcp_server_receive(server, &connection, buffer, sizeof buffer, waitUs), -21);
        QCOMPARE(ap_tcp_exit(server), 0);
        int rc = 0;
        for (int i = 0; i < 50 && rc == 0; ++i) // the first sends may still be accepted
            rc = ap_tcp_send(client, "x", 1, waitUs);
        QCOMPARE(rc, -2);
        ap_tcp_exit(client);
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
