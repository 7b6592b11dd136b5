#pragma once

// A reader and writer of Windows private-profile (INI) files, with the rules
// GetPrivateProfileString and WritePrivateProfileString follow:
//  - section and key names match case-insensitively, blanks around names and values are trimmed;
//  - a header is "[" as the first non-blank character, its name ending at the first "]";
//  - ";" as the first non-blank character makes a comment; a line without "=" is not a key;
//  - the first occurrence of a section, and of a key inside it, wins;
//  - one outer pair of matching quotes is removed from a value of two or more characters.
// Files are UTF-8 (with or without a byte-order mark) or UTF-16LE with its byte-order mark,
// with CRLF, LF or CR line endings. A write keeps every byte it does not have to change.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

namespace profile {

// The core works on a file's bytes and never touches the disk.

// The value of `key` in the first `section`, or nothing when the file, section or key is missing.
std::optional<QString> readValue(QByteArrayView file, QStringView section, QStringView key);

// The file's bytes after `key` in `section` is set to `value`, or nothing when the names or the
// value cannot be written without changing the file's structure (a line break in any of them,
// "]" in the section name, "=" in the key, or an empty name) or are not valid UTF-16.
std::optional<QByteArray> writeValue(QByteArrayView file, QStringView section, QStringView key,
                                     QStringView value);

// The thin file layer. A file that is missing, unreadable or not a regular file reads as empty.
// `bufferChars` is the size of the caller's buffer, terminator included: at most
// bufferChars - 1 UTF-16 code units are returned.
QString GetPrivateProfileString(QStringView section, QStringView key, qsizetype bufferChars,
                                const QString& filePath);

// Creates the file, section or key as needed. The new contents are written to a temporary file
// beside the old one and renamed over it, so a crash or a full disk never leaves half a file.
bool WritePrivateProfileString(QStringView section, QStringView key, QStringView value,
                               const QString& filePath);

} // namespace profile
