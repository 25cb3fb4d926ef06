#include "InfoRecord.h"

#include "Arguments.h"

namespace kestrix::cli {

namespace {

constexpr uint8_t kSimulatorMark = 'S';

uint32_t Little(const Bytes& record, size_t offset, size_t size) {
    uint32_t value = 0;
    for (size_t i = size; i-- > 0;) value = value << 8 | record[offset + i];
    return value;
}

}  // namespace

Report DecodeInfoRecord(const Bytes& record) {
    Report report;
    if (record.size() < 20) return report;
    report.Number("device_type", record[18]);
    // Only the simulator's layout is documented; it marks its records with
    // an 'S' in the last byte. Other gateways get the raw bytes alone.
    if (record[19] != kSimulatorMark) return report;
    const char* const devices[] = {"none", "flash", "loopback"};
    report.Text("firmware", std::to_string(record[0]) + "." + std::to_string(record[1]))
        .HexWord("hardware_revision", Little(record, 2, 2), 4)
        .Number("serial_number", Little(record, 4, 4))
        .Number("input_lines", record[8])
        .Number("output_lines", record[9])
        .Text("spi_device", record[10] < 3 ? devices[record[10]] : std::to_string(record[10]))
        .Number("flash_size", Little(record, 12, 4))
        .Number("max_transfer", Little(record, 16, 2))
        .Flag("simulator", true);
    return report;
}

std::optional<std::pair<std::string, std::string>> DigitalWordRoles(const Bytes& record) {
    if (record.size() < 20 || record[19] != kSimulatorMark) return std::nullopt;
    return std::make_pair(std::string("inputs"), std::string("outputs"));
}

}  // namespace kestrix::cli
