// The fixture of the tests that drive the window as a user does: through its actions and widgets, found by
// object name, its public slots, and the settings file it reads as it starts; a clock moved by hand.
#pragma once

#include "app/ostrel_recorder.h"
#include "record/clock.h"
#include "settings/settings_file.h"
#include "test_support.h"

#include <QAction>
#include <QLabel>
#include <memory>

namespace ostrel_test {

// The window's state as its actions show it: 0 idle, 1 playing or paused, 2 recording, 4 previewing.
inline int windowMode(const QWidget &window)
{
    auto on = [&](const char *name) { return window.findChild<QAction *>(name)->isEnabled(); };
    if (on("actionOpen"))
        return 0;
    if (on("actionRecord"))
        return 4;
    return on("actionPause") || on("actionPlay") ? 1 : 2;
}

// The datagrams of the receiving run as the status bar counts them.
inline qint64 datagramsCounted(const QWidget &window)
{
    return window.findChild<QLabel *>("l_counts")->text().section(' ', 0, 0).toLongLong();
}

} // namespace ostrel_test

class ManualClock : public Clock
{
public:
    quint32 now_us = 1000000;
    quint32 ms() const override { return now_us / 1000u; }
    void advanceUs(quint32 us) { now_us += us; }
};

class WindowTest : public QObject
{
protected:
    using Setting = SettingsFile::Setting;

    // What the next window reads as it starts: the dialogs' defaults with both destinations on 127.0.0.1
    // and both directories the sandboxed home.
    SettingsFile::SettingsTexts settings = startSettings();
    std::unique_ptr<ostrel_test::ModalAnswerer> answerer;
    std::unique_ptr<Ostrel_recorder> window;

    static SettingsFile::SettingsTexts startSettings()
    {
        SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
        texts.text(Setting::PlayHost1) = texts.text(Setting::PlayHost2) = "127.0.0.1";
        texts.text(Setting::SaveFileDir) = texts.text(Setting::OpenFileDir) = ostrel_test::sandboxHome();
        return texts;
    }
    static QString configDir() { return ostrel_test::sandboxHome() + "/.NUV/Ostrel_Recorder"; }

    // Closes the window of the last test function, if any (it writes its settings as it closes), and opens
    // a new one over settings, its dialogs answered by an answerer made before it.
    void newWindow()
    {
        window.reset();
        SettingsFile::write(configDir(), settings);
        answerer.reset(new ostrel_test::ModalAnswerer);
        window.reset(new Ostrel_recorder(configDir()));
    }

    // Changes settings and opens a new window that reads them.
    void reopenWith(const QList<QPair<Setting, QString>> &changes)
    {
        for (const auto &[setting, text] : changes)
            settings.text(setting) = text;
        newWindow();
    }

    template <class T = QWidget> T *child(const char *name) const
    {
        T *found = window->findChild<T *>(name);
        if (!found)
            qFatal("the window has no %s", name);
        return found;
    }
    QAction *action(const char *name) const { return child<QAction>(name); }
    // What the window shows as the current file: the name for a recording, "<temporary buffer>" for the
    // temporary recording, "no file selected".
    QString shownFile() const { return child<QLabel>("l_filename")->text(); }
    int mode() const { return ostrel_test::windowMode(*window); }
};
