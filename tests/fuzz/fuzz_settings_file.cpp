// The settings file: loading whatever a file may hold, and writing then reading back any texts the settings
// may have. The input is used both ways: as the file's content, and cut into the eleven setting texts
// (decoded as Latin-1 and as raw UTF-16, so that any character and any lone surrogate occurs).
#include "fuzz_check.h"
#include "settings/settings_file.h"

#include <QFile>
#include <QTemporaryDir>

using namespace SettingsFile;

namespace {

const QTemporaryDir scratch;

QString writeScratch(const QByteArray &bytes)
{
    const QString path = scratch.filePath(QStringLiteral("settings.xml"));
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
    return path;
}

// What the writer may keep: the characters of XML 1.0 (whole surrogate pairs, no lone halves).
QString xmlCharactersOf(const QString &text)
{
    QString kept;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            kept += text.mid(i++, 2);
        else if (c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                 (c >= 0xE000 && c <= 0xFFFD))
            kept += QChar(c);
    }
    return kept;
}

// Written and read back, the texts come back as they were, less what XML cannot carry.
void checkRoundTrip(const SettingsTexts &texts)
{
    const QByteArray bytes = serialise(texts);
    FUZZ_CHECK(QString::fromUtf8(bytes).toUtf8() == bytes);
    SettingsTexts back = defaultTexts(); // an optional setting at its default is not written
    FUZZ_CHECK(load(writeScratch(bytes), QString(), back).ok());
    for (int i = 0; i < SettingCount; ++i)
        FUZZ_CHECK(back.text(Setting(i)) == xmlCharactersOf(texts.text(Setting(i))));
}

void checkRoundTripOf(const QString &whole)
{
    SettingsTexts texts;
    for (int i = 0; i < SettingCount; ++i)
        texts.text(Setting(i)) = whole.mid(whole.size() * i / SettingCount, whole.size() / SettingCount + 1);
    checkRoundTrip(texts);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(scratch.isValid());
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // Any content loads or gives one of the reports, as the primary file and as the fallback.
    const QString present = writeScratch(bytes), missing = scratch.filePath(QStringLiteral("missing.xml"));
    SettingsTexts texts;
    const LoadResult result = size % 2 ? load(missing, present, texts) : load(present, missing, texts);
    FUZZ_CHECK(result.path == present);
    FUZZ_CHECK(result.error == LoadError::None || result.error == LoadError::ParseError ||
               result.error == LoadError::WrongRoot);
    FUZZ_CHECK(result.ok() == loadErrorMessage(result).isEmpty());
    if (result.ok())
        checkRoundTrip(texts);

    checkRoundTripOf(QString::fromLatin1(bytes));
    checkRoundTripOf(QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2));
    return 0;
}
