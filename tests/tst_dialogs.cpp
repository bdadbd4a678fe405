#include "aboutdlg.h"
#include "help.h"
#include "test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

namespace {

QString aboutLinkHref(const AboutDlg &about)
{
    const QString text = about.findChild<QLabel *>("label_osd")->text();
    const QRegularExpressionMatch m = QRegularExpression("href=\"([^\"]*)\"").match(text);
    return m.hasMatch() ? m.captured(1) : QString();
}

QIcon solidIcon(const QColor &colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

// Puts a stand-in for the desktop's URL handler in place for one test.
class OpenerScope
{
public:
    explicit OpenerScope(std::function<bool(const QUrl &)> opener) : m_saved(AboutDlg::urlOpener)
    {
        AboutDlg::urlOpener = std::move(opener);
    }
    ~OpenerScope() { AboutDlg::urlOpener = m_saved; }

private:
    std::function<bool(const QUrl &)> m_saved;
};

const QString helpText =
    "Please switch off any SpeedStep (Intel)  or PowerNow! (AMD) functionality of your computer when using "
    "this software on a notebook.\n\nYou will get further help using the \"What's this?\" information "
    "provided for most GUI elements within this program. ";

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void helpIsFixedSize()
    {
        Help help;
        QCOMPARE(help.objectName(), QString("d_help"));
        QCOMPARE(help.windowTitle(), QString("Help"));
        QCOMPARE(help.size(), QSize(408, 160));
        QCOMPARE(help.minimumSize(), QSize(408, 160));
        QCOMPARE(help.maximumSize(), QSize(408, 160));
        help.show();
        help.resize(600, 400);
        QCOMPARE(help.size(), QSize(408, 160));
    }

    void aboutLabels_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("version") << "label_version"
                                 << "Ostrel Recorder v1.1.4 ";
        QTest::newRow("date") << "label_date"
                              << "05.11.2015";
        QTest::newRow("copyright") << "label_copy"
                                   << "Copyright NUV 2010-2015";
        QTest::newRow("phone") << "label_phone"
                               << "Phone: +49 000 000000";
        QTest::newRow("web") << "label_url"
                             << "www.nuv.example";
    }
    void aboutLabels()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        AboutDlg about;
        auto *label = about.findChild<QLabel *>(name);
        QVERIFY(label);
        QCOMPARE(label->text(), text);
        QCOMPARE(label->alignment(), Qt::AlignCenter);
    }

    void aboutIsFixedSize()
    {
        AboutDlg about;
        QCOMPARE(about.objectName(), QString("AboutDialog"));
        QCOMPARE(about.windowTitle(), QString("About"));
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QCOMPARE(about.size(), QSize(560, 220));
        QCOMPARE(about.minimumSize(), QSize(560, 220));
        QCOMPARE(about.maximumSize(), QSize(560, 221));
        about.resize(800, 600);
        QCOMPARE(about.size(), QSize(560, 221));
        about.resize(100, 100);
        QCOMPARE(about.size(), QSize(560, 220));
    }

    void aboutLinkNamesTheLicenceBesideTheProgram()
    {
        AboutDlg about;
        auto *osd = about.findChild<QLabel *>("label_osd");
        const QString document = QCoreApplication::applicationDirPath() + "/license/NUV_OSD.pdf";
        QVERIFY2(osd->text().contains(QUrl::fromLocalFile(document).toString()), qPrintable(osd->text()));
        QVERIFY(osd->text().startsWith("This product uses third-party <a href=\"file:///"));
        QVERIFY(osd->text().endsWith("\">Open-Source software</a>"));
        QCOMPARE(osd->textFormat(), Qt::RichText);
        QVERIFY(!osd->openExternalLinks());
    }

    void clickedLinkOpensTheLicenceFile()
    {
        QList<QUrl> opened;
        OpenerScope scope([&opened](const QUrl &url) {
            opened.append(url);
            return true;
        });
        ostrel_test::ModalAnswerer answerer;
        AboutDlg about;
        emit about.findChild<QLabel *>("label_osd")->linkActivated(aboutLinkHref(about));
        QCOMPARE(opened.size(), 1);
        QVERIFY(opened.first().isLocalFile());
        QCOMPARE(opened.first().toLocalFile(),
                 QCoreApplication::applicationDirPath() + "/license/NUV_OSD.pdf");
        QTest::qWait(50); // give a wrongly opened box the chance to be seen
        QVERIFY(answerer.records().isEmpty());
    }

    void failedOpenWarns()
    {
        OpenerScope scope([](const QUrl &) { return false; });
        ostrel_test::ModalAnswerer answerer;
        AboutDlg about;
        about.show();
        about.processLink("file:///nowhere/license/NUV_OSD.pdf");
        QCOMPARE(answerer.messages().size(), 1);
        const ostrel_test::ModalRecord box = answerer.messages().first();
        QCOMPARE(box.icon, int(QMessageBox::Warning));
        QCOMPARE(box.title, QString("Error"));
        QCOMPARE(
            box.text,
            QString(
                "Failed to open file:///nowhere/license/NUV_OSD.pdf Do you have a PDF reader installed?"));
        QVERIFY(about.isVisible());
    }

    // The dialogs keep their own copy of the icon the window had when they were made.
    void dialogsTakeTheParentsIcon()
    {
        QWidget window;
        window.setWindowIcon(QIcon(":/ostrel_recorder.png"));
        const qint64 original = window.windowIcon().cacheKey();
        Help help(&window);
        AboutDlg about(&window);
        window.setWindowIcon(solidIcon(Qt::magenta));
        QCOMPARE(help.windowIcon().cacheKey(), original);
        QCOMPARE(about.windowIcon().cacheKey(), original);
        QCOMPARE(
            help.windowIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
            QImage(":/ostrel_recorder.png").convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }

    void resourceImages_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        const QSize tool(16, 16);
        QTest::newRow("play") << ":/play.png" << tool;
        QTest::newRow("filesave") << ":/filesave.png" << tool;
        QTest::newRow("record") << ":/record.png" << tool;
        QTest::newRow("nuv-logo") << ":/nuv-logo.png" << QSize(2660, 1105);
        QTest::newRow("ostrel_recorder") << ":/ostrel_recorder.png" << QSize(32, 32);
        QTest::newRow("ostrel_recorder, as the main form names it")
            << "://ostrel_recorder.png" << QSize(32, 32);
        QTest::newRow("fileopen") << ":/fileopen.png" << tool;
        QTest::newRow("stop") << ":/stop.png" << tool;
        QTest::newRow("pause") << ":/pause.png" << tool;
        QTest::newRow("preview") << ":/preview.png" << tool;
    }
    void resourceImages()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QCOMPARE(image.size(), size);
        QVERIFY(image.hasAlphaChannel());
    }
};

OSTREL_TEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
