#include "SettingsFile.h"

#include "PrivateProfile.h"

#include <QApplication>
#include <QMessageBox>

namespace {

constexpr qsizetype kStringBuffer = 40;
constexpr qsizetype kBoolBuffer = 2;
constexpr qsizetype kIntBuffer = 10;

// The framework's application-wide message box: captioned with the application's name and owned
// by whichever of its windows is active.
void ShowApplicationMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

} // namespace

int DecimalPrefix(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > 0x80000000LL)
            value = 0x80000000LL; // saturate instead of overflowing on a long digit run
    }
    if (negative)
        value = -value;
    return int(std::clamp(value, -0x80000000LL, 0x7FFFFFFFLL));
}

QString CSettingsFile::GetCStringConfig(const QString& file, const QString& section,
                                        const QString& key) const
{
    QString value = profile::GetPrivateProfileString(section, key, kStringBuffer, file);
    if (value.isEmpty()) {
        ShowApplicationMessage(QStringLiteral("GetCStringConfig ERROR!"));
        return QStringLiteral("ERROR");
    }
    return value;
}

bool CSettingsFile::GetBoolConfig(const QString& file, const QString& section,
                                  const QString& key) const
{
    return DecimalPrefix(profile::GetPrivateProfileString(section, key, kBoolBuffer, file)) != 0;
}

int CSettingsFile::GetIntConfig(const QString& file, const QString& section,
                                const QString& key) const
{
    return DecimalPrefix(profile::GetPrivateProfileString(section, key, kIntBuffer, file));
}

bool CSettingsFile::SetBoolConfig(const QString& file, const QString& section, const QString& key,
                                  bool value) const
{
    return profile::WritePrivateProfileString(section, key, value ? u"1" : u"0", file);
}

bool CSettingsFile::SetIntConfig(const QString& file, const QString& section, const QString& key,
                                 int value) const
{
    return profile::WritePrivateProfileString(section, key, QString::number(value), file);
}

bool CSettingsFile::SetCStringConfig(const QString& file, const QString& section,
                                     const QString& key, const QString& value) const
{
    return profile::WritePrivateProfileString(section, key, value, file);
}
