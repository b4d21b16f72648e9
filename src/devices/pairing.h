// The texts by which the inventory pairs a device with its disk and with
// its sibling records, all derived from the device's instance ID in one pass.
#pragma once

#include <cstddef>

// Carried from one pass over an ID buffer to the next. It is set up once per
// device: a device that matches two key-list entries is transformed twice,
// the second pass going on from where the first left off.
struct PairingState {
    bool copying = false;
    bool ampersandKept = false;
    int backslashes = 0;
    size_t segmentStart = 0;
    size_t out = 0;
};

// One pass over `id`, a zero-filled buffer of kTextBufferSize bytes holding
// an instance ID C1\C2\C3...:
// - in `id` every '\' becomes '&' and "00" is appended;
// - the copied tail T starts at C2 when C2 holds a '&', else one character
//   after the first '&' of C3; without either there is none;
// - `pairing` receives T with every '\' written as '&';
// - `usbKey` receives T with every '&' after its first written as '\'.
// Nothing is written outside the three buffers: "00" is appended only when
// it fits with its terminator, and copied characters beyond the end are lost.
void TransformInstanceId(char *id, char *pairing, char *usbKey, PairingState &state);
