// The window's live display: the latest datagram received (or frame sent) in the text field, the received
// frame rate in its label, and the receiving run's counts in the status bar. Each is redrawn at most every
// 100 ms, however fast datagrams arrive; the counts' last value is always drawn.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <memory>

class Clock;
class Ostrel_Recorder_Thread;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;

class LiveDisplay : public QObject
{
    Q_OBJECT

public:
    struct Widgets
    {
        QPlainTextEdit *text = nullptr;
        QLabel *rate = nullptr;
        QStatusBar *statusBar = nullptr; // takes the counts label, "l_counts"
        QCheckBox *disableView = nullptr;
        QPushButton *clear = nullptr; // after Clear the next refresh shows the latest text again
    };

    LiveDisplay(const Widgets &widgets, const Ostrel_Recorder_Thread *thread, QObject *parent);
    ~LiveDisplay() override;

    // The clock the rate and the counts' refresh limit read; null: the system clock.
    void setClock(Clock *clock);

    // Starts the refresh every 100 ms, unless "disable view" is checked (always: whatever it says).
    void start(bool always = false);
    void stop();
    bool isRunning() const;
    // While receiving, each refresh takes the thread's latest datagram, if a new one came.
    void setReceiving(bool receiving) { m_receiving = receiving; }
    // During playback the rate label shows the playback's rate, not the received one.
    void setRateShown(bool shown) { m_rateShown = shown; }

    // The text is shown at the next refresh; refreshText() shows it now, if it is new.
    void show(const QString &text);
    void forget(); // nothing waits to be shown

    // A receiving run starts: its counts start at zero and show at once.
    void startRun();
    // The thread reported datagrams: the rate meter takes the new arrivals; the counts are redrawn.
    void takeReport();
    // The counts now; with later, not sooner than the refresh period after the last drawing.
    void showCounts(bool later = false);

    // The received rate: clear empties the measurement, otherwise one arrival now. reset: the next four
    // arrivals back-fill a second's worth.
    void updateRate(bool clear);
    void resetRate();
    void showRate();

public slots:
    void refresh();
    void refreshText();

private:
    quint32 now() const;

    Widgets m_widgets;
    const Ostrel_Recorder_Thread *m_thread;
    QTimer *m_refreshTimer;
    QLabel *m_countsLabel;
    QTimer *m_countsTimer; // draws the counts a refresh held back
    Clock *m_clock;
    std::unique_ptr<Clock> m_systemClock;

    bool m_receiving = false;
    bool m_rateShown = true;
    QString m_text;
    bool m_textNew = false;         // m_text has not been shown yet
    qint64 m_shownDatagrams = 0;    // the run's count when its latest datagram was taken
    qint64 m_reportedDatagrams = 0; // the run's datagrams already in the rate meter
    quint32 m_lastReportMs = 0;
    quint32 m_countsShownMs = 0;
    QList<unsigned int> m_arrivals;
    bool m_rateReset = false;
};
