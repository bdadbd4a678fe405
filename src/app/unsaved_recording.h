// The temporary recording Record writes into, from the moment it is opened until it is saved or discarded,
// and a recording an earlier run left in the same file unsaved.
#pragma once

#include "record/temp_recording.h"

#include <QString>
#include <cstdio>

class UnsavedRecording
{
public:
    // Notes a recording an earlier run left, before anything can write to the file.
    UnsavedRecording();
    ~UnsavedRecording(); // closes the stream and leaves the file for the next start to offer
    UnsavedRecording(const UnsavedRecording &) = delete;
    UnsavedRecording &operator=(const UnsavedRecording &) = delete;

    const QString &fileName() const { return m_fileName; }
    FILE *stream() const { return m_stream; }
    bool isOpen() const { return m_stream != nullptr; }

    // Opens the file for a new recording, from its start; false when it is refused.
    bool open();
    void flush();
    void close();   // the file stays
    void discard(); // the open recording is closed and removed
    // Puts the open recording, or the earlier run's, at target; a saved one is closed and leaves its place.
    temp_recording::Saved save(bool earlierRun, const QString &target, QString *why,
                               const temp_recording::Progress &progress);

    // An earlier run's recording waits in the file until it is saved or discarded.
    bool earlierWaiting() const { return m_earlier; }
    void earlierSettled() { m_earlier = false; }

private:
    QString m_fileName;
    FILE *m_stream = nullptr;
    bool m_earlier = false;
};
