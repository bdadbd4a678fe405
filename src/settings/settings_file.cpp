#include "settings/settings_file.h"

#include "ap/ap_socket.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>
#include <QXmlStreamReader>

namespace SettingsFile {

namespace {

struct TableRow
{
    Setting setting;
    const char *element;
    const char *attribute;
};

// Writing order.
constexpr TableRow table[SettingCount] = {
    {Setting::RecordPort, "RECORD_PORT", "PORT_NR"},
    {Setting::PlayHost1, "PLAY_HOST_1", "HOST"},
    {Setting::PlayPort1, "PLAY_PORT_1", "PORT_NR"},
    {Setting::PlayHost2, "PLAY_HOST_2", "HOST"},
    {Setting::PlayPort2, "PLAY_PORT_2", "PORT_NR"},
    {Setting::Active, "ACTIVE", "ACTIVE"},
    {Setting::Frequency, "FREQUENCY", "FREQUENCY"},
    {Setting::Loop, "LOOP", "LOOP"},
    {Setting::Timestamp, "TIMESTAMP", "TIMESTAMP"},
    {Setting::SaveFileDir, "SAVE_FILE_DIR", "SAVE_FILE_DIR"},
    {Setting::OpenFileDir, "OPEN_FILE_DIR", "OPEN_FILE_DIR"},
    {Setting::RecordGroup, "RECORD_GROUP", "GROUP"},
    {Setting::RecordInterface, "RECORD_INTERFACE", "INTERFACE"},
    {Setting::PlayTtl, "PLAY_TTL", "TTL"},
    {Setting::PlayInterface, "PLAY_INTERFACE", "INTERFACE"},
    {Setting::RecordedTiming, "RECORDED_TIMING", "RECORDED_TIMING"},
    {Setting::PlayContinueNumbers, "PLAY_CONTINUE_NUMBERS", "CONTINUE_NUMBERS"},
};
constexpr Setting firstOptional = Setting::RecordGroup;

// The order in which a tag name is compared when reading.
constexpr Setting matchOrder[SettingCount] = {
    Setting::PlayHost1,           Setting::PlayHost2,   Setting::RecordPort,    Setting::PlayPort1,
    Setting::PlayPort2,           Setting::Frequency,   Setting::Active,        Setting::Loop,
    Setting::Timestamp,           Setting::SaveFileDir, Setting::OpenFileDir,   Setting::RecordGroup,
    Setting::RecordInterface,     Setting::PlayTtl,     Setting::PlayInterface, Setting::RecordedTiming,
    Setting::PlayContinueNumbers,
};

const char rootName[] = "OSTREL_RECORDER";

const char *const loadTemplates[] = {
    "",
    QT_TRANSLATE_NOOP("Ostrel_recorder", "Files not found :\n%1"),
    QT_TRANSLATE_NOOP("Ostrel_recorder", "File %1 cannot be opened for reading."),
    QT_TRANSLATE_NOOP("Ostrel_recorder", "Error while parsing %1 (Line %2, Column %3) :\n%4."),
    QT_TRANSLATE_NOOP("Ostrel_recorder",
                      "Error while parsing %1 :\nThe file doesn't look like a valid settings file."),
};

const char *const writeTemplates[] = {
    "",
    QT_TRANSLATE_NOOP("Ostrel_recorder", "Directory %1 doesn't exist and cannot be created."),
    QT_TRANSLATE_NOOP("Ostrel_recorder", "File %1 cannot be opened for writing."),
};

const TableRow &row(Setting setting)
{
    return table[int(setting)];
}

bool isXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// A value with a character XML 1.0 cannot carry, even as a reference, would make the whole file
// unreadable at the next start; such characters are dropped instead. A lone surrogate is one of them: the
// UTF-8 writer would turn it into U+FFFD.
QString xmlSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        if (ch.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += ch;
            out += text.at(++i);
        } else if (!ch.isSurrogate() && isXmlChar(ch.unicode())) {
            out += ch;
        }
    }
    return out;
}

// The DOM builder slows down quadratically with the nesting depth (about two minutes for 100000 levels),
// so the depth is checked first with the streaming reader, which is linear. Malformed input is left to
// the DOM parser so its message, line and column are reported.
bool nestedTooDeeply(const QByteArray &data)
{
    QXmlStreamReader reader(data);
    reader.setNamespaceProcessing(false);
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > MaxNestingDepth)
                return true;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    return false;
}

