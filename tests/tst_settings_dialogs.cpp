// The two settings dialogs as the user meets them: what they show after set_values(), what they accept,
// the messages and focus on refusal, and that only a successful OK announces new values.
#include "settings_play.h"
#include "settings_record.h"
#include "test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>

using ostrel_test::ModalAnswerer;

namespace {

unsigned int stubResolver(const char *host)
{
    const QByteArray name(host);
    if (name == "localhost" || name == "127.0.0.1")
        return 0x7f000001u;
    if (name == "example.test")
        return 0x0a000007u;
    return 0;
}

template <typename T> T *child(QWidget *dialog, const char *name)
{
    T *widget = dialog->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// The steps run from the dialog's own event loop, not from inside the answerer's timer slot: Qt does not
// fire a timer again while its slot is still running, so a message box opened there would never be answered.
void queueSteps(ModalAnswerer &answerer, const std::function<void(QWidget *)> &steps)
{
    answerer.queueDialog(
        [steps](QWidget *dialog) { QTimer::singleShot(0, dialog, [steps, dialog] { steps(dialog); }); });
}

// Opens the dialog modally and runs the given steps inside it; the dialog is rejected afterwards if the
// steps left it open. Returns the exec() result.
int runModal(ModalAnswerer &answerer, QDialog &dialog, const std::function<void(QWidget *)> &steps)
{
    queueSteps(answerer, steps);
    return dialog.exec();
}

void setPlayDefaults(Settings_play &dialog, bool active = false)
{
    dialog.set_values("localhost", 0x7f000001u, 5001, 25, "example.test", 0x0a000007u, 5002, true, true,
                      active);
}

} // namespace

class SettingsDialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Settings_play::setHostResolver(stubResolver); }

    void playShowsAndHandsBackValues()
    {
        Settings_play dialog;
        dialog.set_values("a.test", 1, 6000, 30, "b.test", 2, 6001, false, false, true);
        QVERIFY(child<QRadioButton>(&dialog, "rb_single")->isChecked());
        QVERIFY(!child<QRadioButton>(&dialog, "rb_loop")->isChecked());
        QCOMPARE(child<QLineEdit>(&dialog, "le_host_2")->text(), QString("b.test"));
        QCOMPARE(dialog.get_host_play_string_1(), QString("a.test"));
        QCOMPARE(dialog.get_ip_play_1(), 1ul);
        QCOMPARE(dialog.get_ip_play_2(), 2ul);
        QCOMPARE(dialog.get_port_play_1(), quint16(6000));
        QCOMPARE(dialog.get_port_play_string_2(), QString("6001"));
        QCOMPARE(dialog.get_frequency_play_1(), 30u);
        QCOMPARE(dialog.get_loop(), false);
        QCOMPARE(dialog.get_loop_play_string(), QString("false"));
        QCOMPARE(dialog.get_timestamp_play_string(), QString("false"));
        QCOMPARE(dialog.get_active_play_string(), QString("true"));
    }

    void playSpinBoxesClamp_data()
    {
        QTest::addColumn<uint>("rate");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("rateShown");
        QTest::addColumn<QString>("portShown");
        QTest::newRow("rate 0, port 0") << 0u << 0 << "4"
                                        << "1";
        QTest::newRow("rate 61, port 65535") << 61u << 65535 << "60"
                                             << "65535";
        QTest::newRow("rate beyond int") << 4000000000u << 1 << "60"
                                         << "1";
    }
    void playSpinBoxesClamp()
    {
        QFETCH(uint, rate);
        QFETCH(int, port);
        QFETCH(QString, rateShown);
        QFETCH(QString, portShown);
        Settings_play dialog;
        dialog.set_values("localhost", 1, quint16(port), rate, "localhost", 1, quint16(port), true, true,
                          false);
        QCOMPARE(dialog.get_frequency_play_string_1(), rateShown);
        QCOMPARE(dialog.get_port_play_string_1(), portShown);
        QCOMPARE(dialog.get_port_play_string_2(), portShown);
        QCOMPARE(QString::number(dialog.get_port_play_1()), portShown);
    }

    void activeBoxEnablesSecondDestination()
    {
        Settings_play dialog;
        auto *host2 = child<QLineEdit>(&dialog, "le_host_2");
        auto *port2 = child<QSpinBox>(&dialog, "sb_port_2");
        auto *box = child<QCheckBox>(&dialog, "activeBox");
        setPlayDefaults(dialog, false);
        QVERIFY(!host2->isEnabled());
        QVERIFY(!port2->isEnabled());
        box->click();
        QVERIFY(host2->isEnabled() && port2->isEnabled());
        box->click();
        QVERIFY(!host2->isEnabled() && !port2->isEnabled());
        setPlayDefaults(dialog, true);
        QVERIFY(host2->isEnabled() && port2->isEnabled());
    }

    void playValidation_data()
    {
        QTest::addColumn<QString>("host1");
        QTest::addColumn<QString>("host2");
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("focus"); // the field refused, empty when accepted
        QTest::newRow("both good") << "localhost"
                                   << "example.test" << true << "";
        QTest::newRow("dotted") << "127.0.0.1"
                                << "localhost" << false << "";
        QTest::newRow("empty first") << ""
                                     << "localhost" << false << "le_host_1";
        QTest::newRow("all-zero first") << "0.0.0.0"
                                        << "localhost" << false << "le_host_1";
        QTest::newRow("unknown first") << "nosuch.invalid"
                                       << "localhost" << false << "le_host_1";
        QTest::newRow("bad second, inactive") << "localhost"
                                              << "nosuch.invalid" << false << "";
        QTest::newRow("bad second, active") << "localhost"
                                            << "nosuch.invalid" << true << "le_host_2";
        QTest::newRow("both bad, active") << ""
                                          << "" << true << "le_host_1";
    }
    void playValidation()
    {
        QFETCH(QString, host1);
        QFETCH(QString, host2);
        QFETCH(bool, active);
        QFETCH(QString, focus);
        Settings_play dialog;
        setPlayDefaults(dialog, active);
        QSignalSpy announced(&dialog, &Settings_play::writeSettingFile);
        ModalAnswerer answerer;
        QString focused;
        const int result = runModal(answerer, dialog, [&](QWidget *d) {
            child<QLineEdit>(d, "le_host_1")->setText(host1);
            child<QLineEdit>(d, "le_host_2")->setText(host2);
            child<QPushButton>(d, "pb_ok")->click();
            if (d->isVisible() && d->focusWidget())
                focused = d->focusWidget()->objectName();
        });
        const QList<ostrel_test::ModalRecord> messages = answerer.messages();
        if (focus.isEmpty()) {
            QCOMPARE(result, int(QDialog::Accepted));
            QCOMPARE(announced.count(), 1);
            QVERIFY(messages.isEmpty());
        } else {
            QCOMPARE(result, int(QDialog::Rejected)); // left open, then closed by the test
            QCOMPARE(announced.count(), 0);
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages[0].icon, int(QMessageBox::Critical));
            QCOMPARE(messages[0].title, QString("host play"));
            QCOMPARE(messages[0].text, QString("Please check your ip address\n"));
            QCOMPARE(focused, focus);
        }
        // the typed hosts and what they resolved to are kept either way
        QCOMPARE(dialog.get_host_play_string_1(), host1);
        QCOMPARE(dialog.get_host_play_string_2(), host2);
        QCOMPARE(dialog.get_ip_play_1(),
                 static_cast<unsigned long>(stubResolver(host1.toLatin1().constData())));
        QCOMPARE(dialog.get_ip_play_2(),
                 static_cast<unsigned long>(stubResolver(host2.toLatin1().constData())));
    }

    void playAnnouncesOnceAfterAFailedAttempt()
    {
        Settings_play dialog;
        setPlayDefaults(dialog);
        QSignalSpy announced(&dialog, &Settings_play::writeSettingFile);
        bool visibleWhenAnnounced = false;
        connect(&dialog, &Settings_play::writeSettingFile, &dialog,
                [&] { visibleWhenAnnounced = dialog.isVisible(); });
        ModalAnswerer answerer;
        queueSteps(answerer, [](QWidget *d) {
            child<QLineEdit>(d, "le_host_1")->setText("nosuch.invalid");
            child<QPushButton>(d, "pb_ok")->click();
        });
        const int result = runModal(answerer, dialog, [](QWidget *d) {
            child<QLineEdit>(d, "le_host_1")->setText("example.test");
            child<QPushButton>(d, "pb_ok")->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(answerer.messages().size(), 1);
        QCOMPARE(announced.count(), 1);
        QVERIFY(visibleWhenAnnounced); // the window reads the getters before the dialog goes
        QCOMPARE(dialog.get_ip_play_1(), 0x0a000007ul);
    }

    void playCancelAnnouncesNothing()
    {
        Settings_play dialog;
        setPlayDefaults(dialog);
        QSignalSpy announced(&dialog, &Settings_play::writeSettingFile);
        ModalAnswerer answerer;
        const int result = runModal(answerer, dialog, [](QWidget *d) {
            child<QLineEdit>(d, "le_host_1")->setText("127.0.0.1");
            child<QSpinBox>(d, "sb_port_1")->setValue(7000);
            child<QPushButton>(d, "pb_cancel")->click();
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(announced.count(), 0);
        QCOMPARE(dialog.get_host_play_string_1(), QString("localhost"));
        QCOMPARE(dialog.get_ip_play_1(), 0x7f000001ul);
        setPlayDefaults(dialog); // the next opening shows the window's values again
        QCOMPARE(dialog.get_port_play_1(), quint16(5001));
        QCOMPARE(child<QLineEdit>(&dialog, "le_host_1")->text(), QString("localhost"));
    }

    void recordSixthCharacterCannotBeTyped()
    {
        Settings_record dialog;
        auto *port = child<QLineEdit>(&dialog, "le_port");
        port->clear();
        QTest::keyClicks(port, "655351");
        QCOMPARE(port->text(), QString("65535"));
    }

    void recordValidation_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("port");
        QTest::newRow("0") << "0" << true << 0;
        QTest::newRow("65535") << "65535" << true << 65535;
        QTest::newRow("05000") << "05000" << true << 5000;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("letters") << "abc" << false << 0;
        QTest::newRow("minus") << "-1" << false << 0;
        QTest::newRow("65536") << "65536" << false << 0;
    }
    void recordValidation()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(int, port);
        Settings_record dialog;
        dialog.set_values("4000", 4000);
        QSignalSpy announced(&dialog, &Settings_record::writeSettingFile);
        bool visibleWhenAnnounced = true;
        connect(&dialog, &Settings_record::writeSettingFile, &dialog,
                [&] { visibleWhenAnnounced = dialog.isVisible(); });
        ModalAnswerer answerer;
        QString focused;
        bool stillOpen = false;
        runModal(answerer, dialog, [&](QWidget *d) {
            child<QLineEdit>(d, "le_port")->setText(text);
            child<QPushButton>(d, "pb_ok")->click();
            stillOpen = d->isVisible();
            if (d->focusWidget())
                focused = d->focusWidget()->objectName();
        });
        QCOMPARE(dialog.get_port_record_string(), text);
        QCOMPARE(int(dialog.get_port_record()), port);
        if (accepted) {
            QVERIFY(!stillOpen);
            QCOMPARE(announced.count(), 1);
            QVERIFY(!visibleWhenAnnounced); // closed first, then announced
            QVERIFY(answerer.messages().isEmpty());
        } else {
            QVERIFY(stillOpen);
            QCOMPARE(announced.count(), 0);
            QCOMPARE(answerer.messages().size(), 1);
            QCOMPARE(answerer.messages()[0].icon, int(QMessageBox::Critical));
            QCOMPARE(answerer.messages()[0].title, QString("port record"));
            QCOMPARE(answerer.messages()[0].text, QString("Please check your port\n"));
            QCOMPARE(focused, QString("le_port"));
        }
    }

    void recordAnnouncesOnceAfterAFailedAttempt()
    {
        Settings_record dialog;
        dialog.set_values("5000", 5000);
        QSignalSpy announced(&dialog, &Settings_record::writeSettingFile);
        ModalAnswerer answerer;
        queueSteps(answerer, [](QWidget *d) {
            child<QLineEdit>(d, "le_port")->setText("x");
            child<QPushButton>(d, "pb_ok")->click();
        });
        runModal(answerer, dialog, [](QWidget *d) {
            child<QLineEdit>(d, "le_port")->setText("6000");
            child<QPushButton>(d, "pb_ok")->click();
        });
        QCOMPARE(answerer.messages().size(), 1);
        QCOMPARE(announced.count(), 1);
        QCOMPARE(dialog.get_port_record(), quint16(6000));
    }

    void recordCancelChangesNothing()
    {
        Settings_record dialog;
        dialog.set_values("5000", 5000);
        QSignalSpy announced(&dialog, &Settings_record::writeSettingFile);
        ModalAnswerer answerer;
        const int result = runModal(answerer, dialog, [](QWidget *d) {
            child<QLineEdit>(d, "le_port")->setText("6000");
            child<QPushButton>(d, "pb_cancel")->click();
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(announced.count(), 0);
        QCOMPARE(dialog.get_port_record_string(), QString("5000"));
        QCOMPARE(dialog.get_port_record(), quint16(5000));
        dialog.set_values("5000", 5000);
        QCOMPARE(child<QLineEdit>(&dialog, "le_port")->text(), QString("5000"));
    }
};

OSTREL_TEST_MAIN(SettingsDialogsTest)
#include "tst_settings_dialogs.moc"
