#include "app/frame_strip.h"

#include <QHelpEvent>
#include <QPainter>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolTip>

#include <algorithm>

namespace {
constexpr quint8 kLate = 1;
constexpr quint8 kLost = 2;
} // namespace

FrameStrip::FrameStrip(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setVisible(false);
}

QSize FrameStrip::sizeHint() const
{
    return QSize(100, 6);
}

void FrameStrip::setMarks(std::vector<RecordingInfo::Mark> marks, const FramePositions &positions,
                          QSlider *slider)
{
    m_marks = std::move(marks);
    m_positions = positions;
    m_slider = slider;
    layOut();
    update();
}

QRect FrameStrip::track() const
{
    if (!m_slider)
        return rect();
    QStyleOptionSlider option;
    option.initFrom(m_slider);
    option.orientation = m_slider->orientation();
    option.minimum = m_slider->minimum();
    option.maximum = m_slider->maximum();
    const int handle = m_slider->style()->pixelMetric(QStyle::PM_SliderLength, &option, m_slider);
    const int left = m_slider->mapTo(parentWidget(), QPoint(0, 0)).x() - x() + handle / 2;
    return QRect(left, 0, qMax(1, m_slider->width() - handle), height());
}

void FrameStrip::layOut()
{
    const int width = track().width();
    m_columns.assign(size_t(width), 0);
    for (const RecordingInfo::Mark &mark : m_marks) {
        const quint8 kind = mark.kind == RecordingInfo::Mark::Lost ? kLost : kLate;
        const int last = qMin(width - 1, m_positions.columnOf(mark.last, width));
        for (int c = m_positions.columnOf(mark.first, width); c <= last; ++c)
            m_columns[size_t(c)] = std::max(m_columns[size_t(c)], kind);
    }
}

void FrameStrip::resizeEvent(QResizeEvent *)
{
    layOut();
}

void FrameStrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = track();
    const QColor colours[] = {QColor(), QColor(0xf0, 0xa0, 0x00), QColor(0xd0, 0x10, 0x10)};
    for (size_t c = 0; c < m_columns.size(); ++c)
        if (m_columns[c])
            painter.fillRect(area.left() + int(c), area.top(), 1, area.height(), colours[m_columns[c]]);
}

QString FrameStrip::toolTipAt(int x, int width) const
{
    if (x < 0 || x >= width)
        return QString();
    // The marks drawn in the column: they end at or after its first frame and begin before the next
    // column's; a lost run is named before a late frame.
    const qint64 from = m_positions.frameAtColumn(x, width);
    const qint64 next = m_positions.frameAtColumn(x + 1, width);
    auto it = std::lower_bound(m_marks.begin(), m_marks.end(), from,
                               [](const RecordingInfo::Mark &m, qint64 frame) { return m.last < frame; });
    const RecordingInfo::Mark *found = nullptr;
    for (; it != m_marks.end() && it->first < next; ++it) {
        if (!found || (it->kind == RecordingInfo::Mark::Lost && found->kind != RecordingInfo::Mark::Lost))
            found = &*it;
    }
    if (!found)
        return QString();
    if (found->kind == RecordingInfo::Mark::Late)
        return tr("Frame %1 · %2 s").arg(found->first).arg(found->seconds, 0, 'f', 2);
    if (found->first == found->last)
        return tr("Frame %1 lost").arg(found->first);
    return tr("Frames %1–%2 lost").arg(found->first).arg(found->last);
}

bool FrameStrip::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QRect area = track();
        const QString text = toolTipAt(help->pos().x() - area.left(), area.width());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}