std::optional<Setting> settingForTag(const QString &tagName)
{
    for (Setting setting : matchOrder)
        if (tagName == QLatin1String(elementName(setting)))
            return setting;
    return std::nullopt;
}

// The setting one child element of the root sets, and its new text.
std::optional<std::pair<Setting, QString>> readElement(const QDomElement &element)
{
    if (element.isNull())
        return std::nullopt;
    const std::optional<Setting> setting = settingForTag(element.tagName());
    if (!setting)
        return std::nullopt;
    const QString attribute = QLatin1String(attributeName(*setting));
    const bool directory = *setting == Setting::SaveFileDir || *setting == Setting::OpenFileDir;
    if (directory && !element.hasAttribute(attribute))
        return std::nullopt;
    return std::make_pair(*setting, element.attribute(attribute));
}

} // namespace

const char *elementName(Setting setting)
{
    return row(setting).element;
}

const char *attributeName(Setting setting)
{
    return row(setting).attribute;
}

SettingsTexts defaultTexts()
{
    SettingsTexts texts;
    texts.text(Setting::RecordPort) = "5000";
    texts.text(Setting::PlayHost1) = texts.text(Setting::PlayHost2) = "localhost";
    texts.text(Setting::PlayPort1) = texts.text(Setting::PlayPort2) = "5001";
    texts.text(Setting::Active) = "false";
    texts.text(Setting::Frequency) = "4";
    texts.text(Setting::Loop) = "true";
    texts.text(Setting::Timestamp) = "true";
    texts.text(Setting::PlayTtl) = "1";
    texts.text(Setting::RecordedTiming) = "false";
    texts.text(Setting::PlayContinueNumbers) = "false";
    return texts;
}

quint16 portFromText(const QString &text)
{
    bool ok = false;
    const quint16 port = text.toUShort(&ok, 10);
    return ok ? port : 0;
}

bool flagFromText(const QString &text)
{
    return text != QLatin1String("false");
}

float frequencyFromText(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? float(value) : 0.0f;
}

quint32 hostFromText(const QString &text, HostResolver resolve)
{
    if (!resolve)
        return 0;
    const QByteArray host = text.toLatin1();
    return resolve(host.constData());
}

std::optional<quint32> groupFromText(const QString &text)
{
    if (text.isEmpty())
        return 0u;
    unsigned int address = 0;
    if (ap_ip_dotted(text.toLatin1().constData(), &address) != 1 || !ap_ip_is_multicast(address))
        return std::nullopt;
    return address;
}

std::optional<int> ttlFromText(const QString &text)
{
    bool ok = false;
    const uint ttl = text.toUInt(&ok, 10);
    if (!ok || ttl > 255)
        return std::nullopt;
    return int(ttl);
}

WorkingValues workingValues(const SettingsTexts &texts, HostResolver resolve)
{
    WorkingValues v;
    v.port_record = portFromText(texts.text(Setting::RecordPort));
    v.ip_play_1 = hostFromText(texts.text(Setting::PlayHost1), resolve);
    v.port_play_1 = portFromText(texts.text(Setting::PlayPort1));
    v.ip_play_2 = hostFromText(texts.text(Setting::PlayHost2), resolve);
    v.port_play_2 = portFromText(texts.text(Setting::PlayPort2));
    v.active = flagFromText(texts.text(Setting::Active));
    v.frequency_play_1 = frequencyFromText(texts.text(Setting::Frequency));
    v.loop = flagFromText(texts.text(Setting::Loop));
    v.timestamp = flagFromText(texts.text(Setting::Timestamp));
    v.play_ttl = ttlFromText(texts.text(Setting::PlayTtl)).value_or(1);
    v.recorded_timing = flagFromText(texts.text(Setting::RecordedTiming));
    v.continue_numbers = flagFromText(texts.text(Setting::PlayContinueNumbers));
    return v;
}

