#include "PrivateProfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <algorithm>
#include <string>
#include <string_view>

namespace profile {
namespace {

// A settings file larger than this is not a settings file; reading it would only cost memory.
constexpr qint64 kMaxFileBytes = qint64(64) * 1024 * 1024;

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr char kUtf16LeBom[] = "\xFF\xFE";

enum class Encoding
{
    Utf8,
    Utf16Le
};

// How a file's bytes split into a byte-order mark, a body in code units, and (UTF-16 only) an odd
// trailing byte that cannot be a code unit and is carried through writes untouched.
struct Split
{
    Encoding encoding = Encoding::Utf8;
    QByteArrayView bom;
    QByteArrayView body;
    QByteArrayView tail;
};

Split splitFile(QByteArrayView file)
{
    if (file.startsWith(QByteArrayView(kUtf16LeBom, 2))) {
        const QByteArrayView body = file.sliced(2);
        const qsizetype even = body.size() & ~qsizetype(1);
        return {Encoding::Utf16Le, file.first(2), body.first(even), body.sliced(even)};
    }
    if (file.startsWith(QByteArrayView(kUtf8Bom, 3)))
        return {Encoding::Utf8, file.first(3), file.sliced(3), {}};
    return {Encoding::Utf8, {}, file, {}};
}

template <class Ch> bool isBlank(Ch c)
{
    return c == Ch(' ') || c == Ch('\t');
}
template <class Ch> bool isEol(Ch c)
{
    return c == Ch('\r') || c == Ch('\n');
}

template <class Ch> QString toQString(std::basic_string_view<Ch> s)
{
    if constexpr (std::is_same_v<Ch, char>) {
        // QString::fromUtf8 would drop a U+FEFF at the start of a name or value; only the one
        // at the start of the file is a byte-order mark.
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
        return decoder(QByteArrayView(s.data(), qsizetype(s.size())));
    } else
        return QString(reinterpret_cast<const QChar*>(s.data()), qsizetype(s.size()));
}

template <class Ch> std::basic_string<Ch> fromQString(QStringView s)
{
    if constexpr (std::is_same_v<Ch, char>) {
        const QByteArray utf8 = s.toUtf8();
        return {utf8.constData(), size_t(utf8.size())};
    } else {
        return {reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size())};
    }
}

QStringView trimmed(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && isBlank(s[b].unicode()))
        ++b;
    while (e > b && isBlank(s[e - 1].unicode()))
        --e;
    return s.sliced(b, e - b);
}

// A section or key name to look for. Names in files are nearly always ASCII; those compare
// without decoding, which keeps a pass over a large file free of allocations.
class Name
{
public:
    explicit Name(QStringView name) : m_text(trimmed(name))
    {
        m_ascii =
            std::all_of(m_text.begin(), m_text.end(), [](QChar c) { return c.unicode() < 0x80; });
    }

