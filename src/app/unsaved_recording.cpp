#include "app/unsaved_recording.h"

#include <QDir>
#include <QFile>

UnsavedRecording::UnsavedRecording()
    : m_fileName(QDir::tempPath() + "/ostrel_recorder_temp.orf"),
      m_earlier(temp_recording::leftover(m_fileName).found)
{
}

UnsavedRecording::~UnsavedRecording()
{
    close();
}

bool UnsavedRecording::open()
{
    close();
    m_stream = temp_recording::open(m_fileName);
    return m_stream != nullptr;
}

void UnsavedRecording::flush()
{
    if (m_stream)
        fflush(m_stream);
}

void UnsavedRecording::close()
{
    if (m_stream)
        fclose(m_stream);
    m_stream = nullptr;
}

void UnsavedRecording::discard()
{
    if (!m_stream)
        return; // the file may hold another instance's recording by now
    close();
    QFile::remove(m_fileName);
}

temp_recording::Saved UnsavedRecording::save(bool earlierRun, const QString &target, QString *why,
                                             const temp_recording::Progress &progress)
{
    const temp_recording::Saved saved =
        temp_recording::save(earlierRun ? nullptr : m_stream, m_fileName, target, why, progress);
    if (saved != temp_recording::Saved::Moved && saved != temp_recording::Saved::Copied)
        return saved;
    // A moved recording is gone from its place, which may hold another instance's recording by now.
    close();
    if (saved == temp_recording::Saved::Copied)
        QFile::remove(m_fileName);
    return saved;
}
