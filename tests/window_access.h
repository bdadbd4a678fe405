// The window's private members for the tests (the window names this class its friend); a clock moved by hand.
#pragma once

#include "record/clock.h"
#include "app/ostrel_recorder.h"
#include "test_support.h"

#include <memory>

class OstrelRecorderTestAccess
{
public:
    explicit OstrelRecorderTestAccess(Ostrel_recorder &window) : w(window) {}

    Ui_mw_ostrel_recorder &ui() { return w.ui; }
    // The window's state as a number: 0 idle, 1 playing or paused, 2 recording, 4 previewing.
    int mode() const
    {
        using S = Ostrel_recorder::State;
        return w.state == S::Idle ? 0 : w.state == S::Recording ? 2 : w.state == S::Previewing ? 4 : 1;
    }
    void setState(Ostrel_recorder::State s) { w.setState(s); }
    int &packets_recorded() { return w.packets_recorded; }
    QString &display_text() { return w.display_text; }
    QString &file_name() { return w.file_name; }
    QString &temp_file_name() { return w.temp_file_name; }
    FILE *&record_file() { return w.record_file; }
    void *&socket_record() { return w.socket_record; }
    SettingsFile::SettingsTexts &settings() { return w.settings; }
    SettingsFile::WorkingValues &values() { return w.values; }
    FrameIndex &frames() { return w.frames; }
    qint64 &current_frame() { return w.current_frame; }
    PlaybackEngine *engine() { return w.engine; }
    QTimer *display_timer() { return w.display_timer; }
    Ostrel_Recorder_Thread *recorder_thread() { return w.recorder_thread; }

    void updateActions() { w.updateActions(); }
    QString read_from_vector(qint64 frame) { return w.read_from_vector(frame); }
    bool initSlider(const QString &name) { return w.initSlider(name); }
    bool saveFile() { return w.saveFile(); }
    void update_display() { QMetaObject::invokeMethod(&w, "update_display", Qt::DirectConnection); }
    void updateContent(int i)
    {
        QMetaObject::invokeMethod(&w, "updateContent", Qt::DirectConnection, Q_ARG(int, i));
    }

private:
    Ostrel_recorder &w;
};

class ManualClock : public Clock
{
public:
    quint32 now_us = 1000000;
    quint32 ms() const override { return now_us / 1000u; }
    void advanceUs(quint32 us) { now_us += us; }
};

// The fixture of the tests that drive the window: a fresh window over the sandboxed home, its dialogs
// answered by an answerer made before it (the window may say something as it starts).
class WindowTest : public QObject
{
protected:
    std::unique_ptr<ostrel_test::ModalAnswerer> answerer;
    std::unique_ptr<Ostrel_recorder> window;
    std::unique_ptr<OstrelRecorderTestAccess> a;

    // Closes the window of the last test function, if any, and opens a new one.
    void newWindow()
    {
        a.reset();
        window.reset();
        answerer.reset(new ostrel_test::ModalAnswerer);
        window.reset(new Ostrel_recorder(ostrel_test::sandboxHome() + "/.NUV/Ostrel_Recorder"));
        a.reset(new OstrelRecorderTestAccess(*window));
    }
};
