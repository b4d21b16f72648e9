#include "devices/device_common.h"
#include "devices/pairing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

struct Texts {
    std::string id, pairing, usbKey;
};

// The three buffers after `passes` passes over one device's instance ID.
Texts Transform(const std::string &instanceId, int passes = 1) {
    char id[kTextBufferSize] = {}, pairing[kTextBufferSize] = {}, usbKey[kTextBufferSize] = {};
    std::memcpy(id, instanceId.data(), std::min<size_t>(instanceId.size(), kTextBufferSize));
    PairingState state;
    for (int i = 0; i < passes; ++i)
        TransformInstanceId(id, pairing, usbKey, state);
    return {BufferText(id), BufferText(pairing), BufferText(usbKey)};
}

void Expect(const Texts &got, const Texts &want) {
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.pairing, want.pairing);
    EXPECT_EQ(got.usbKey, want.usbKey);
}

TEST(Pairing, TailOfTheSecondOrThirdComponent) {
    // The tail starts at C2 when C2 holds a '&'.
    Expect(Transform("USB\\VID_1234&PID_5678\\5&1A2B3C&0&1"),
           {"USB&VID_1234&PID_5678&5&1A2B3C&0&100", "VID_1234&PID_5678&5&1A2B3C&0&1",
            "VID_1234&PID_5678\\5\\1A2B3C\\0\\1"});
    Expect(Transform("USB\\VID_1234&PID_5678\\0001"),
           {"USB&VID_1234&PID_5678&000100", "VID_1234&PID_5678&0001", "VID_1234&PID_5678\\0001"});
    // Otherwise after the first '&' of C3: a disk's ID pairs with its controller's.
    Expect(Transform("XBUS\\DISK\\USB&VID_1234&PID_5678&0001"),
           {"XBUS&DISK&USB&VID_1234&PID_5678&000100", "VID_1234&PID_5678&0001",
            "VID_1234&PID_5678\\0001"});
    // Later components are copied whole, their backslashes kept in U only.
    Expect(Transform("A\\B\\C&D\\E&F"), {"A&B&C&D&E&F00", "D&E&F", "D\\E&F"});
    Expect(Transform("A\\B&C\\D\\E"), {"A&B&C&D&E00", "B&C&D&E", "B&C\\D\\E"});
}

TEST(Pairing, NoTailLeavesBothTextsEmpty) {
    Expect(Transform("ROOT\\DISK\\0000"), {"ROOT&DISK&000000", "", ""});
    // A '&' in the first component starts no tail.
    Expect(Transform("A&B\\DISK\\0000"), {"A&B&DISK&000000", "", ""});
    Expect(Transform("A&B"), {"A&B00", "", ""});
    Expect(Transform(""), {"00", "", ""});
}

TEST(Pairing, ASecondPassGoesOnFromTheFirst) {
    // Same P and U, the ID buffer with "00" appended once more.
    Expect(Transform("USB\\VID_1234&PID_5678\\5&1A2B3C&0&1", 2),
           {"USB&VID_1234&PID_5678&5&1A2B3C&0&10000", "VID_1234&PID_5678&5&1A2B3C&0&1",
            "VID_1234&PID_5678\\5\\1A2B3C\\0\\1"});
    // Without a tail the second pass finds the '&' that replaced the second
    // backslash and copies from there.
    Expect(Transform("ROOT\\DISK\\0000", 2), {"ROOT&DISK&00000000", "DISK&000000", "DISK&000000"});
}

TEST(Pairing, NothingIsWrittenBeyondTheBuffers) {
    const std::string head = "USB\\VID_1&PID_2\\";
    // 253 characters leave room for "00" and the terminator.
    Texts fits = Transform(head + std::string(237, 'x'));
    EXPECT_EQ(fits.id, "USB&VID_1&PID_2&" + std::string(237, 'x') + "00");
    EXPECT_EQ(fits.pairing, "VID_1&PID_2&" + std::string(237, 'x'));
    // 254 and 255 do not: the buffer keeps the transformed ID alone.
    EXPECT_EQ(Transform(head + std::string(238, 'x')).id,
              "USB&VID_1&PID_2&" + std::string(238, 'x'));
    EXPECT_EQ(Transform(head + std::string(239, 'x')).id,
              "USB&VID_1&PID_2&" + std::string(239, 'x'));
    // A second pass over a full buffer copies past the end of P and U and
    // finds no room for "00"; what was there stays.
    Texts twice = Transform(head + std::string(237, 'x'), 2);
    EXPECT_EQ(twice.id, fits.id);
    EXPECT_EQ(twice.pairing, fits.pairing);
    // A buffer filled to its last byte without a terminator.
    Texts full = Transform(head + std::string(240, '&'));
    EXPECT_EQ(full.id.size(), kTextBufferSize);
    EXPECT_EQ(full.pairing.size(), kTextBufferSize - 4);
}

} // namespace
