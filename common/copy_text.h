// PostgreSQL's COPY text form of one value: a backslash, tab, newline and
// carriage return become "\\", "\t", "\n" and "\r", so that one line is one
// record.  Shared by the spool's writer and reader and by the library
// preloaded into make, which has no C++ runtime: plain functions on bytes.
#pragma once

#include <stddef.h>

namespace copy_text {

/// The letter that follows the backslash in the escape of `c`, or 0 when `c` stands as it is.
constexpr char escape_letter(char c)
{
    return c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : 0;
}

/// The byte that the escape "\" `letter` stands for (a letter never written stands for itself).
constexpr char unescaped(char letter)
{
    return letter == 't' ? '\t' : letter == 'n' ? '\n' : letter == 'r' ? '\r' : letter;
}

/// Writes the escaped form of the NUL-terminated `text` at `out`, which has
/// room for twice its length; returns the end of what was written.
inline char *escape(char *out, const char *text)
{
    for (; *text != '\0'; ++text) {
        if (const char letter = escape_letter(*text)) {
            *out++ = '\\';
            *out++ = letter;
        } else {
            *out++ = *text;
        }
    }
    return out;
}

} // namespace copy_text
