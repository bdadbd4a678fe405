#include "app/dbus_control.h"

#include "app/ostrel_recorder.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QMessageBox>
#include <QSlider>
#include <QStatusBar>
#include <QThread>
#include <QVariantMap>
#include <algorithm>

const char *const DbusControl::kService = "org.nuv.OstrelRecorder";
const char *const DbusControl::kPath = "/org/nuv/OstrelRecorder";
const char *const DbusControl::kInterface = "org.nuv.OstrelRecorder1";

namespace {
constexpr int kChangesPeriodMs = 100;      // PropertiesChanged at most ten times a second
constexpr int kHandOverTimeoutMs = 300000; // Open answers once the recording is read: long for a large one
const char *const kNotNow = "org.nuv.OstrelRecorder1.Error.NotNow";
const char *const kFailed = "org.nuv.OstrelRecorder1.Error.Failed";

// Closes every message box that opens while it exists, before anyone has to answer it, keeping its text.
// Closed as by Escape: a question gets the answer that changes nothing.
class MessageCatcher : public QObject
{
public:
    MessageCatcher() { qApp->installEventFilter(this); }
    ~MessageCatcher() override { qApp->removeEventFilter(this); }
    QStringList texts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                texts << box->text();
                QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection); // once its loop runs
            }
        return false;
    }
};

QString stateName(Ostrel_recorder::State state)
{
    switch (state) {
    case Ostrel_recorder::State::Previewing:
        return "previewing";
    case Ostrel_recorder::State::Recording:
        return "recording";
    case Ostrel_recorder::State::Playing:
        return "playing";
    case Ostrel_recorder::State::Paused:
        return "paused";
    case Ostrel_recorder::State::Idle:
        break;
    }
    return "idle";
}
} // namespace

DbusControl::DbusControl(Ostrel_recorder *w) : QObject(w), window(w)
{
    changes_timer.setSingleShot(true);
    connect(&changes_timer, &QTimer::timeout, this, &DbusControl::sendChanges);
    connect(window, &Ostrel_recorder::actionsUpdated, this, &DbusControl::scheduleChanges);
    if (auto *slider = window->findChild<QSlider *>("playSlider"))
        connect(slider, &QAbstractSlider::valueChanged, this, &DbusControl::scheduleChanges);
    since_sent.start();
}

DbusControl::~DbusControl()
{
    if (registered)
        QDBusConnection::sessionBus().unregisterService(kService);
}

bool DbusControl::registerOnSessionBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() ||
        !bus.registerObject(kPath, this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties))
        return false;
    if (!bus.registerService(kService)) {
        bus.unregisterObject(kPath);
        return false;
    }
    registered = true;
    sent = snapshot();
    return true;
}

DbusControl::HandOver DbusControl::handOver(const QString &file, QString *error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kService).value())
        return HandOver::NoneRunning;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Open");
    call << QFileInfo(file).absoluteFilePath();
    const QDBusMessage reply = bus.call(call, QDBus::Block, kHandOverTimeoutMs);
    if (reply.type() != QDBusMessage::ErrorMessage)
        return HandOver::Opened;
    if (reply.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        reply.errorName() == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return HandOver::NoneRunning; // it ended meanwhile
    *error = reply.errorMessage();
    return HandOver::Refused;
}

QString DbusControl::state() const
{
    return stateName(window->currentState());
}

QString DbusControl::file() const
{
    return window->currentFile();
}

qlonglong DbusControl::currentFrame() const
{
    return window->currentFrame();
}

qlonglong DbusControl::datagrams() const
{
    return window->receivedDatagrams();
}

qlonglong DbusControl::lostFrames() const
{
    return window->receivedLostFrames();
}

QAction *DbusControl::action(const char *name) const
{
    return window->findChild<QAction *>(name);
}

