// A count and its noun as every summary says them, agreeing in number: "1 frame", "2 frames", "0 frames".
#pragma once

#include <QString>
#include <QtGlobal>

// noun is singular; the plural adds an s (every noun counted so far does).
QString counted(qint64 count, const char *noun);
