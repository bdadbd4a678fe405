// What a script reaches beyond the actions: the live counts, Save as to a given name, and a seek as the
// slider makes it. The D-Bus interface (dbus_control.cpp) calls these and the actions themselves.
#include "app/ostrel_recorder.h"

#include "record/ostrel_recorder_thread.h"

#include <QFileInfo>
#include <algorithm>

qint64 Ostrel_recorder::receivedDatagrams() const
{
    return recorder_thread->counts().datagrams;
}

qint64 Ostrel_recorder::receivedLostFrames() const
{
    return recorder_thread->counts().lost;
}

bool Ostrel_recorder::saveRecordingAs(const QString &name, QString *why)
{
    const QString target = QFileInfo(name.endsWith(".orf") ? name : name + ".orf").absoluteFilePath();
    // Nobody is asked whether to replace it: a file that exists (a link too, even a dangling one) stays.
    if (QFileInfo(target).exists() || QFileInfo(target).isSymLink()) {
        *why = tr("%1 exists already.").arg(target);
        return false;
    }
    save_as_name = target;
    const bool saved = saveFile();
    save_as_name.clear();
    if (!saved)
        *why = tr("The recording could not be saved as %1.").arg(target);
    return saved;
}

void Ostrel_recorder::seekFrame(qint64 frame)
{
    on_playSlider_sliderPressed();
    const int position = positions.positionOf(std::clamp(frame, first_frame, last_frame));
    ui.playSlider->setSliderPosition(position);
    updateContent(position); // what the slider shows while it is dragged
    on_playSlider_sliderReleased();
}