    template <class Ch> bool matches(std::basic_string_view<Ch> raw) const
    {
        while (!raw.empty() && isBlank(raw.front()))
            raw.remove_prefix(1);
        while (!raw.empty() && isBlank(raw.back()))
            raw.remove_suffix(1);
        const bool rawAscii =
            std::all_of(raw.begin(), raw.end(), [](Ch c) { return uint(c) < 0x80; });
        if (m_ascii && rawAscii) {
            return raw.size() == size_t(m_text.size()) &&
                   std::equal(raw.begin(), raw.end(), m_text.begin(), [](Ch c, QChar q) {
                       return asciiLower(uint(c)) == asciiLower(q.unicode());
                   });
        }
        return toQString(raw).compare(m_text, Qt::CaseInsensitive) == 0;
    }

private:
    static uint asciiLower(uint c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

    QStringView m_text;
    bool m_ascii = false;
};

// What one pass over the file learns about a section and a key.
struct Location
{
    bool sectionFound = false;
    bool keyFound = false;
    size_t valueBegin = 0; // trimmed value, inside the key's line
    size_t valueEnd = 0;
    size_t insertAt = 0;         // where a new key line of the section goes
    bool insertNeedsEol = false; // the line before insertAt has no line break (end of file)
};

template <class Ch>
Location locate(std::basic_string_view<Ch> text, QStringView sectionName, QStringView keyName)
{
    const Name section(sectionName);
    const Name key(keyName);
    Location loc;
    bool inSection = false;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t begin = pos;
        while (pos < text.size() && !isEol(text[pos]))
            ++pos;
        const size_t end = pos;
        if (pos < text.size())
            pos += (text[pos] == Ch('\r') && pos + 1 < text.size() && text[pos + 1] == Ch('\n'))
                       ? 2
                       : 1;
        const size_t next = pos;

        size_t b = begin;
        while (b < end && isBlank(text[b]))
            ++b;
        if (b == end || text[b] == Ch(';'))
            continue;

        if (text[b] == Ch('[')) {
            const auto close = text.substr(b + 1, end - b - 1).find(Ch(']'));
            if (close != std::basic_string_view<Ch>::npos) {
                if (inSection)
                    break; // only the first occurrence of the section is searched
                inSection = section.matches(text.substr(b + 1, close));
                if (inSection) {
                    loc.sectionFound = true;
                    loc.insertAt = next;
                    loc.insertNeedsEol = next == end;
                }
                continue;
            }
        }
        if (!inSection)
            continue;

        const auto eq = text.substr(b, end - b).find(Ch('='));
        if (eq == std::basic_string_view<Ch>::npos)
            continue;
        loc.insertAt = next;
        loc.insertNeedsEol = next == end;

        size_t nameEnd = b + eq;
        while (nameEnd > b && isBlank(text[nameEnd - 1]))
            --nameEnd;
        if (!key.matches(text.substr(b, nameEnd - b)))
            continue;

        size_t vb = b + eq + 1;
        while (vb < end && isBlank(text[vb]))
            ++vb;
        size_t ve = end;
        while (ve > vb && isBlank(text[ve - 1]))
            --ve;
        loc.keyFound = true;
        loc.valueBegin = vb;
        loc.valueEnd = ve;
        break;
    }
    return loc;
}

template <class Ch> std::basic_string<Ch> lineBreakOf(std::basic_string_view<Ch> text)
{
    const auto at = std::find_if(text.begin(), text.end(), isEol<Ch>);
    if (at == text.end())
        return {Ch('\n')};
    if (*at == Ch('\r'))
        return (at + 1 != text.end() && at[1] == Ch('\n'))
                   ? std::basic_string<Ch>{Ch('\r'), Ch('\n')}
                   : std::basic_string<Ch>{Ch('\r')};
    return {Ch('\n')};
}

template <class Ch>
std::basic_string<Ch> edit(std::basic_string_view<Ch> text, QStringView section, QStringView key,
                           QStringView value)
{
    const Location loc = locate(text, section, key);
    const std::basic_string<Ch> eol = lineBreakOf(text);
    std::basic_string<Ch> out(text);
    if (loc.keyFound) {
        out.replace(loc.valueBegin, loc.valueEnd - loc.valueBegin, fromQString<Ch>(value));
        return out;
    }
    std::basic_string<Ch> keyLine = fromQString<Ch>(trimmed(key));
    keyLine += Ch('=');
    keyLine += fromQString<Ch>(value);
    if (loc.sectionFound) {
        out.insert(loc.insertAt, loc.insertNeedsEol ? eol + keyLine : keyLine + eol);
        return out;
    }
    if (!text.empty() && !isEol(text.back()))
        out += eol;
    out += Ch('[');
    out += fromQString<Ch>(trimmed(section));
    out += Ch(']');
    out += eol;
    out += keyLine;
    out += eol;
    return out;
}

