// Telegram parsing and checksums: any byte string parses without harm, and
// what parses as valid serialises back to exactly the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Check.h"
#include "telegram/CKesMsg.h"
#include "telegram/CKestrixMsg.h"
#include "telegram/Pack.h"

using namespace kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CKestrixMsg device;
    const bool valid = device.Parse(data, size);
    CKesMsg transport(data, size);
    Check(transport.Parse(data, size) == valid);

    if (size < 7 || size > kMaxTelegramSize + 2) {
        // Too short or beyond any length field: reset to the default state.
        Check(!valid && device.Data().empty() && device.CommandCode() == 0 && device.TelegramId() == 0);
        Check(device.Length() == 5 && device.Checksum() == device.ComputeChecksum());
        return 0;
    }
    Check(valid == (ReadU16(data) == size - 2));
    Check(device.Data().size() == size - 7);
    Check(device.CommandCode() == ReadU16(data + 2) && device.TelegramId() == ReadU16(data + 4));
    Check(device.Checksum() == data[size - 1]);

    // The checksum is the XOR of code, ID and data, so the XOR over every
    // covered byte and the checksum is zero exactly when it matches.
    uint8_t all = 0;
    for (size_t i = 2; i < size; ++i) all ^= data[i];
    Check((all == 0) == (device.Checksum() == device.ComputeChecksum()));

    // Read in place, the frame gives the same verdict and fields.
    const TelegramView view(data, size);
    Check(view.Valid() == valid && view.CommandCode() == device.CommandCode());
    Check(view.DataSize() == device.Data().size() && view.TelegramId() == device.TelegramId());
    Check(view.ChecksumMatches() == (device.Checksum() == device.ComputeChecksum()));

    if (valid) {
        Check(device.Serialize() == std::vector<uint8_t>(data, data + size));
        Check(transport.Serialize() == device.Serialize());
    }

    // Rebuilt from its fields the telegram is consistent and checks out.
    const CKestrixMsg rebuilt(device.Data().data(), device.Data().size(), device.CommandCode(), device.TelegramId());
    if (device.Data().size() > kMaxTelegramData) {
        Check(rebuilt.Refused() && rebuilt.Serialize().empty());
        return 0;
    }
    Check(!rebuilt.Refused() && rebuilt.IsValid() && rebuilt.Checksum() == rebuilt.ComputeChecksum());
    CKestrixMsg again;
    const std::vector<uint8_t> wire = rebuilt.Serialize();
    // Built in one pass into reused memory, with trailing zero bytes given
    // as padding, the bytes are the same.
    static TelegramBuffer buffer;
    const size_t dataSize = device.Data().size();
    size_t zeros = 0;
    while (zeros < dataSize && device.Data()[dataSize - 1 - zeros] == 0) ++zeros;
    Check(buffer.Build(device.CommandCode(), device.TelegramId(), device.Data().data(), dataSize - zeros, zeros));
    Check(std::vector<uint8_t>(buffer.Bytes(), buffer.Bytes() + buffer.Size()) == wire);
    Check(again.Parse(wire.data(), wire.size()) && again.Data() == device.Data());
    return 0;
}
