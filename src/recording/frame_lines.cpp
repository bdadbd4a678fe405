#include "recording/frame_lines.h"

#include <QString>
#include <cmath>
#include <cstring>

namespace frame_lines {
namespace {

// Prefixes stand at the line's very first character.
bool hasPrefix(QByteArrayView line, const char *prefix)
{
    return line.size() >= kPrefixLength && std::memcmp(line.data(), prefix, size_t(kPrefixLength)) == 0;
}

// Decimal number as QString::toDouble() reads it; 0.0 when it is not a number.
double parseDouble(const QString &field, bool *ok = nullptr)
{
    bool parsed = false;
    const double value = field.toDouble(&parsed);
    if (ok)
        *ok = parsed;
    return parsed ? value : 0.0;
}

} // namespace

bool isFrameCounterLine(QByteArrayView line)
{
    return hasPrefix(line, kFramePrefix);
}

bool isTimestampLine(QByteArrayView line)
{
    return hasPrefix(line, kTimestampPrefix);
}

QByteArrayView secondField(QByteArrayView line)
{
    // Once per frame-counter line of a whole recording: the spaces are found with memchr.
    const char *data = line.data(), *end = data + line.size();
    const char *first = static_cast<const char *>(std::memchr(data, ' ', size_t(line.size())));
    if (!first)
        return QByteArrayView(end, 0);
    const char *second = static_cast<const char *>(std::memchr(first + 1, ' ', size_t(end - first - 1)));
    return QByteArrayView(first + 1, (second ? second : end) - first - 1);
}

bool parseNumber(QByteArrayView field, qint64 *value)
{
    // Plain digits, the usual case, are read here without building a string for every frame.
    if (field.size() > 0 && field.size() < 19) {
        qint64 number = 0;
        qsizetype i = 0;
        for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i)
            number = number * 10 + (field[i] - '0');
        if (i == field.size()) {
            *value = number;
            return true;
        }
    }
    bool ok = false;
    const qint64 parsed = QString::fromLatin1(field.data(), field.size()).toLongLong(&ok, 10);
    *value = ok ? parsed : 0;
    return ok;
}

double timestampValue(QByteArrayView field)
{
    // Digits with at most one decimal point between digits, at most 15 of them: the mantissa divided by an
    // exact power of ten is correctly rounded, as QString::toDouble() rounds it. Anything else goes
    // through QString::toDouble() itself, so both ways give the same value.
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    qint64 mantissa = 0;
    int digits = 0, decimals = -1;
    qsizetype i = 0;
    for (; i < field.size() && digits <= 15; ++i) {
        const char c = field[i];
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + (c - '0');
            ++digits;
            decimals += decimals >= 0;
        } else if (c == '.' && decimals < 0 && digits > 0) {
            decimals = 0;
        } else {
            break;
        }
    }
    if (i == field.size() && digits > 0 && digits <= 15 && decimals != 0)
        return double(mantissa) / kPowers[decimals < 0 ? 0 : decimals];
    return parseDouble(QString::fromLatin1(field.data(), field.size()));
}

namespace {

// 10^n for n from 0 to 18.
qint64 powerOfTen(int n)
{
    qint64 p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

// units × 10^-from in units of 10^-to, rounded half away from zero; false on overflow.
bool rescale(qint64 units, int from, int to, qint64 *out)
{
    if (to >= from)
        return to - from <= 18 && !__builtin_mul_overflow(units, powerOfTen(to - from), out);
    if (from - to > 18) {
        *out = 0;
        return true;
    }
    const qint64 divisor = powerOfTen(from - to);
    const qint64 rest = units % divisor;
    *out = units / divisor + (2 * (rest < 0 ? -rest : rest) >= divisor ? (units < 0 ? -1 : 1) : 0);
    return true;
}

// The time of a timestamp field moved on by shift, with as many decimals as the field has; empty when
// the field is no number or the sum does not fit.
QByteArray shiftedTime(QByteArrayView field, const Shift &shift)
{
    // A plain decimal ([sign] digits [. digits]) of at most 18 digits is added to exactly, as an integer
    // count of its last decimal place.
    bool negative = false, point = false, plain = true;
    qint64 mantissa = 0;
    int digits = 0, decimals = 0;
    qsizetype i = 0;
    if (i < field.size() && (field[i] == '+' || field[i] == '-'))
        negative = field[i++] == '-';
    for (; i < field.size() && plain; ++i) {
        const char c = field[i];
        if (c >= '0' && c <= '9' && digits < 18) {
            mantissa = mantissa * 10 + (c - '0');
            ++digits;
            decimals += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            plain = false;
        }
    }
    qint64 add = 0, value = 0;
    if (plain && digits > 0 && rescale(shift.timeUnits, shift.timeDecimals, decimals, &add) &&
        !__builtin_add_overflow(negative ? -mantissa : mantissa, add, &value)) {
        const quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
        const quint64 scale = quint64(powerOfTen(decimals));
        QByteArray out = value < 0 ? "-" : "";
        out += QByteArray::number(magnitude / scale);
        if (point)
            out += '.';
        if (decimals > 0)
            out += QByteArray::number(magnitude % scale).rightJustified(decimals, '0');
        return out;
    }
    // Other notations (an exponent) through a double, in fixed notation with the mantissa's decimals.
    bool ok = false;
    const double moved = parseDouble(QString::fromLatin1(field.data(), field.size()), &ok) +
                         double(shift.timeUnits) / double(powerOfTen(qBound(0, shift.timeDecimals, 18)));
    if (!ok || !std::isfinite(moved))
        return QByteArray();
    return QByteArray::number(moved, 'f', decimalsOf(field));
}

} // namespace

Shift Shift::times(qint64 pass) const
{
    Shift shift;
    shift.timeDecimals = timeDecimals;
    if (__builtin_mul_overflow(frames, pass, &shift.frames) ||
        __builtin_mul_overflow(timeUnits, pass, &shift.timeUnits))
        return Shift();
    return shift;
}

int decimalsOf(QByteArrayView field)
{
    const char *dot = static_cast<const char *>(std::memchr(field.data(), '.', size_t(field.size())));
    int places = 0;
    for (const char *p = dot ? dot + 1 : field.end(); p < field.end() && *p >= '0' && *p <= '9'; ++p)
        ++places;
    return places;
}

void appendShifted(QByteArrayView line, LineKind kind, const Shift &shift, QByteArray *out)
{
    const QByteArrayView field = secondField(line);
    const qsizetype begin = field.data() - line.data(), size = field.size();
    QByteArray moved;
    qint64 number = 0, sum = 0;
    if (kind == LineKind::Timestamp)
        moved = shiftedTime(field, shift);
    else if (parseNumber(field, &number) && !__builtin_add_overflow(number, shift.frames, &sum))
        moved = QByteArray::number(sum);
    if (moved.isEmpty()) {
        out->append(line);
        return;
    }
    out->append(line.first(begin));
    out->append(moved);
    out->append(line.sliced(begin + size));
}

QByteArrayView takeLine(QByteArrayView rawLine, bool *lineEnd)
{
    const char *data = rawLine.data();
    qsizetype length = rawLine.size();
    if (length == 0) {
        *lineEnd = false;
        return rawLine;
    }
    if (const void *nul = std::memchr(data, '\0', size_t(length))) {
        *lineEnd = false;
        return QByteArrayView(data, static_cast<const char *>(nul) - data);
    }
    *lineEnd = data[length - 1] == '\n';
    if (*lineEnd) {
        --length;
        if (length > 0 && data[length - 1] == '\r')
            --length;
    }
    return QByteArrayView(data, length);
}

} // namespace frame_lines
