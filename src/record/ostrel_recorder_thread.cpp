#include "ostrel_recorder_thread.h"

#include "ap_socket.h"

#include <QMutexLocker>

Ostrel_Recorder_Thread::Ostrel_Recorder_Thread(QObject *parent) : QThread(parent)
{
    // One byte more than a receive may fill, for the NUL behind the datagram.
    buffer = new char[size_t(buffer_size) + 1];
}

Ostrel_Recorder_Thread::~Ostrel_Recorder_Thread()
{
    stop();
    socket = nullptr; // the window closes it
    delete[] buffer;
    buffer = nullptr;
}

void Ostrel_Recorder_Thread::setSocket(void *handle)
{
    if (!isRunning())
        socket = handle;
}

void Ostrel_Recorder_Thread::setRecordOutput(FILE *output)
{
    if (!isRunning())
        record_output = output;
}

void Ostrel_Recorder_Thread::setModeRecord(bool record)
{
    if (!isRunning())
        mode_record = record;
}

void Ostrel_Recorder_Thread::start(QThread::Priority priority)
{
    if (isRunning()) {
        if (running.load())
            return;
        // A run that ended by itself is only emitting its final status; let it finish first.
        wait();
    }
    ended_by_error.store(false);
    write_failed.store(false);
    running.store(true);
    QThread::start(priority);
}

void Ostrel_Recorder_Thread::stop()
{
    running.store(false);
    while (isRunning())
        QThread::msleep(50);
}

QString Ostrel_Recorder_Thread::getFrameBuffer() const
{
    QMutexLocker lock(&frame_mutex);
    return frame_buffer;
}

void Ostrel_Recorder_Thread::emitStatus(int value)
{
    last_status.store(value);
    emit status(value);
}

void Ostrel_Recorder_Thread::run()
{
    // `running` was raised by start(); raising it here would undo a stop() that came first.
    while (running.load()) {
        const int n = ap_udp_receive(socket, buffer, buffer_size, receive_timeout, 2);
        if (!running.load())
            break; // a datagram received after stop() is neither written nor shown
        if (n == -1 || n == 0)
            continue; // time-out; or an empty datagram, which carries nothing to keep
        if (n < 0) {
            std::printf("udp receive error -> stopped err %d\n", n);
            std::fflush(stdout);
            ended_by_error.store(true);
            break;
        }
        buffer[n] = '\0';
        if (mode_record && record_output) {
            if (std::fwrite(buffer, size_t(n), 1, record_output) != 1)
                write_failed.store(true); // the window tells the user; the stream goes on
        }
        QString text = QString::fromLatin1(buffer);
        {
            QMutexLocker lock(&frame_mutex);
            frame_buffer.swap(text);
        }
        emitStatus(mode_record ? 2 : 4);
    }
    running.store(false);
    emitStatus(0);
}

#include "moc_ostrel_recorder_thread.cpp"
