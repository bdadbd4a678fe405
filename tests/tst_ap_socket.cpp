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

    // Two group receivers of this process on one port, each joined to its own group: each gets its own
    // group's datagrams, neither the other group's nor those sent to the port itself.
    void groupReceiversKeepToTheirGroups()
    {
        const quint32 group = 0xEFFF0200u + 2 * QRandomGenerator::global()->bounded(0x7E00u);
        const quint32 groups[2] = {group, group + 1};
        const quint16 port = ostrel_test::freeUdpPort();
        void *member[2] = {nullptr, nullptr};
        for (int i = 0; i < 2; ++i) {
            if (ap_udp_init_group(&member[i], groups[i], port, loopback, 0) != 0) {
                ap_udp_exit(member[0]);
                QSKIP("this system refuses to join a multicast group on 127.0.0.1");
            }
        }
        QVERIFY(ostrel_test::sendUdp(port, "to the port"));
        for (int i : {1, 0})
            QVERIFY(ostrel_test::sendUdp(port, "group " + QByteArray::number(i), groups[i]));
        for (int i : {0, 1})
            QVERIFY(ostrel_test::sendUdp(port, "end", groups[i]));
        for (int i : {0, 1}) {
            QList<QByteArray> got; // up to the last datagram sent to its group: all that came before it
            char buffer[4][64];
            int lengths[4];
            pollfd readable{ap_udp_descriptor(member[i]), POLLIN, 0};
            while (!got.contains("end") && ::poll(&readable, 1, 5000) == 1) {
                const int n = ap_udp_receive_batch(member[i], buffer[0], sizeof buffer[0], 4, lengths);
                for (int d = 0; d < n; ++d)
                    got << QByteArray(buffer[d], lengths[d]);
            }
            QCOMPARE(got, QList<QByteArray>({"group " + QByteArray::number(i), "end"}));
            ap_udp_exit(member[i]);
        }
    }
};

OSTREL_TEST_GUILESS_MAIN(TestApSocket)
#include "tst_ap_socket.moc"