LoadResult load(const QString &primaryPath, const QString &fallbackPath, SettingsTexts &texts)
{
    LoadResult result;
    result.path = primaryPath;
    if (!QFile::exists(result.path)) {
        result.path = fallbackPath;
        if (!QFile::exists(result.path)) {
            result.error = LoadError::NotFound;
            return result;
        }
    }

    // A FIFO would block the open, a device could be read forever.
    QFile file(result.path);
    if (!QFileInfo(result.path).isFile() || !file.open(QIODevice::ReadOnly)) {
        result.error = LoadError::OpenFailed;
        return result;
    }
    const QByteArray data = file.read(MaxFileSize + 1);
    file.close();
    if (data.size() > MaxFileSize || nestedTooDeeply(data)) {
        result.error = LoadError::WrongRoot;
        return result;
    }

    // Namespace processing stays off: the names are plain upper-case tags.
    QDomDocument doc;
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    const QDomDocument::ParseResult parsed = doc.setContent(data, QDomDocument::ParseOption::Default);
    if (!parsed) {
        result.error = LoadError::ParseError;
        result.line = int(parsed.errorLine);
        result.column = int(parsed.errorColumn);
        result.message = parsed.errorMessage;
        return result;
    }
#else
    if (!doc.setContent(data, false, &result.message, &result.line, &result.column)) {
        result.error = LoadError::ParseError;
        return result;
    }
#endif

    const QDomElement root = doc.documentElement();
    if (root.tagName() != QLatin1String(rootName)) {
        result.error = LoadError::WrongRoot;
        return result;
    }
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling())
        if (const auto value = readElement(node.toElement()))
            texts.text(value->first) = value->second;
    return result;
}

const char *loadErrorTemplate(LoadError error)
{
    return loadTemplates[int(error)];
}

QString formatLoadError(const LoadResult &result, const QString &messageTemplate)
{
    if (result.error == LoadError::ParseError) {
        // The template ends the sentence itself; Qt's parser messages already carry a full stop.
        QString message = result.message;
        if (message.endsWith(QLatin1Char('.')))
            message.chop(1);
        return messageTemplate.arg(result.path, QString::number(result.line), QString::number(result.column),
                                   message);
    }
    if (result.error == LoadError::None)
        return QString();
    return messageTemplate.arg(result.path);
}

QString loadErrorMessage(const LoadResult &result)
{
    return formatLoadError(result, QString::fromLatin1(loadErrorTemplate(result.error)));
}

QString settingsDirectory(const QString &configDir)
{
    return configDir + QLatin1String("/config");
}

QString settingsPath(const QString &configDir)
{
    return settingsDirectory(configDir) + QLatin1String("/current-settings.xml");
}

QByteArray serialise(const SettingsTexts &texts)
{
    QDomDocument doc;
    QDomElement root = doc.createElement(QLatin1String(rootName));
    doc.appendChild(root);
    const SettingsTexts defaults = defaultTexts();
    for (const TableRow &r : table) {
        if (r.setting >= firstOptional && texts.text(r.setting) == defaults.text(r.setting))
            continue;
        QDomElement element = doc.createElement(QLatin1String(r.element));
        element.setAttribute(QLatin1String(r.attribute), xmlSafe(texts.text(r.setting)));
        root.appendChild(element);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QTextStream stream(&buffer); // UTF-8 by default
    doc.save(stream, 4);
    stream.flush();
    return bytes;
}

WriteResult write(const QString &configDir, const SettingsTexts &texts)
{
    WriteResult result;
    const QString directory = settingsDirectory(configDir);
    if (!QFileInfo(directory).isDir() && !QDir().mkpath(directory)) {
        result.error = WriteError::DirectoryFailed;
        result.path = directory;
        return result;
    }

    result.path = settingsPath(configDir);
    const QByteArray bytes = serialise(texts);
    QSaveFile file(result.path);
    // Unbuffered: a buffered QFileDevice loses a short write (disk full, file size limit) while flushing
    // and the save file would then be committed truncated.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size() ||
        !file.commit()) {
        file.cancelWriting();
        result.error = WriteError::OpenForWriteFailed;
        return result;
    }
    return result;
}

const char *writeErrorTemplate(WriteError error)
{
    return writeTemplates[int(error)];
}

QString formatWriteError(const WriteResult &result, const QString &messageTemplate)
{
    if (result.error == WriteError::None)
        return QString();
    return messageTemplate.arg(result.path);
}

QString writeErrorMessage(const WriteResult &result)
{
    return formatWriteError(result, QString::fromLatin1(writeErrorTemplate(result.error)));
}

} // namespace SettingsFile
