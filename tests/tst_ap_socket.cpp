// The socket layer's sharp edges: descriptors select() cannot serve, and a vanished TCP peer. (The largest
// datagram goes through it in the end-to-end test, and the address rules through the settings dialogs.)
#include "ap_socket.h"
#include "test_support.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const unsigned int loopback = 0x7f000001u;
}

class TestApSocket : public QObject
{
    Q_OBJECT

private slots:
    // select() serves descriptors below 1024 only: a socket above is refused instead of written past the
    // descriptor set. Descriptor 0 is never taken, even when it is free.
    void descriptorLimits()
    {
        rlimit old{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &old) == 0);
        rlimit more = old;
        more.rlim_cur = 1100;
        if (old.rlim_max < 1100 || ::setrlimit(RLIMIT_NOFILE, &more) != 0)
            QSKIP("no more than 1100 descriptors allowed");
        QList<int> taken;
        do
            taken << ::dup(2);
        while (taken.last() >= 0 && taken.last() < 1023);
        void *h = &old;
        QCOMPARE(ap_udp_init(&h, 0, 4 | 8), -2);
        QCOMPARE(h, static_cast<void *>(&old));
        for (int fd : taken)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &old);

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

    // A peer that has gone gives -2, not a SIGPIPE that would end the program.
    void sendToAVanishedPeer()
    {
        void *server = nullptr, *client = nullptr, *connection = nullptr;
        unsigned short port = 0;
        char buffer[16];
        QCOMPARE(ap_tcp_server_init(&server, 0, 4), 0);
        QCOMPARE(ap_ip_getsockaddr(server, nullptr, &port), 0);
        QCOMPARE(ap_tcp_client_init(&client, loopback, port), 0);
        QCOMPARE(ap_tcp_server_receive(server, &connection, buffer, sizeof buffer, 5000000), -21);
        QCOMPARE(ap_tcp_exit(server), 0); // and its connection with it
        int rc = 0;
        for (int i = 0; i < 50 && rc == 0; ++i) // the first send may still be taken
            rc = ap_tcp_send(client, "x", 1, 5000000);
        QCOMPARE(rc, -2);
        ap_tcp_exit(client);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestApSocket)
#include "tst_ap_socket.moc"
