// The settings file: loading whatever a file may hold, and writing then reading back any texts the
// settings may have. The input is used both ways: as the file's content, and cut into the eleven setting
// texts (decoded as UTF-8, as Latin-1 and as raw UTF-16, so any character and any lone surrogate occurs).
#include "fuzz_check.h"
#include "settings_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

using namespace SettingsFile;

namespace {

const QTemporaryDir &scratch()
{
    static const QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    return dir;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

// What the writer may keep: the characters of XML 1.0 (whole surrogate pairs, no lone halves).
QString xmlCharactersOf(const QString &text)
{
    QString kept;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            kept += text.at(i);
            kept += text.at(++i);
            continue;
        }
        if (c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD))
            kept += QChar(c);
    }
    return kept;
}

bool sameTexts(const SettingsTexts &a, const SettingsTexts &b)
{
    for (int i = 0; i < SettingCount; ++i) {
        if (a.text(Setting(i)) != b.text(Setting(i)))
            return false;
    }
    return true;
}

SettingsTexts xmlCharactersOf(const SettingsTexts &texts)
{
    SettingsTexts kept;
    for (int i = 0; i < SettingCount; ++i)
        kept.text(Setting(i)) = xmlCharactersOf(texts.text(Setting(i)));
    return kept;
}

// Written and read back, the texts come back as they were, less what XML cannot carry.
void checkRoundTrip(const SettingsTexts &texts)
{
    const QByteArray bytes = serialise(texts);
    FUZZ_CHECK(QString::fromUtf8(bytes).toUtf8() == bytes);
    const QString path = scratch().filePath(QStringLiteral("round-trip.xml"));
    writeFile(path, bytes);
    SettingsTexts back;
    const LoadResult result = load(path, QString(), back);
    if (!result.ok())
        std::fprintf(stderr, "%s\n", qPrintable(loadErrorMessage(result)));
    FUZZ_CHECK(result.ok());
    const SettingsTexts expected = xmlCharactersOf(texts);
    for (int i = 0; i < SettingCount; ++i) {
        if (back.text(Setting(i)) != expected.text(Setting(i))) {
            std::fprintf(stderr, "%s: expected %s, read back %s\n", elementName(Setting(i)),
                         expected.text(Setting(i)).toUtf8().toHex(' ').constData(),
                         back.text(Setting(i)).toUtf8().toHex(' ').constData());
        }
    }
    FUZZ_CHECK(sameTexts(back, expected));
}

SettingsTexts cutIntoTexts(const QString &whole)
{
    SettingsTexts texts;
    const qsizetype size = whole.size();
    for (int i = 0; i < SettingCount; ++i) {
        const qsizetype from = size * i / SettingCount;
        const qsizetype to = size * (i + 1) / SettingCount;
        texts.text(Setting(i)) = whole.mid(from, to - from);
    }
    return texts;
}

void checkLoad(const QByteArray &content, bool asFallback)
{
    const QString present = scratch().filePath(QStringLiteral("settings.xml"));
    const QString missing = scratch().filePath(QStringLiteral("missing.xml"));
    writeFile(present, content);
    SettingsTexts texts;
    const LoadResult result = asFallback ? load(missing, present, texts) : load(present, missing, texts);
    FUZZ_CHECK(result.path == present);
    FUZZ_CHECK(result.error == LoadError::None || result.error == LoadError::ParseError ||
               result.error == LoadError::WrongRoot);
    FUZZ_CHECK(result.ok() == loadErrorMessage(result).isEmpty());
    if (result.ok())
        checkRoundTrip(texts);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkLoad(bytes, size % 2 == 1);

    checkRoundTrip(cutIntoTexts(QString::fromUtf8(bytes)));
    checkRoundTrip(cutIntoTexts(QString::fromLatin1(bytes)));
    checkRoundTrip(
        cutIntoTexts(QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2)));
    return 0;
}
