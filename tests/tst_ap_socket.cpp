// The socket layer's sharp edges (the largest datagram goes through it in the end-to-end test, the address
// rules through the settings dialogs).
#include "ap_socket.h"
#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

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
};

OSTREL_TEST_GUILESS_MAIN(TestApSocket)
#include "tst_ap_socket.moc"
