#include "devices/pairing.h"

#include "devices/device_common.h"

namespace {

void Put(char *buffer, size_t position, char c) {
    if (position < kTextBufferSize) buffer[position] = c;
}

// One character into P and U at the output position.
void Copy(char c, char *pairing, char *usbKey, PairingState &s) {
    Put(pairing, s.out, c == '\\' ? '&' : c);
    char u = c;
    if (c == '&') {
        if (s.ampersandKept)
            u = '\\';
        else
            s.ampersandKept = true;
    }
    Put(usbKey, s.out, u);
    ++s.out;
}

} // namespace

void TransformInstanceId(char *id, char *pairing, char *usbKey, PairingState &s) {
    for (size_t p = 0; p < kTextBufferSize; ++p) {
        char c = id[p];
        if (s.copying) {
            Copy(c, pairing, usbKey, s); // the terminator too, which ends P and U
        } else if (c == '&' && s.backslashes == 2) {
            s.segmentStart = p + 1; // copying starts after this '&'
            s.copying = true;
        } else if (c == '&' && s.backslashes == 1) {
            s.copying = true; // the whole second component so far, this '&' included
            for (size_t q = s.segmentStart; q <= p; ++q)
                Copy(id[q], pairing, usbKey, s);
        }
        if (c == '\\') {
            id[p] = '&';
            s.segmentStart = p + 1;
            ++s.backslashes;
        }
        if (c == '\0') {
            if (p + 2 < kTextBufferSize) {
                id[p] = '0';
                id[p + 1] = '0';
                id[p + 2] = '\0';
            }
            return;
        }
    }
}
