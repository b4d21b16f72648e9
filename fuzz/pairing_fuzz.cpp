// The pairing-text transformation never writes outside its three buffers,
// and for an instance ID that fits it gives the texts its rules describe.
#include "devices/device_common.h"
#include "devices/pairing.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The outcome stated per component: C1\C2\C3...
void Expected(const std::string &id, std::string &pairing, std::string &usbKey) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= id.size(); ++i)
        if (i == id.size() || id[i] == '\\') {
            parts.push_back(id.substr(start, i - start));
            start = i + 1;
        }
    std::string tail;
    size_t c2 = parts.size() > 1 ? parts[0].size() + 1 : std::string::npos;
    if (parts.size() > 1 && parts[1].find('&') != std::string::npos) {
        tail = id.substr(c2);
    } else if (parts.size() > 2 && parts[2].find('&') != std::string::npos) {
        size_t c3 = c2 + parts[1].size() + 1;
        tail = id.substr(c3 + parts[2].find('&') + 1);
    }
    pairing = usbKey = tail;
    for (char &c : pairing)
        if (c == '\\') c = '&';
    bool first = true;
    for (char &c : usbKey)
        if (c == '&') {
            if (!first) c = '\\';
            first = false;
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    // Exactly kTextBufferSize bytes each, so ASan sees any write beyond them.
    std::vector<char> id(kTextBufferSize, 0), pairing(kTextBufferSize, 0),
        usbKey(kTextBufferSize, 0);
    std::memcpy(id.data(), data, size < kTextBufferSize ? size : kTextBufferSize);
    std::string original(id.data(), strnlen(id.data(), kTextBufferSize));
    PairingState state;
    TransformInstanceId(id.data(), pairing.data(), usbKey.data(), state);
    // A second pass, as for a device that matches two key-list entries.
    TransformInstanceId(id.data(), pairing.data(), usbKey.data(), state);

    if (original.size() <= 200 && size <= 200 && original.size() == size) {
        PairingState once;
        std::vector<char> id1(kTextBufferSize, 0), p1(kTextBufferSize, 0), u1(kTextBufferSize, 0);
        std::memcpy(id1.data(), original.data(), original.size());
        TransformInstanceId(id1.data(), p1.data(), u1.data(), once);
        std::string pairingText, usbText, idText = original;
        Expected(original, pairingText, usbText);
        for (char &c : idText)
            if (c == '\\') c = '&';
        if (std::string(id1.data()) != idText + "00") std::abort();
        if (std::string(p1.data()) != pairingText) std::abort();
        if (std::string(u1.data()) != usbText) std::abort();
    }
    return 0;
}
