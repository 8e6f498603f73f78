#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

// Names one attached printer by its position on the USB bus. The bus number is
// the low byte and the device address the high byte of the 16-bit value that
// keys every per-printer table, here and in the desktop program.
struct TrelDeviceAddress
{
    uint8_t bus = 0;
    uint8_t address = 0;

    constexpr TrelDeviceAddress() = default;
    constexpr TrelDeviceAddress(uint8_t busNumber, uint8_t deviceAddress)
        : bus(busNumber), address(deviceAddress)
    {}

    constexpr uint16_t value() const
    {
        return static_cast<uint16_t>(bus | (static_cast<unsigned>(address) << 8));
    }
    static constexpr TrelDeviceAddress from_value(uint16_t v)
    {
        return TrelDeviceAddress(static_cast<uint8_t>(v & 0xff), static_cast<uint8_t>(v >> 8));
    }

    // "bus:address" in decimal, the form every log line uses.
    std::string to_string() const { return std::to_string(bus) + ":" + std::to_string(address); }
};

constexpr bool operator==(TrelDeviceAddress a, TrelDeviceAddress b)
{
    return a.bus == b.bus && a.address == b.address;
}
constexpr bool operator!=(TrelDeviceAddress a, TrelDeviceAddress b)
{
    return !(a == b);
}

inline std::ostream& operator<<(std::ostream& os, TrelDeviceAddress a)
{
    return os << static_cast<unsigned>(a.bus) << ':' << static_cast<unsigned>(a.address);
}

template <>
struct std::hash<TrelDeviceAddress>
{
    size_t operator()(TrelDeviceAddress a) const noexcept { return a.value(); }
};
