// SPDX-License-Identifier: MIT
#pragma once

// The core speaks std::u16string and byte vectors; the tests build their tables with Qt's types.

#include "portfailure.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline QByteArray toQt(const std::vector<std::uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// Unit for unit: QString::fromStdU16String() would take a leading U+FEFF for a byte-order mark and
// drop it, and here it is text like any other.
inline QString toQt(const std::u16string &text)
{
    return QString(reinterpret_cast<const QChar *>(text.data()), static_cast<qsizetype>(text.size()));
}

inline std::vector<std::uint8_t> toBytes(const QByteArray &bytes)
{
    return {bytes.begin(), bytes.end()};
}

inline std::u16string toStd(const QString &text)
{
    return text.toStdU16String();
}

// Why a port operation failed, or nothing where it did not: what a test of the channel asserts.
inline std::optional<PortFailure::Reason> reasonOf(const std::optional<PortFailure> &failure)
{
    return failure ? std::optional(failure->reason) : std::nullopt;
}
