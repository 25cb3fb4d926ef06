#pragma once

// One open handle on a scripted loopback gateway, and ways to make the
// gateway answer every request well or badly.

#include <gtest/gtest.h>

#include <vector>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"

namespace kestrix::test {

// How the gateway spoils a confirmation.
enum class Fault { Silent, BadChecksum, WrongCode };

inline const std::vector<Fault> kFaults = {Fault::Silent, Fault::BadChecksum, Fault::WrongCode};

inline int32_t ResultOf(Fault fault) {
    switch (fault) {
        case Fault::Silent:
            return RC_TIMEOUT;
        case Fault::BadChecksum:
            return RC_BAD_CHECKSUM;
        case Fault::WrongCode:
            return RC_NOT_CONFIRMED;
    }
    return RC_OK;
}

// The confirmation of `request` with `data`, spoiled by `fault`; empty when silent.
inline Bytes SpoiledConfirmation(Fault fault, const CKesMsg& request, const Bytes& data) {
    switch (fault) {
        case Fault::Silent:
            return {};
        case Fault::BadChecksum: {
            Bytes wire = Confirmation(request, data);
            wire.back() ^= 0xFF;
            return wire;
        }
        case Fault::WrongCode:
            // Another command's confirmation, and none the connection itself answers.
            return Wire(ConfirmationCode(request.CommandCode()) ^ 0x0080, request.TelegramId(), data);
    }
    return {};
}

// Four bytes for the library to write into; untouched ones stay 5A.
struct MarkedBuffer {
    char bytes[4] = {'\x5A', '\x5A', '\x5A', '\x5A'};
    Bytes Get() const { return Bytes(bytes, bytes + sizeof(bytes)); }
};
inline const Bytes kUntouched = {0x5A, 0x5A, 0x5A, 0x5A};

class CommandTest : public ::testing::Test {
protected:
    static constexpr int32_t kTimeoutMs = 150;

    void SetUp() override {
        ASSERT_TRUE(gateway.Listening());
        ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), kTimeoutMs), RC_OK);
    }
    void TearDown() override {
        if (handle > 0) SPICloseDevice(handle);
    }

    void Answer(const Bytes& data) {
        gateway.SetHandler(
            [data](Peer& peer, const CKesMsg& request) { peer.Send(Confirmation(request, data)); });
    }
    // `data` is what a good confirmation would have carried.
    void AnswerBadly(Fault fault, const Bytes& data) {
        gateway.SetHandler([fault, data](Peer& peer, const CKesMsg& request) {
            if (fault != Fault::Silent) peer.Send(SpoiledConfirmation(fault, request, data));
        });
    }

    // The newest device request; fails the test when there is none.
    CKesMsg LastRequest() {
        const auto requests = gateway.Requests();
        if (requests.empty()) {
            ADD_FAILURE() << "no request reached the gateway";
            return CKesMsg(nullptr, 0, 0, 0);
        }
        return requests.back();
    }

    // For tests that sent nothing yet: a probe request must be the first
    // one the gateway sees and still carry the first telegram ID.
    void ExpectNothingSentYet() {
        Answer({0x00});
        ASSERT_EQ(SPIWriteDigital(handle, 0), RC_OK);
        const auto requests = gateway.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].CommandCode(), spi::kWriteDigital);
        EXPECT_EQ(requests[0].TelegramId(), 2);
    }

    TestGateway gateway;
    int32_t handle = -1;
};

}  // namespace kestrix::test
