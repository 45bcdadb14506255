// SPDX-License-Identifier: MIT
#include "unicodeframe.h"

#include <string>

namespace {

const char *checkName(OverflowError::Check check)
{
    switch (check) {
    case OverflowError::Check::Length:
        return "length";
    case OverflowError::Check::Size:
        return "frame size";
    case OverflowError::Check::Counter:
        return "fill counter";
    }
    return "?";
}

// Converts into a byte-wide quantity, refusing anything outside 0..255.
quint8 toByte(int value, OverflowError::Check check, int codeUnits)
{
    if (value < 0 || value > 255)
        throw OverflowError(check, codeUnits);
    return static_cast<quint8>(value);
}

} // namespace

OverflowError::OverflowError(Check check, int codeUnits)
    : std::overflow_error(std::string("byte-wide overflow at the ") + checkName(check) + " check, " +
                          std::to_string(codeUnits) + " code units"),
      m_check(check), m_codeUnits(codeUnits)
{
}

QByteArray BuildUnicodeFrame(const QString &text)
{
    const int length = static_cast<int>(text.size());
    toByte(length, OverflowError::Check::Length, length);
    const quint8 last = toByte(2 * length - 1, OverflowError::Check::Size, length);

    QByteArray frame(last + 1, '\0');
    const QChar *units = text.constData();
    // The counter is byte-wide too: with 128 code units the frame (indexes 0..255) fills completely,
    // but the step after index 254 would reach 256, so that text is refused as well.
    for (quint8 i = 0; i <= last;) {
        const char16_t unit = units[i / 2].unicode();
        frame[i] = static_cast<char>(unit >> 8);
        frame[i + 1] = static_cast<char>(unit & 0xFF);
        i = toByte(i + 2, OverflowError::Check::Counter, length);
    }
    return frame;
}

QString FormatMonitorDump(const QByteArray &frame)
{
    static constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
    QString dump(3 * frame.size(), u' ');
    QChar *out = dump.data();
    for (const char byte : frame) {
        const auto value = static_cast<quint8>(byte);
        out[0] = kHexDigits[value >> 4];
        out[1] = kHexDigits[value & 0x0F];
        out += 3;
    }
    return dump;
}

QString LineBreaksToCrLf(const QString &rawText)
{
    QString text;
    text.reserve(rawText.size() + rawText.size() / 8);
    for (qsizetype i = 0; i < rawText.size(); ++i) {
        const QChar unit = rawText.at(i);
        if (unit == u'\r' && i + 1 < rawText.size() && rawText.at(i + 1) == u'\n')
            continue; // already CR LF: the LF below writes the pair once
        if (unit == QChar::ParagraphSeparator || unit == QChar::LineSeparator || unit == u'\n')
            text += u"\r\n";
        else
            text += unit;
    }
    return text;
}
