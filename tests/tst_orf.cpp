// The command-line program as a user runs it: a real process, no display, real UDP on 127.0.0.1.
#include "test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

using namespace ostrel_test;

class TestOrf : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
    // Its own home: no settings of the user's are read.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        return env;
    }

    // Runs orf to its end; the exit status, with its standard output in *out.
    int orf(const QStringList &arguments, QByteArray *out = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(QStringLiteral(ORF_PATH), arguments);
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    void recordInfoAndPlay()
    {
        // Frames 3, 6 and 7 never arrive; the datagram of frame 5 has CR LF line ends and a comment.
        const QList<QByteArray> sent = {"fr 1\nts 10.00\na 1\n", "fr 2\nts 10.02\n", "fr 4\nts 10.06\n",
                                        "fr 5\r\nts 10.08\r\n# note\r\n  x  \r\n", "fr 8\nts 10.14\nend\n"};
        const quint16 port = freeUdpPort();
        QProcess recorder;
        recorder.setProcessEnvironment(environment());
        recorder.start(ORF_PATH, {"record", "--port", QString::number(port), "-o", path("a.orf"), "--count",
                                  QString::number(sent.size())});
        // It says where it records once the socket is bound.
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += recorder.readAllStandardError()).contains("port"), 10000);
        for (const QByteArray &d : sent)
            QVERIFY(sendUdp(port, d));
        QVERIFY(recorder.waitForFinished(10000));
        QCOMPARE(recorder.exitCode(), 0);
        QCOMPARE(readFile(path("a.orf")), sent.join());
        QVERIFY(!QFile::exists(path("a.orf.part")));

        QByteArray out;
        QCOMPARE(orf({"info", path("a.orf"), "--json"}, &out), 0);
        const QJsonObject info = QJsonDocument::fromJson(out).object();
        QCOMPARE(info["frames"].toInt(), 5);
        QCOMPARE(info["first_frame"].toInt(), 1);
        QCOMPARE(info["last_frame"].toInt(), 8);
        QCOMPARE(info["lost"].toInt(), 3);
        QCOMPARE(info["lost_frames"].toArray(), QJsonArray({3, 6, 7}));
        QCOMPARE(info["bytes"].toInt(), sent.join().size());
        QVERIFY(qAbs(info["duration_s"].toDouble() - 0.14) < 1e-9);
        QVERIFY(qAbs(info["mean_rate_hz"].toDouble() - 50.0) < 1e-6);
        QCOMPARE(info["playable"].toBool(), true);

        UdpSink sink;
        QCOMPARE(orf({"play", path("a.orf"), "--to", "127.0.0.1:" + QString::number(sink.port()),
                      "--timestamps", "--speed", "10"}),
                 0);
        QCOMPARE(
            sink.receiveMany(5),
            QList<QByteArray>({"fr 1\r\nts 10.00\r\na 1\r\n", "fr 2\r\nts 10.02\r\n", "fr 4\r\nts 10.06\r\n",
                               "fr 5\r\nts 10.08\r\nx\r\n", "fr 8\r\nts 10.14\r\nend\r\n"}));

        QCOMPARE(orf({"export", path("a.orf"), "-o", path("a.pcap"), "--to", "127.0.0.1:5001"}), 0);
        // An existing recording is never replaced without --force.
        QCOMPARE(orf({"record", "-o", path("a.orf"), "--count", "1"}), 2);
        QCOMPARE(readFile(path("a.orf")), sent.join());
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("nothing arrives")
            << QStringList{"record", "--port", "FREE", "-o", "none.orf", "--duration", "0.3"} << 1;
        QTest::newRow("bad numbering: play") << QStringList{"play", "bad.orf", "--to", "127.0.0.1:9"} << 1;
        QTest::newRow("bad numbering: info") << QStringList{"info", "bad.orf"} << 1;
        QTest::newRow("bad numbering: export") << QStringList{"export", "bad.orf", "-o", "none.orf"} << 1;
        QTest::newRow("missing file") << QStringList{"info", "missing.orf"} << 3;
        QTest::newRow("bad option") << QStringList{"play", "bad.orf", "--bogus"} << 2;
        QTest::newRow("bad destination") << QStringList{"play", "bad.orf", "--to", "127.0.0.1"} << 2;
        QTest::newRow("no command") << QStringList{"frobnicate"} << 2;
        QTest::newRow("help") << QStringList{"help", "play"} << 0;
    }
    void exitStatuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QVERIFY(writeFile(path("bad.orf"), "fr 5\nfr 4\n"));
        for (QString &a : arguments) {
            if (a.endsWith(".orf"))
                a = path(a);
            if (a == "FREE")
                a = QString::number(freeUdpPort());
        }
        QCOMPARE(orf(arguments), status);
        QVERIFY(!QFile::exists(path("none.orf")) && !QFile::exists(path("none.orf.part")));
    }
};

QTEST_GUILESS_MAIN(TestOrf)
#include "tst_orf.moc"
