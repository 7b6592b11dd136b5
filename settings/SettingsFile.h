#pragma once

#include <QString>

// Typed access to one key of an INI settings file. Every call names the file, the section and
// the key again; nothing is cached. The readers see the value through a fixed buffer, exactly
// as the program always has: GetBoolConfig looks at the first character only ("10" is true,
// "01" and "true" are false) and GetIntConfig at the first nine.
class CSettingsFile
{
public:
    // Up to 39 characters. An empty or missing value shows "GetCStringConfig ERROR!" and
    // returns "ERROR".
    QString GetCStringConfig(const QString& file, const QString& section, const QString& key) const;
    bool GetBoolConfig(const QString& file, const QString& section, const QString& key) const;
    int GetIntConfig(const QString& file, const QString& section, const QString& key) const;

    bool SetBoolConfig(const QString& file, const QString& section, const QString& key,
                       bool value) const;
    bool SetIntConfig(const QString& file, const QString& section, const QString& key,
                      int value) const;
    bool SetCStringConfig(const QString& file, const QString& section, const QString& key,
                          const QString& value) const;
};

// The C library's atoi on UTF-16 text: leading blanks, an optional sign, then decimal digits up to
// the first non-digit; no digits gives 0.
int DecimalPrefix(QStringView text);
