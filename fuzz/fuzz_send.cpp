// SPDX-License-Identifier: MIT
// libFuzzer target for the path from the input box to the wire: the Linux window's line breaks,
// frame, monitor dump.
// An input is read as little-endian byte pairs, one UTF-16 code unit each, so lone surrogates, NUL,
// both separators, CR and LF turn up as often as letters; a trailing odd byte is dropped.
#include "linebreaks.h"
#include "unicodeframe.h"

#include <QByteArray>
#include <QString>
#include <QStringEncoder>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// The module's limits written out here rather than taken from the header, so that a change there
// has to get past this target too.
constexpr qsizetype kLongest = 127;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_send: %s\n", what);
    std::abort();
}

void require(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

QString unitsFromBytes(const std::uint8_t *data, std::size_t size)
{
    QString units;
    units.reserve(static_cast<qsizetype>(size / 2));
    for (std::size_t i = 0; i + 1 < size; i += 2)
        units += QChar(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    return units;
}

// Looks at the pair first, unlike lineBreaksToCrLf, so that a slip in either shows as a difference.
QString expectedWireText(const QString &raw)
{
    QString wire;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char16_t unit = raw.at(i).unicode();
        if (unit == u'\r' && i + 1 < raw.size() && raw.at(i + 1) == u'\n') {
            wire += u"\r\n";
            ++i;
        } else if (unit == u'\n' || unit == u'\r' || unit == u'\u2028' || unit == u'\u2029') {
            wire += u"\r\n";
        } else {
            wire += QChar(unit);
        }
    }
    return wire;
}

bool isUpperHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

void checkFramed(const QString &wire)
{
    QByteArray frame;
    try {
        const UnicodeFrame built = BuildUnicodeFrame(wire.toStdU16String());
        frame =
            QByteArray(reinterpret_cast<const char *>(built.data()), static_cast<qsizetype>(built.size()));
    } catch (const std::exception &error) {
        std::fprintf(stderr, "fuzz_send: %lld code units refused: %s\n", static_cast<long long>(wire.size()),
                     error.what());
        std::abort();
    }

    QStringEncoder toUtf16Be(QStringEncoder::Utf16BE);
    const QByteArray expected = toUtf16Be(wire);
    require(frame.size() == 2 * wire.size(), "frame is not two bytes per code unit");
    require(frame == expected, "frame differs from the UTF-16BE encoding of the wire text");

    const QString dump =
        QString::fromStdU16String(FormatMonitorDump(UnicodeFrame(frame.begin(), frame.end())));
    require(dump.size() == 3 * frame.size(), "dump is not three characters per byte");
    for (qsizetype i = 0; i < dump.size(); ++i) {
        if (i % 3 == 2)
            require(dump.at(i) == u' ', "dump has no space after a byte");
        else
            require(isUpperHexDigit(dump.at(i)), "dump has a character that is no uppercase hex digit");
    }
    require(QByteArray::fromHex(dump.toLatin1()) == frame, "dump does not read back as the frame");
}

void checkRefused(const QString &wire)
{
    const qsizetype length = wire.size();
    try {
        (void)BuildUnicodeFrame(wire.toStdU16String());
    } catch (const OverflowError &error) {
        require(error.codeUnits() == static_cast<std::size_t>(length),
                "OverflowError reports another length");
        return;
    } catch (...) {
        fail("refused with something other than OverflowError");
    }
    fail("framed a text that is empty or longer than 127 code units");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString raw = unitsFromBytes(data, size);
    // Not QString::fromStdU16String(): it would drop a leading U+FEFF as a byte-order mark.
    const std::u16string converted = lineBreaksToCrLf(raw.toStdU16String());
    const QString wire(reinterpret_cast<const QChar *>(converted.data()),
                       static_cast<qsizetype>(converted.size()));
    require(wire == expectedWireText(raw), "wire text differs from the expected line-break conversion");

    if (wire.size() >= 1 && wire.size() <= kLongest)
        checkFramed(wire);
    else
        checkRefused(wire);
    return 0;
}
