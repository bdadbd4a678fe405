// Reads a recording frame by frame for playback: the text of one frame as it goes on the wire (each line
// stripped and ended with CR LF, comment lines left out), its timestamp, and the seek to a frame number.
#pragma once

#include <QString>

class QIODevice;

class FrameReader
{
public:
    // Results of readNextFrame().
    static constexpr int kFrameRead =
        0; // stopped at the next frame-counter line, or the seek found its frame
    static constexpr int kEndOfFile = -1;  // end reached, no loop: display_text holds the last frame
    static constexpr int kRewound = -2;    // end reached, loop on: the device was rewound to its start
    static constexpr int kSeekFailed = -3; // seeking: the end came before the target frame line

    // Timestamp sentinels: passed in when the file is at its start (the frame text begins empty instead
    // of with next_frame_line), and given back when the frame had no timestamp line.
    static constexpr double kAtStart = -2.0;
    static constexpr double kNoTimestamp = -1.0;

    // Reads the next frame from file into display_text. A pending seek (slider_moved) looks for the line
    // that begins with "fr " + current_frame and ends there, clearing slider_moved and leaving
    // next_frame_line alone. Otherwise reading stops at the next frame-counter line, which becomes
    // next_frame_line and sets current_frame (0 when its number does not parse); *frame_line_read then
    // becomes true, so the caller can move its position slider; it is false after every other outcome.
    // timestamp and frame_line_read may be null.
    static int readNextFrame(QIODevice &file, QString &display_text, QString &next_frame_line,
                             int &current_frame, bool &slider_moved, double *timestamp, bool loop,
                             bool *frame_line_read);

    // True when line is the frame-counter line a seek to frame number looks for.
    static bool isSeekTarget(QStringView line, int frame);
};
