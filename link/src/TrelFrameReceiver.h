#pragma once
// Not part of libtrel's public face: TrelTransport's receive side.

#include <trel/TrelDeviceAddress.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>

// Reassembles the command channel's frames, per printer:
//   '$' L(le16) ~L(le16) payload ';'      (L = payload length + 1)
// A byte that breaks the frame sends that printer back to hunting for '$',
// and that byte is looked at again. Not locked: TrelTransport calls it only
// on the receive path and from the USB notices, which all run with the
// command channel's client lock held.
class TrelFrameReceiver
{
public:
    static constexpr unsigned char FRAME_START = '$';
    static constexpr unsigned char FRAME_END = ';';

    // Feeds one received chunk of `address`; calls deliver(payload, length)
    // for every frame it completes, after the printer's state is reset (so
    // that whatever deliver does, the next byte starts from a clean state).
    // The payload is valid during the call only.
    template <typename Deliver>
    void receive(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                 Deliver&& deliver);

    // Forgets a printer's partial frame: a frame cut short by a pull must not
    // swallow the first frames of the printer plugged in next at its address.
    void forget(TrelDeviceAddress address) { states.erase(address); }

private:
    struct State
    {
        enum : int { HUNT = 0, HEADER = 1, CHECK = 2, PAYLOAD = 3, TRAILER = 4, ERROR = 5 };
        int state = HUNT;
        int header_count = 0;
        uint16_t remaining = 0;
        std::unique_ptr<unsigned char[]> buffer;
        uint16_t length = 0;
        uint16_t length_check = 0;
    };

    std::unordered_map<TrelDeviceAddress, State> states;
};

template <typename Deliver>
void TrelFrameReceiver::receive(const unsigned char* data, unsigned int length,
                                TrelDeviceAddress address, Deliver&& deliver)
{
    State& rx = states[address];
    unsigned int p = 0;
    while (p < length) {
        switch (rx.state) {
        case State::HUNT:
            if (data[p] == FRAME_START)
                rx.state = State::HEADER;
            ++p;
            break;
        case State::HEADER: {
            const int n = rx.header_count++;
            if (n < 2)
                rx.length = static_cast<uint16_t>(rx.length | (data[p] << (8 * n)));
            else
                rx.length_check =
                    static_cast<uint16_t>(rx.length_check | (data[p] << (8 * (n - 2))));
            ++p;
            if (rx.header_count == 4)
                rx.state = State::CHECK;
            break;
        }
        case State::CHECK:
            if ((rx.length ^ rx.length_check) == 0xffff) {
                rx.length = static_cast<uint16_t>(rx.length - 1);
                rx.remaining = rx.length;
                rx.buffer.reset(new unsigned char[rx.length ? rx.length : 1]);
                rx.state = State::PAYLOAD;
            } else {
                rx.state = State::ERROR;
            }
            break;
        case State::PAYLOAD: {
            const unsigned int n = std::min<unsigned int>(rx.remaining, length - p);
            std::memcpy(rx.buffer.get() + (rx.length - rx.remaining), data + p, n);
            rx.remaining = static_cast<uint16_t>(rx.remaining - n);
            p += n;
            if (rx.remaining == 0)
                rx.state = State::TRAILER;
            break;
        }
        case State::TRAILER:
            if (data[p] == FRAME_END) {
                std::unique_ptr<unsigned char[]> payload = std::move(rx.buffer);
                const uint16_t payloadLength = rx.length;
                rx = State();
                ++p;
                deliver(payload.get(), payloadLength);
            } else {
                rx.state = State::ERROR;
            }
            break;
        default: // ERROR: the byte at p is looked at again while hunting
            rx = State();
            break;
        }
    }
}
