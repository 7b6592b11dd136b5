#pragma once

// Names for the cases of parameterised suites: GoogleTest allows letters, digits and '_' only,
// and without a name of its own a case is called by its index or a dump of its bytes.

#include <QString>
#include <cctype>
#include <string>
#include <string_view>

// `text` as a case name: letters and digits kept, the usual punctuation spelt out, anything else
// by its code; "empty" for nothing.
inline std::string CaseName(std::string_view text)
{
    std::string name;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0) {
            name += c;
            continue;
        }
        switch (c) {
        case ' ':
            name += "_space_";
            break;
        case '"':
            name += "_quote_";
            break;
        case '-':
            name += "minus";
            break;
        case '+':
            name += "plus";
            break;
        case '.':
            name += "_dot_";
            break;
        case '=':
            name += "_is_";
            break;
        case '\n':
            name += "_";
            break;
        case '\r':
            name += "_cr";
            break;
        case '[':
        case ']':
            name += "_";
            break;
        default: {
            static const char digits[] = "0123456789ABCDEF";
            name += "_x";
            name += digits[u >> 4];
            name += digits[u & 15];
        }
        }
    }
    return name.empty() ? "empty" : name;
}

inline std::string CaseName(const char* text)
{
    return CaseName(std::string_view(text));
}

inline std::string CaseName(const QString& text)
{
    return CaseName(std::string_view(text.toStdString()));
}
