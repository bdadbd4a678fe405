// The window over D-Bus, for the scripts that run an experiment: org.nuv.OstrelRecorder on the session
// bus, object /org/nuv/OstrelRecorder, interface org.nuv.OstrelRecorder1. Each method is the window's own
// action in its current state; one whose action is disabled answers the error ...Error.NotNow naming the
// state. Nothing a method does waits for the operator: what the action would say in a message box goes to
// the status bar instead, and when the action did not happen, back to the caller as ...Error.Failed. The
// properties are read from the window; PropertiesChanged says what changed, at most ten times a second.
#pragma once

#include "app/ostrel_recorder.h"

#include <QDBusContext>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class QAction;

class DbusControl : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.nuv.OstrelRecorder1")
    Q_PROPERTY(QString State READ state)
    Q_PROPERTY(QString File READ file)
    Q_PROPERTY(qlonglong CurrentFrame READ currentFrame)
    Q_PROPERTY(qlonglong Datagrams READ datagrams)
    Q_PROPERTY(qlonglong LostFrames READ lostFrames)

public:
    static const char *const kService;
    static const char *const kPath;
    static const char *const kInterface;

    explicit DbusControl(Ostrel_recorder *window);
    ~DbusControl() override;
    // Takes the name on the session bus: false, silently, without a bus or when another instance holds it.
    bool registerOnSessionBus();

    // A second start with a file: a window already running opens it (Opened), or says why not (Refused,
    // *error); NoneRunning when there is no such window to hand it to.
    enum class HandOver
    {
        NoneRunning,
        Opened,
        Refused,
    };
    static HandOver handOver(const QString &file, QString *error);

    QString state() const;
    QString file() const;
    qlonglong currentFrame() const;
    qlonglong datagrams() const;
    qlonglong lostFrames() const;

public slots: // the D-Bus methods (every public slot is exported)
    void Open(const QString &path);
    void Play();
    void Pause();
    void Stop();
    void Preview();
    void Record();
    void SaveAs(const QString &path);
    void Seek(qlonglong frame);

private:
    struct Snapshot
    {
        QString state, file;
        qint64 frame = 0, datagrams = 0, lost = 0;
    };
    Snapshot snapshot() const;
    QAction *action(const char *name) const;
    // Runs what a method does when enabled (else answers NotNow): message boxes it opens are closed at once
    // and their texts shown in the status bar; when act() says it did not happen, the caller gets them
    // back (or *why).
    void run(const char *method, bool enabled, const std::function<bool(QString *why)> &act);
    // A method that triggers its action and succeeds when the window reaches the state named.
    void trigger(const char *method, const char *actionName, Ostrel_recorder::State reached);
    void scheduleChanges();
    void sendChanges();

    Ostrel_recorder *window;
    QTimer changes_timer; // coalesces PropertiesChanged; polls the counts while the window is busy
    QElapsedTimer since_sent;
    Snapshot sent;
    bool registered = false;
};
