// A thin strip along the position slider, over the same frames: a red mark for each lost frame or run of
// lost frames, an amber one for each frame recorded more than twice the usual interval after the one before.
// Every mark is at least one pixel wide however long the recording; hovering names the frames under it.
#pragma once

#include "app/frame_positions.h"
#include "recording/recording_info.h"

#include <QWidget>
#include <vector>

class QSlider;

class FrameStrip : public QWidget
{
    Q_OBJECT

public:
    explicit FrameStrip(QWidget *parent = nullptr);

    // The marks of a recording, in frame order, over its frames as the slider places them. The strip
    // follows the slider's groove.
    void setMarks(std::vector<RecordingInfo::Mark> marks, const FramePositions &positions, QSlider *slider);
    const std::vector<RecordingInfo::Mark> &marks() const { return m_marks; }
    // What hovering over pixel column x of a strip width pixels wide says; empty where nothing is marked.
    QString toolTipAt(int x, int width) const;

    QSize sizeHint() const override;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The strip's drawing area: the slider's groove, where the handle's centre travels.
    QRect track() const;
    void layOut();

    std::vector<RecordingInfo::Mark> m_marks;
    FramePositions m_positions;
    QSlider *m_slider = nullptr;
    std::vector<quint8> m_columns; // per pixel of the track: 1 late, 2 lost
};