std::u16string_view utf16View(QByteArrayView bytes, std::u16string& storage)
{
    // The body may not be aligned for char16_t; copying also fixes the byte order on big-endian
    // hosts.
    storage.resize(size_t(bytes.size() / 2));
    const auto* data = reinterpret_cast<const uchar*>(bytes.data());
    for (size_t i = 0; i < storage.size(); ++i)
        storage[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    return storage;
}

QByteArray utf16Bytes(const std::u16string& text)
{
    QByteArray out(qsizetype(text.size()) * 2, Qt::Uninitialized);
    char* data = out.data();
    for (size_t i = 0; i < text.size(); ++i) {
        data[2 * i] = char(text[i] & 0xFF);
        data[2 * i + 1] = char(text[i] >> 8);
    }
    return out;
}

template <class Ch>
std::optional<QString> valueAt(std::basic_string_view<Ch> text, QStringView section,
                               QStringView key)
{
    const Location loc = locate(text, section, key);
    if (!loc.keyFound)
        return std::nullopt;
    QString value = toQString(text.substr(loc.valueBegin, loc.valueEnd - loc.valueBegin));
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == u'"' || value.front() == u'\''))
        value = value.sliced(1, value.size() - 2);
    return value;
}

bool hasLineBreak(QStringView s)
{
    return s.contains(u'\r') || s.contains(u'\n');
}

std::optional<QByteArray> readFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QByteArray();
    // A FIFO or a device would block or never end; neither is a settings file.
    if (!info.isFile() || info.size() > kMaxFileBytes)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<QString> readValue(QByteArrayView file, QStringView section, QStringView key)
{
    const Split split = splitFile(file);
    if (split.encoding == Encoding::Utf16Le) {
        std::u16string storage;
        return valueAt(utf16View(split.body, storage), section, key);
    }
    return valueAt(std::string_view(split.body.data(), size_t(split.body.size())), section, key);
}

std::optional<QByteArray> writeValue(QByteArrayView file, QStringView section, QStringView key,
                                     QStringView value)
{
    const QStringView s = trimmed(section);
    const QStringView k = trimmed(key);
    if (s.isEmpty() || k.isEmpty() || hasLineBreak(s) || hasLineBreak(k) || hasLineBreak(value) ||
        s.contains(u']') || k.contains(u'=') || k.startsWith(u';') || k.startsWith(u'['))
        return std::nullopt;
    // A lone surrogate has no UTF-8 form: it would be written as something that never reads back.
    if (!s.isValidUtf16() || !k.isValidUtf16() || !value.isValidUtf16())
        return std::nullopt;

    const Split split = splitFile(file);
    QByteArray out = split.bom.toByteArray();
    if (split.encoding == Encoding::Utf16Le) {
        std::u16string storage;
        out += utf16Bytes(edit(utf16View(split.body, storage), s, k, value));
    } else {
        const std::string edited =
            edit(std::string_view(split.body.data(), size_t(split.body.size())), s, k, value);
        out += QByteArrayView(edited.data(), qsizetype(edited.size()));
    }
    out += split.tail;
    return out;
}

QString GetPrivateProfileString(QStringView section, QStringView key, qsizetype bufferChars,
                                const QString& filePath)
{
    if (bufferChars <= 1)
        return {};
    const std::optional<QByteArray> bytes = readFile(filePath);
    if (!bytes)
        return {};
    const std::optional<QString> value = readValue(*bytes, section, key);
    return value ? value->left(bufferChars - 1) : QString();
}

bool WritePrivateProfileString(QStringView section, QStringView key, QStringView value,
                               const QString& filePath)
{
    const std::optional<QByteArray> old = readFile(filePath);
    if (!old)
        return false; // never replace a file we could not read
    const std::optional<QByteArray> updated = writeValue(*old, section, key, value);
    if (!updated)
        return false;
    if (*updated == *old && QFileInfo::exists(filePath))
        return true;
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(*updated) != updated->size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace profile
