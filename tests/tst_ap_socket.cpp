// UDP, TCP and address functions of the ap_ layer, over loopback with ports the system chooses.
#include "ap_socket.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const unsigned int loopback = 0x7f000001u;
const unsigned int waitUs = 5000000u; // generous: a datagram sent to loopback is already queued

// A bound loopback UDP handle on a port the system chose, released at the end of the scope.
struct Udp
{
    void *h = nullptr;
    unsigned short port = 0;
    explicit Udp(unsigned short options = 4 | 8)
    {
        if (ap_udp_init(&h, 0, options) == 0)
            ap_ip_getsockaddr(h, nullptr, &port);
    }
    ~Udp()
    {
        if (h)
            ap_udp_exit(h);
    }
    Udp(const Udp &) = delete;
    Udp &operator=(const Udp &) = delete;
};

struct Tcp
{
    void *h = nullptr;
    ~Tcp()
    {
        if (h)
            ap_tcp_exit(h);
    }
};

unsigned int resolverAddress(const char *text)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &found) != 0 || !found)
        return 0;
    const unsigned int address = ntohl(reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return address;
}

} // namespace

class TstApSocket : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip()
    {
        Udp rx;
        QVERIFY(rx.h);
        QVERIFY(rx.port != 0);
        void *tx = nullptr;
        QCOMPARE(ap_udp_init(&tx, 0, 1), 0);
        QCOMPARE(ap_udp_send(tx, "hello", 5, loopback, rx.port, waitUs), 0);
        char buffer[64];
        unsigned int from = 0;
        unsigned short fromPort = 0;
        QCOMPARE(ap_udp_receive_from(rx.h, buffer, sizeof buffer, &from, &fromPort, waitUs, 0), 5);
        QCOMPARE(QByteArray(buffer, 5), QByteArray("hello"));
        unsigned short txPort = 0;
        QCOMPARE(ap_ip_getsockaddr(tx, nullptr, &txPort), 0);
        QCOMPARE(from, loopback);
        QCOMPARE(fromPort, txPort);

        QCOMPARE(ap_udp_send(tx, "again", 5, loopback, rx.port, waitUs), 0);
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 0), 5);
        QCOMPARE(QByteArray(buffer, 5), QByteArray("again"));
        QCOMPARE(ap_udp_exit(tx), 0);
    }

    void receiveTimesOut()
    {
        Udp rx;
        char buffer[16];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, 1000, 0), -1);
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, 0, 2), -1);
    }

    void emptyDatagram()
    {
        Udp rx;
        QVERIFY(ostrel_test::sendUdp(rx.port, QByteArray()));
        char buffer[16];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 0), 0);
    }

    void filledBuffer_data()
    {
        QTest::addColumn<int>("datagram");
        QTest::addColumn<int>("options");
        QTest::addColumn<int>("result");
        QTest::newRow("shorter than the buffer") << 15 << 0 << 15;
        QTest::newRow("exactly the buffer") << 16 << 0 << -3;
        QTest::newRow("exactly the buffer, option 2") << 16 << 2 << 16;
        QTest::newRow("longer than the buffer") << 40 << 0 << -3;
        QTest::newRow("longer than the buffer, option 2") << 40 << 2 << 16;
    }
    void filledBuffer()
    {
        QFETCH(int, datagram);
        QFETCH(int, options);
        QFETCH(int, result);
        Udp rx;
        QVERIFY(ostrel_test::sendUdp(rx.port, QByteArray(datagram, 'x')));
        char buffer[16];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, (unsigned short)options), result);
    }

    void keepNewest()
    {
        Udp rx;
        for (const char *text : {"one", "two", "three"})
            QVERIFY(ostrel_test::sendUdp(rx.port, QByteArray(text)));
        char buffer[16];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 1), 5);
        QCOMPARE(QByteArray(buffer, 5), QByteArray("three"));
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, 0, 1), -1);
    }

    void everyDatagramWithoutKeepNewest()
    {
        Udp rx;
        for (const char *text : {"one", "two", "three"})
            QVERIFY(ostrel_test::sendUdp(rx.port, QByteArray(text)));
        char buffer[16];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 2), 3);
        QCOMPARE(QByteArray(buffer, 3), QByteArray("one"));
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 2), 3);
        QCOMPARE(QByteArray(buffer, 3), QByteArray("two"));
    }

    void oversizedSendFails()
    {
        Udp rx;
        void *tx = nullptr;
        QCOMPARE(ap_udp_init(&tx, 0, 0), 0);
        const QByteArray big(70000, 'b');
        QCOMPARE(ap_udp_send(tx, big.constData(), big.size(), loopback, rx.port, waitUs), -2);
        QCOMPARE(ap_udp_exit(tx), 0);
    }

    void largestDatagram()
    {
        Udp rx;
        QVERIFY(ap_udp_set_receive_buffer(rx.h, 1 << 20) == 0);
        void *tx = nullptr;
        QCOMPARE(ap_udp_init(&tx, 0, 0), 0);
        QByteArray big(65507, 0);
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(i * 7);
        QCOMPARE(ap_udp_send(tx, big.constData(), big.size(), loopback, rx.port, waitUs), 0);
        QByteArray got(70000, 0);
        QCOMPARE(ap_udp_receive(rx.h, got.data(), got.size(), waitUs, 0), 65507);
        QCOMPARE(got.left(65507), big);
        ap_udp_exit(tx);
    }

    void binding_data()
    {
        QTest::addColumn<int>("options");
        QTest::addColumn<bool>("bound");
        QTest::addColumn<uint>("address");
        QTest::newRow("port 0, no option 4: unbound") << 1 << false << 0u;
        QTest::newRow("option 4: every address") << 4 << true << 0u;
        QTest::newRow("options 4 and 8: loopback") << (4 | 8) << true << loopback;
    }
    void binding()
    {
        QFETCH(int, options);
        QFETCH(bool, bound);
        QFETCH(uint, address);
        void *h = nullptr;
        QCOMPARE(ap_udp_init(&h, 0, (unsigned short)options), 0);
        unsigned int local = 1;
        unsigned short port = 1;
        QCOMPARE(ap_ip_getsockaddr(h, &local, &port), 0);
        QCOMPARE(port != 0, bound);
        QCOMPARE(local, address);
        QCOMPARE(ap_udp_exit(h), 0);
    }

    void bindsGivenPort()
    {
        unsigned short free = 0;
        {
            Udp probe;
            free = probe.port;
        }
        void *h = nullptr;
        QCOMPARE(ap_udp_init(&h, free, 8), 0);
        unsigned short port = 0;
        QCOMPARE(ap_ip_getsockaddr(h, nullptr, &port), 0);
        QCOMPARE(port, free);
        ap_udp_exit(h);
    }

    void failedInitLeavesHandle()
    {
        // A socket bound without address reuse keeps the port from every other socket.
        const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(loopback);
        QCOMPARE(::bind(blocker, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(blocker, reinterpret_cast<sockaddr *>(&sa), &len);
        void *h = reinterpret_cast<void *>(0x1234);
        QCOMPARE(ap_udp_init(&h, ntohs(sa.sin_port), 8), -2);
        QCOMPARE(h, reinterpret_cast<void *>(0x1234));
        ::close(blocker);
    }

    void nullHandles()
    {
        char buffer[4];
        QCOMPARE(ap_udp_exit(nullptr), -2);
        QCOMPARE(ap_udp_receive(nullptr, buffer, sizeof buffer, 0, 0), -2);
        QCOMPARE(ap_udp_send(nullptr, buffer, 1, loopback, 9, 0), -2);
        Udp rx;
        QCOMPARE(ap_udp_receive(rx.h, buffer, -1, 0, 0), -2);
    }

    void descriptorZeroNeverUsed()
    {
        // Free descriptor 0 so that the system hands it out to the next socket.
        const int savedStdin = ::dup(0);
        ::close(0);
        void *h = nullptr;
        QCOMPARE(ap_udp_init(&h, 0, 4 | 8), 0);
        struct stat st
        {
        };
        QCOMPARE(::fstat(0, &st), 0);
        QVERIFY(S_ISSOCK(st.st_mode)); // taken by the layer and held
        unsigned short port = 0;
        QCOMPARE(ap_ip_getsockaddr(h, nullptr, &port), 0);
        QVERIFY(ostrel_test::sendUdp(port, "zero"));
        char buffer[8];
        QCOMPARE(ap_udp_receive(h, buffer, sizeof buffer, waitUs, 0), 4);
        QCOMPARE(ap_udp_exit(h), 0);
        QCOMPARE(::fstat(0, &st), 0); // the release did not close descriptor 0
        ::dup2(savedStdin, 0);
        ::close(savedStdin);
    }

    void name2ip_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<uint>("address");
        QTest::newRow("dotted loopback") << QByteArray("127.0.0.1") << loopback;
        QTest::newRow("dotted") << QByteArray("10.1.2.3") << 0x0a010203u;
        QTest::newRow("dotted zero") << QByteArray("0.0.0.0") << 0u;
        QTest::newRow("reserved name") << QByteArray("no-such-host.invalid") << 0u;
        QTest::newRow("empty") << QByteArray("") << 0u;
    }
    void name2ip()
    {
        QFETCH(QByteArray, host);
        QFETCH(uint, address);
        QCOMPARE(ap_ip_name2ip(host.constData()), address);
    }

    void name2ipResolver()
    {
        QCOMPARE(ap_ip_name2ip("localhost") >> 24, 127u);
        // The all-ones text is not taken as a parse result; whatever the resolver says is the answer.
        QCOMPARE(ap_ip_name2ip("255.255.255.255"), resolverAddress("255.255.255.255"));
        QCOMPARE(ap_ip_name2ip(nullptr), 0u);
    }

    void num2ip_data()
    {
        QTest::addColumn<uint>("a");
        QTest::addColumn<uint>("b");
        QTest::addColumn<uint>("c");
        QTest::addColumn<uint>("d");
        QTest::addColumn<uint>("address");
        QTest::newRow("plain") << 1u << 2u << 3u << 4u << 0x01020304u;
        QTest::newRow("all ones") << 255u << 255u << 255u << 255u << 0xffffffffu;
        QTest::newRow("first part 256") << 256u << 0u << 0u << 1u << 0u;
        QTest::newRow("last part 256") << 127u << 0u << 0u << 256u << 0u;
        QTest::newRow("huge part") << 1u << 0xffffffffu << 0u << 1u << 0u;
    }
    void num2ip()
    {
        QFETCH(uint, a);
        QFETCH(uint, b);
        QFETCH(uint, c);
        QFETCH(uint, d);
        QFETCH(uint, address);
        QCOMPARE(ap_ip_num2ip(a, b, c, d), address);
    }

    void ip2num()
    {
        unsigned int a = 0, b = 0, c = 0, d = 0;
        ap_ip_ip2num(&a, &b, &c, &d, 0xc0a80a01u);
        QCOMPARE(a, 192u);
        QCOMPARE(b, 168u);
        QCOMPARE(c, 10u);
        QCOMPARE(d, 1u);
        ap_ip_ip2num(nullptr, nullptr, nullptr, &d, 0x01020304u);
        QCOMPARE(d, 4u);
    }

    void multisocket()
    {
        Udp first, second;
        void *handles[2] = {first.h, second.h};
        char buffer[16];
        int index = -1;
        QVERIFY(ostrel_test::sendUdp(second.port, "to second"));
        QCOMPARE(ap_udp_receive_multisocket(handles, 2, &index, buffer, sizeof buffer, waitUs, 0), 9);
        QCOMPARE(index, 1);
        QCOMPARE(QByteArray(buffer, 9), QByteArray("to second"));

        QVERIFY(ostrel_test::sendUdp(first.port, "1st"));
        QVERIFY(ostrel_test::sendUdp(second.port, "2nd"));
        QCOMPARE(ap_udp_receive_multisocket(handles, 2, &index, buffer, sizeof buffer, waitUs, 0), 3);
        QCOMPARE(index, 0); // array order decides
        QCOMPARE(ap_udp_receive_multisocket(handles + 1, 1, &index, buffer, sizeof buffer, waitUs, 0), 3);
        QCOMPARE(index, 0);
        QCOMPARE(QByteArray(buffer, 3), QByteArray("2nd"));

        QCOMPARE(ap_udp_receive_multisocket(handles, 0, &index, buffer, sizeof buffer, 1000, 0), -1);
        QCOMPARE(ap_udp_receive_multisocket(handles, 2, nullptr, buffer, sizeof buffer, 1000, 0), -2);
    }

    void dropsAreCounted()
    {
        Udp rx;
        unsigned int drops = 99;
        QCOMPARE(ap_udp_drops(rx.h, &drops), 0);
        QCOMPARE(drops, 0u);
        QCOMPARE(ap_udp_set_receive_buffer(rx.h, 0), 0); // the system's smallest queue
        const QByteArray payload(1000, 'd');
        for (int i = 0; i < 200; ++i)
            ostrel_test::sendUdp(rx.port, payload);
        char buffer[2000];
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 0), 1000);
        while (ap_udp_receive(rx.h, buffer, sizeof buffer, 0, 0) == 1000)
            ;
        // The count travels with datagrams queued after the drops.
        QVERIFY(ostrel_test::sendUdp(rx.port, "late"));
        QCOMPARE(ap_udp_receive(rx.h, buffer, sizeof buffer, waitUs, 0), 4);
        QCOMPARE(ap_udp_drops(rx.h, &drops), 0);
        QVERIFY(drops > 0);
    }

    void multicastOptions()
    {
        Udp h;
        QCOMPARE(ap_udp_setmulticast(h.h, 1, 1), 0);
        QCOMPARE(ap_udp_setmulticast(h.h, 0, -1), 0);
        QCOMPARE(ap_udp_dropgroup(h.h, 0xeffff001u), -2); // never joined
    }

    void tcpServerOneConnectionAtATime()
    {
        Tcp server;
        QCOMPARE(ap_tcp_server_init(&server.h, 0, 4), 0);
        unsigned short port = 0;
        QCOMPARE(ap_ip_getsockaddr(server.h, nullptr, &port), 0);
        char buffer[64];
        void *connection = nullptr;

        Tcp client;
        QCOMPARE(ap_tcp_client_init(&client.h, loopback, port), 0);
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), -21);
        void *first = connection;
        QVERIFY(first);
        unsigned int peer = 0;
        QCOMPARE(ap_ip_getpeeraddr(first, &peer, nullptr), 0);
        QCOMPARE(peer, loopback);

        QCOMPARE(ap_tcp_send(client.h, "abc", 3, waitUs), 0);
        connection = nullptr;
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), 3);
        QCOMPARE(connection, first);
        QCOMPARE(QByteArray(buffer, 3), QByteArray("abc"));

        // A second client is not served while the first connection is open.
        Tcp waiting;
        QCOMPARE(ap_tcp_client_init(&waiting.h, loopback, port), 0);
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, 50000), -1);

        QCOMPARE(ap_tcp_exit(client.h), 0);
        client.h = nullptr;
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), -22);
        QCOMPARE(connection, first);
        QCOMPARE(ap_tcp_exit(first), 0);

        // With the connection gone the listener is watched again.
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), -21);
        QVERIFY(connection);
    }

    void tcpServerReleasesConnections()
    {
        Tcp server;
        QCOMPARE(ap_tcp_server_init(&server.h, 0, 1 | 4), 0);
        unsigned short port = 0;
        QCOMPARE(ap_ip_getsockaddr(server.h, nullptr, &port), 0);
        char buffer[64];
        Tcp clients[3];
        void *connections[3] = {};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(ap_tcp_client_init(&clients[i].h, loopback, port), 0);
            QCOMPARE(ap_tcp_server_receive(server.h, &connections[i], buffer, sizeof buffer, waitUs), -21);
        }
        QVERIFY(connections[0] != connections[1] && connections[1] != connections[2]);

        QCOMPARE(ap_tcp_send(clients[1].h, "second", 6, waitUs), 0);
        void *connection = nullptr;
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), 6);
        QCOMPARE(connection, connections[1]);

        // Unlinking from the middle of the list keeps the others served.
        QCOMPARE(ap_tcp_exit(connections[1]), 0);
        QCOMPARE(ap_tcp_receive(clients[1].h, buffer, sizeof buffer, waitUs), -22);
        QCOMPARE(ap_tcp_send(clients[0].h, "first", 5, waitUs), 0);
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), 5);
        QCOMPARE(connection, connections[0]);

        QCOMPARE(ap_tcp_exit(server.h), 0);
        server.h = nullptr;
        // Every accepted connection was closed with the server: its client sees the end.
        QCOMPARE(ap_tcp_receive(clients[0].h, buffer, sizeof buffer, waitUs), -22);
        QCOMPARE(ap_tcp_receive(clients[2].h, buffer, sizeof buffer, waitUs), -22);
    }

    void tcpSendToClosedPeerFails()
    {
        Tcp server;
        QCOMPARE(ap_tcp_server_init(&server.h, 0, 4), 0);
        unsigned short port = 0;
        ap_ip_getsockaddr(server.h, nullptr, &port);
        Tcp client;
        QCOMPARE(ap_tcp_client_init(&client.h, loopback, port), 0);
        void *connection = nullptr;
        char buffer[16];
        QCOMPARE(ap_tcp_server_receive(server.h, &connection, buffer, sizeof buffer, waitUs), -21);
        QCOMPARE(ap_tcp_set_keepalive(connection, 60, 3, 10), 0);
        QCOMPARE(ap_tcp_exit(server.h), 0);
        server.h = nullptr;
        // The first send may still be accepted; later ones fail with -2 instead of a SIGPIPE.
        int rc = 0;
        for (int i = 0; i < 50 && rc == 0; ++i)
            rc = ap_tcp_send(client.h, "x", 1, waitUs);
        QCOMPARE(rc, -2);
    }

    void tcpClientRefused()
    {
        unsigned short port = 0;
        {
            Tcp probe;
            QCOMPARE(ap_tcp_server_init(&probe.h, 0, 4), 0);
            ap_ip_getsockaddr(probe.h, nullptr, &port);
        }
        void *h = nullptr;
        QCOMPARE(ap_tcp_client_init(&h, loopback, port), -2);
        QVERIFY(!h);
    }
};

OSTREL_TEST_GUILESS_MAIN(TstApSocket)
#include "tst_ap_socket.moc"
