// The private-profile reader and writer on any file. Whatever the file holds, a value that was
// written must read back as written (trimmed of blanks and of one pair of outer quotes, as every
// value is read).
#include "PrivateProfile.h"

#include <cstdlib>

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QString asRead(QString value)
{
    while (!value.isEmpty() && isBlank(value.front()))
        value.remove(0, 1);
    while (!value.isEmpty() && isBlank(value.back()))
        value.chop(1);
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == u'"' || value.front() == u'\''))
        value = value.sliced(1, value.size() - 2);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView file(reinterpret_cast<const char*>(data), qsizetype(size));
    // The first bytes choose the names and the value; the whole input is the file.
    const QString words = QString::fromUtf8(file.first(std::min<qsizetype>(file.size(), 24)));
    const QString section = words.left(4);
    const QString key = words.mid(4, 4);
    const QString value = words.mid(8);

    (void)profile::readValue(file, section, key);
    const std::optional<QByteArray> written = profile::writeValue(file, section, key, value);
    if (!written)
        return 0;
    const std::optional<QString> read = profile::readValue(*written, section, key);
    if (!read || *read != asRead(value))
        std::abort();
    return 0;
}
