#pragma once
// Dotted-decimal text of an IPv4 address or mask held with its first octet in the most significant byte.

#include <QString>

#include <cstdint>

QString LongToIP(std::uint32_t value);