void DbusControl::run(const char *method, bool enabled, const std::function<bool(QString *why)> &act)
{
    // Inside a dialog's or a background task's event loop the window is in the middle of something.
    const bool busy = QApplication::activeModalWidget() || QThread::currentThread()->loopLevel() > 1;
    if (!enabled || busy) {
        const QString refusal =
            busy ? tr("%1 is not possible now: the window is %2 and waits for a dialog or a task to end.")
                       .arg(method, state())
                 : tr("%1 is not possible now: the window is %2.").arg(method, state());
        window->statusBar()->showMessage(refusal);
        if (calledFromDBus())
            sendErrorReply(kNotNow, refusal);
        return;
    }
    MessageCatcher catcher;
    QString why;
    const bool done = act(&why);
    const QString said = catcher.texts.join('\n');
    if (!said.isEmpty())
        window->statusBar()->showMessage(QString(said).replace('\n', ' '));
    else if (!done && !why.isEmpty())
        window->statusBar()->showMessage(why);
    if (!done && calledFromDBus())
        sendErrorReply(kFailed, !said.isEmpty()  ? said
                                : !why.isEmpty() ? why
                                                 : tr("%1 did not happen.").arg(method));
}

void DbusControl::Open(const QString &path)
{
    run("Open", action("actionOpen")->isEnabled(), [&](QString *) {
        if (!window->openRecording(QFileInfo(path).absoluteFilePath()))
            return false;
        // Handed over by a second start from the file manager: the user looks for the window.
        window->raise();
        window->activateWindow();
        return true;
    });
}

void DbusControl::trigger(const char *method, const char *actionName, Ostrel_recorder::State reached)
{
    run(method, action(actionName)->isEnabled(), [&](QString *) {
        action(actionName)->trigger();
        return window->currentState() == reached;
    });
}

void DbusControl::Play()
{
    trigger("Play", "actionPlay", Ostrel_recorder::State::Playing);
}

void DbusControl::Pause()
{
    trigger("Pause", "actionPause", Ostrel_recorder::State::Paused);
}

void DbusControl::Stop()
{
    run("Stop", action("actionStop")->isEnabled(), [&](QString *) {
        // The caller saves with SaveAs: no save dialog waits for the operator.
        window->setAskToSaveAtStop(false);
        action("actionStop")->trigger();
        window->setAskToSaveAtStop(true);
        return window->currentState() == Ostrel_recorder::State::Idle;
    });
}

void DbusControl::Preview()
{
    trigger("Preview", "actionPreview", Ostrel_recorder::State::Previewing);
}

void DbusControl::Record()
{
    trigger("Record", "actionRecord", Ostrel_recorder::State::Recording);
}

void DbusControl::SaveAs(const QString &path)
{
    run("SaveAs", action("actionSave_as")->isEnabled(),
        [&](QString *why) { return window->saveRecordingAs(path, why); });
}

void DbusControl::Seek(qlonglong frame)
{
    run("Seek", window->findChild<QSlider *>("playSlider")->isEnabled(), [&](QString *) {
        window->seekFrame(frame);
        return true;
    });
}

DbusControl::Snapshot DbusControl::snapshot() const
{
    return {state(), file(), currentFrame(), datagrams(), lostFrames()};
}

void DbusControl::scheduleChanges()
{
    if (registered && !changes_timer.isActive())
        changes_timer.start(int(std::max<qint64>(0, kChangesPeriodMs - since_sent.elapsed())));
}

void DbusControl::sendChanges()
{
    const Snapshot now = snapshot();
    QVariantMap changed;
    if (now.state != sent.state)
        changed["State"] = now.state;
    if (now.file != sent.file)
        changed["File"] = now.file;
    if (now.frame != sent.frame)
        changed["CurrentFrame"] = qlonglong(now.frame);
    if (now.datagrams != sent.datagrams)
        changed["Datagrams"] = qlonglong(now.datagrams);
    if (now.lost != sent.lost)
        changed["LostFrames"] = qlonglong(now.lost);
    if (!changed.isEmpty()) {
        QDBusMessage signal =
            QDBusMessage::createSignal(kPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
        signal << QString(kInterface) << changed << QStringList();
        QDBusConnection::sessionBus().send(signal);
        sent = now;
        since_sent.restart();
    }
    // While receiving or playing, the counts and the frame move without an action: looked at every period.
    if (now.state != "idle")
        changes_timer.start(kChangesPeriodMs);
}
