#include "dialogs/recording_info_dialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLocale>

namespace {
QString number(qint64 n)
{
    return QLocale(QLocale::English).toString(n);
}
QString milliseconds(double ms)
{
    return QString::number(ms, 'f', 3) + " ms";
}
} // namespace

RecordingInfoDialog::RecordingInfoDialog(const RecordingInfo &info, QWidget *parent)
    : QDialog(parent), m_info(info)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    // A capture's: the port its datagrams were taken from too.
    ui.l_file->setText(info.capture ? info.file + '\n' + info.capture->portChoice : info.file);
    ui.l_size->setText(tr("%1 bytes").arg(number(info.bytes)));
    ui.l_frames->setText(number(info.frames));
    ui.l_numbers->setText(info.frames > 0 ? tr("%1 to %2").arg(info.first_frame).arg(info.last_frame)
                                          : tr("none"));
    ui.l_lost->setText(info.lost > 0 ? tr("%1: %2").arg(number(info.lost), info.lostNumbers())
                                     : QStringLiteral("0"));
    ui.l_duration->setText(info.timed ? tr("%1 s, mean rate %2 Hz")
                                            .arg(QString::number(info.duration_s, 'f', 3),
                                                 QString::number(info.mean_rate_hz, 'f', 2))
                                      : tr("unknown (no increasing timestamps)"));
    ui.l_intervals->setText(info.intervals.known ? tr("median %1, p99 %2, max %3")
                                                       .arg(milliseconds(info.intervals.median_ms),
                                                            milliseconds(info.intervals.p99_ms),
                                                            milliseconds(info.intervals.max_ms))
                                                 : tr("unknown (no timestamps)"));
    // Shown only for a recording that has such frames.
    ui.l_too_large->setText(info.too_large_count > 0
                                ? tr("%1: %2").arg(number(info.too_large_count), info.tooLargeFrames())
                                : QString());
    ui.label_too_large->setVisible(info.too_large_count > 0);
    ui.l_too_large->setVisible(info.too_large_count > 0);
    ui.l_playable->setText(info.playable() ? tr("yes") : tr("no: %1").arg(info.reason));
    connect(ui.pb_copy, &QPushButton::clicked, this, &RecordingInfoDialog::copy);
    connect(ui.pb_close, &QPushButton::clicked, this, &QDialog::accept);
}

QStringList RecordingInfoDialog::values() const
{
    QStringList out;
    for (const QLabel *label : {ui.l_file, ui.l_size, ui.l_frames, ui.l_numbers, ui.l_lost, ui.l_duration,
                                ui.l_intervals, ui.l_too_large, ui.l_playable})
        if (!label->isHidden())
            out << label->text();
    return out;
}

void RecordingInfoDialog::copy()
{
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(QJsonDocument(m_info.json()).toJson(QJsonDocument::Indented)));
}
