-- Wireshark dissector for the KestrixSPI gateway protocol: telegrams on TCP
-- port 5002 (any other port through "Decode As...").
--
--   wireshark -X lua_script:kestrix.lua capture.pcap
--   tshark -2 -X lua_script:kestrix.lua -r capture.pcap
--
-- or copy the file into the personal Lua plugins folder. Requests are linked
-- to their confirmations and marked when never confirmed once the whole
-- capture has been read (Wireshark does that by itself; tshark needs -2).

local kestrix = Proto("kestrix", "KestrixSPI gateway protocol")

local PORT = 5002
local OVERHEAD = 7 -- length, command code, telegram ID, checksum
local CONFIRMATION_BIT = 0x8000
local INFO_RECORD_SIZE = 20
local SIMULATOR_MARK = 0x53

local bxor = (bit and bit.bxor) or bit32.bxor

-- Command numbers (bits 0-7 of a command code); the names follow the
-- library's functions.
local commands = {
    [0x01] = "Connect",
    [0x02] = "Disconnect",
    [0x03] = "DataReq",
    [0x07] = "SetGlobals",
    [0x08] = "GetGlobals",
    [0x09] = "DeviceInfo",
    [0x0A] = "DeviceStatus",
    [0x0D] = "Alive",
    [0x14] = "SequenceReq",
    [0x40] = "ReadDigital",
    [0x41] = "WriteDigital",
}

local device_types = { [3] = "SPI" }

-- The library's result texts, row for row (a test keeps the two equal).
local result_texts = {
    [0x000000] = "no error",
    [0x020000] = "TCP/IP socket error",
    [0x030000] = "Not connected to TCP/IP partner",
    [0x040000] = "TCP/IP timeout occured",
    [0x050000] = "TCP/IP request not allowed now, stack is intializing",
    [0x060000] = "TCP/IP stack is not initialized",
    [0x0A0000] = "Kestrix TCP/IP telegram has invalid CRC",
    [0x0B0000] = "Kestrix TCP/IP telegram is not confirmed by partner",
    [0x0C0000] = "Kestrix TCP/IP telegram confirmation is invalid",
    [0x900000] = "Device handle is invalid",
    [0x910000] = "Device type invalid (handle is connected device type, which does not support called function",
    [0x920000] = "Invalid function parameter",
    [0x000001] = "Open failed, maximum number of connections reached",
    [0x000002] = "Read/write request to internal eeprom failed",
    [0x0000FF] = "Kestrix command failed",
    [0x000120] = "I2C NACK (No Acknowledge)",
    [0x000121] = "I2C timeout occured (no response)",
    [0x000125] = "I2C Acknowledge Polling timeout occured",
    [0x000220] = "CAN NACK (No Acknowledge)",
    [0x000221] = "CAN transmit error",
    [0x000222] = "CAN buffer overflow",
    [0x000223] = "CAN lost arbitration",
    [0x000224] = "CAN no valid baudrate",
    [0x0002FC] = "CANOpen block timeout",
    [0x0002FD] = "CANOpen NACK (No Acknowledge)",
    [0x0002FE] = "CANOpen mode not switched on",
    [0x000320] = "SPI inconsistent telegram data",
    [0x000321] = "SPI error while sending",
    [0x000330] = "SPI sequence unknown command op code",
    [0x000331] = "SPI sequence timeout",
    [0x000920] = "Renesas timeout",
    [0x000921] = "Renesas invalid ID",
    [0x000922] = "Renesas failed erase the flash",
    [0x000923] = "Renesas program the page failed",
    [0x000A20] = "Display wrong bitmap size x",
    [0x000A21] = "Display wrong bitmap size y",
    [0x000A22] = "Display wrong bitmap size data",
    [0x000D20] = "File could not be opened",
    [0x000D21] = "File transfer did not complete successfully",
    [0x000D22] = "File CRC mismatch",
    [0x000D23] = "Requested configuration is already active",
    [0x000D24] = "Could not stop configuration",
    [0x000D25] = "Could not start configuration",
    [0x000E20] = "File could not be opened",
    [0x000E21] = "A transfer currently is in progress",
    [0x000E22] = "SetConfig failed to initialize target",
    [0x000E23] = "SetConfig failed to read Flash or Page size",
    [0x000E24] = "EraseBlock not supported",
    [0x000E25] = "Failed to erase target",
    [0x000E26] = "Failed to read data from target",
}

-- The message the library gives for a result code: the exact row, else the
-- row of the same code without its device type.
local function result_text(code)
    local text = result_texts[code]
    if text then return text end
    local device_bits = math.floor(code / 0x100) % 0x100
    if device_bits ~= 0 then
        code = code - device_bits * 0x100
        text = result_texts[code]
        if text then return text end
    end
    return "Unknown error code: " .. code
end

local f = {
    length = ProtoField.uint16("kestrix.length", "Length", base.DEC, nil, nil,
        "Bytes after the length field: data size + 5"),
    code = ProtoField.uint16("kestrix.code", "Command code", base.HEX),
    confirmation = ProtoField.bool("kestrix.code.confirmation", "Confirmation", 16, nil, CONFIRMATION_BIT),
    device_type = ProtoField.uint16("kestrix.code.device_type", "Device type", base.DEC, device_types, 0x7F00),
    command = ProtoField.uint16("kestrix.code.command", "Command", base.HEX, commands, 0x00FF),
    name = ProtoField.string("kestrix.name", "Command name"),
    id = ProtoField.uint16("kestrix.id", "Telegram ID", base.DEC),
    data = ProtoField.bytes("kestrix.data", "Data"),
    data_length = ProtoField.uint16("kestrix.data.length", "Data length", base.DEC),
    checksum = ProtoField.uint8("kestrix.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.uint8("kestrix.checksum.status", "Checksum status", base.DEC,
        { [0] = "Bad", [1] = "Good" }),
    result = ProtoField.uint8("kestrix.result", "Result byte", base.HEX),
    result_code = ProtoField.uint32("kestrix.result.code", "Result code", base.HEX),
    result_text = ProtoField.string("kestrix.result.text", "Result text"),
    connect_data = ProtoField.bytes("kestrix.connect.data", "Connect data"),
    alive_interval = ProtoField.uint32("kestrix.alive.interval", "Alive interval (ms)", base.DEC),
    baudrate = ProtoField.uint32("kestrix.globals.baudrate", "Clock rate", base.DEC),
    signal_level = ProtoField.uint8("kestrix.globals.signal_level", "Signal level", base.DEC),
    aux_voltage = ProtoField.uint8("kestrix.globals.aux_voltage", "Auxiliary voltage", base.DEC),
    clock_mode = ProtoField.uint8("kestrix.globals.clock_mode", "Clock mode", base.DEC),
    write_data = ProtoField.bytes("kestrix.transfer.write", "Write data"),
    read_data = ProtoField.bytes("kestrix.transfer.read", "Read data"),
    sequence = ProtoField.bytes("kestrix.sequence", "Sequence"),
    sequence_answer = ProtoField.bytes("kestrix.sequence.answer", "Sequence answer"),
    first = ProtoField.uint32("kestrix.digital.first", "First word", base.HEX),
    second = ProtoField.uint32("kestrix.digital.second", "Second word", base.HEX),
    output_bits = ProtoField.uint32("kestrix.digital.output_bits", "Output bits", base.HEX),
    info = ProtoField.bytes("kestrix.info", "Device information record"),
    info_firmware = ProtoField.string("kestrix.info.firmware", "Firmware version"),
    info_hardware = ProtoField.uint16("kestrix.info.hardware", "Hardware revision", base.DEC),
    info_serial = ProtoField.uint32("kestrix.info.serial", "Serial number", base.HEX),
    info_inputs = ProtoField.uint8("kestrix.info.input_lines", "Digital input lines", base.DEC),
    info_outputs = ProtoField.uint8("kestrix.info.output_lines", "Digital output lines", base.DEC),
    info_spi_device = ProtoField.uint8("kestrix.info.spi_device", "SPI device", base.DEC,
        { [1] = "flash", [2] = "loopback" }),
    info_flash_size = ProtoField.uint32("kestrix.info.flash_size", "Flash size", base.DEC),
    info_max_transfer = ProtoField.uint16("kestrix.info.max_transfer", "Largest transfer", base.DEC),
    info_device_type = ProtoField.uint8("kestrix.info.device_type", "Device type", base.DEC, device_types),
    info_mark = ProtoField.uint8("kestrix.info.mark", "Gateway kind", base.HEX, { [SIMULATOR_MARK] = "simulator" }),
    status_text = ProtoField.string("kestrix.status", "Status text"),
    extra = ProtoField.bytes("kestrix.extra", "Unexpected data"),
    response_in = ProtoField.framenum("kestrix.response_in", "Response in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("kestrix.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("kestrix.time", "Time since request"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
kestrix.fields = field_list

local e = {
    bad_checksum = ProtoExpert.new("kestrix.checksum.bad", "Wrong checksum",
        expert.group.CHECKSUM, expert.severity.WARN),
    impossible_length = ProtoExpert.new("kestrix.length.impossible",
        "Impossible length field: the telegram's size does not fit 16 bits; the stream cannot be framed after it",
        expert.group.PROTOCOL, expert.severity.ERROR),
    short_length = ProtoExpert.new("kestrix.length.short",
        "Length field below the minimum of 5: no room for command code, telegram ID and checksum",
        expert.group.PROTOCOL, expert.severity.ERROR),
    short_payload = ProtoExpert.new("kestrix.data.short", "Data too short for this command",
        expert.group.PROTOCOL, expert.severity.WARN),
    extra_data = ProtoExpert.new("kestrix.data.extra", "More data than this command carries",
        expert.group.PROTOCOL, expert.severity.NOTE),
    no_result = ProtoExpert.new("kestrix.result.missing", "Confirmation without a result byte",
        expert.group.PROTOCOL, expert.severity.WARN),
    failed = ProtoExpert.new("kestrix.result.failed", "The peer reports a failure",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    unknown_command = ProtoExpert.new("kestrix.code.unknown", "Unknown command",
        expert.group.UNDECODED, expert.severity.NOTE),
    unanswered = ProtoExpert.new("kestrix.unanswered", "Request never confirmed in this capture",
        expert.group.SEQUENCE, expert.severity.WARN),
    incomplete = ProtoExpert.new("kestrix.incomplete", "Only part of a telegram (is TCP reassembly off?)",
        expert.group.REASSEMBLE, expert.severity.WARN),
    unmatched = ProtoExpert.new("kestrix.unmatched", "Confirmation without a request in this capture",
        expert.group.SEQUENCE, expert.severity.WARN),
}
kestrix.experts = { e.bad_checksum, e.impossible_length, e.short_length, e.short_payload, e.extra_data,
    e.no_result, e.failed, e.unknown_command, e.unanswered, e.incomplete, e.unmatched }

local tcp_stream = Field.new("tcp.stream")

-- Matching state, built on the first pass in frame order.
-- open[request key] = the newest unconfirmed request with that key;
-- links[telegram key] = what is known of one telegram's partner.
local open = {}
local links = {}

function kestrix.init()
    open = {}
    links = {}
end

local function nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- A request is keyed by connection, sender, code and ID; its confirmation
-- comes from the other side with the confirmation bit set.
local function request_key(sender, code, id)
    local stream = tcp_stream()
    return string.format("%s|%s|%04X|%d", stream and tostring(stream.value) or "-", sender, code, id)
end

local function match(tvb, pinfo, tree, code, id, is_confirmation)
    local me = string.format("%d:%d:%04X:%d", pinfo.number, tvb:offset(), code, id)
    local src = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local dst = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    if not pinfo.visited then
        if is_confirmation then
            local key = request_key(dst, code - CONFIRMATION_BIT, id)
            local request = open[key]
            if request then
                open[key] = nil
                links[request.me].response = pinfo.number
                links[me] = { request = request.frame, delta = pinfo.rel_ts - request.time }
            else
                links[me] = {}
            end
        else
            open[request_key(src, code, id)] = { me = me, frame = pinfo.number, time = pinfo.rel_ts }
            links[me] = {}
        end
    end
    local link = links[me] or {}
    if is_confirmation then
        if link.request then
            tree:add(f.request_in, link.request):set_generated()
            tree:add(f.time, nstime(link.delta)):set_generated()
        elseif pinfo.visited then
            tree:add_proto_expert_info(e.unmatched)
        end
    elseif link.response then
        tree:add(f.response_in, link.response):set_generated()
    elseif pinfo.visited then
        tree:add_proto_expert_info(e.unanswered)
    end
end

-- True when `data` holds `size` bytes from `at`; otherwise flags the item.
local function need(tree, data, at, size)
    if data:len() - at >= size then return true end
    tree:add_proto_expert_info(e.short_payload)
    return false
end

local function rest_is_extra(tree, data, at)
    if data:len() > at then
        tree:add(f.extra, data(at)):add_proto_expert_info(e.extra_data)
    end
end

local function info_record(tree, data, at)
    local size = math.min(data:len() - at, INFO_RECORD_SIZE)
    if size <= 0 then
        tree:add_proto_expert_info(e.short_payload)
        return
    end
    local record = data(at, size)
    local item = tree:add(f.info, record)
    if size > 18 then item:add(f.info_device_type, data(at + 18, 1)) end
    -- Only the simulator's record layout is known; a gateway's own is shown as bytes.
    if size == INFO_RECORD_SIZE and data(at + 19, 1):uint() == SIMULATOR_MARK then
        local r = data(at, size):tvb()
        item:add(f.info_firmware, r(0, 2), string.format("%d.%d", r(0, 1):uint(), r(1, 1):uint()))
        item:add_le(f.info_hardware, r(2, 2))
        item:add_le(f.info_serial, r(4, 4))
        item:add(f.info_inputs, r(8, 1))
        item:add(f.info_outputs, r(9, 1))
        item:add(f.info_spi_device, r(10, 1))
        item:add_le(f.info_flash_size, r(12, 4))
        item:add_le(f.info_max_transfer, r(16, 2))
        item:add(f.info_mark, r(19, 1))
    end
    rest_is_extra(tree, data, at + size)
end

-- Payload decoders by command number. `data` is the data field (possibly
-- empty); each returns extra text for the Info column, or nil.
local requests = {
    [0x01] = function(tree, data)
        if data:len() > 0 then tree:add(f.connect_data, data()) end
    end,
    [0x03] = function(tree, data)
        if data:len() > 0 then tree:add(f.write_data, data()) end
    end,
    [0x07] = function(tree, data)
        if not need(tree, data, 0, 7) then return end
        tree:add_le(f.baudrate, data(0, 4))
        tree:add(f.signal_level, data(4, 1))
        tree:add(f.aux_voltage, data(5, 1))
        tree:add(f.clock_mode, data(6, 1))
        rest_is_extra(tree, data, 7)
        return string.format(" baud=%d mode=%d", data(0, 4):le_uint(), data(6, 1):uint())
    end,
    [0x0D] = function(tree, data)
        if data:len() < 4 then
            tree:add(data(), "No interval (the peer answers 0xFF)")
            rest_is_extra(tree, data, 0)
            return
        end
        tree:add_le(f.alive_interval, data(0, 4))
        rest_is_extra(tree, data, 4)
        return string.format(" interval=%d", data(0, 4):le_uint())
    end,
    [0x14] = function(tree, data)
        if data:len() > 0 then tree:add(f.sequence, data()) end
    end,
    [0x41] = function(tree, data)
        if not need(tree, data, 0, 4) then return end
        tree:add_le(f.output_bits, data(0, 4))
        rest_is_extra(tree, data, 4)
        return string.format(" outputs=0x%08X", data(0, 4):le_uint())
    end,
}
for _, number in ipairs({ 0x02, 0x08, 0x09, 0x0A, 0x40 }) do
    requests[number] = function(tree, data) rest_is_extra(tree, data, 0) end
end

-- Confirmation decoders get the answer after the result byte (offset 1).
local confirmations = {
    [0x03] = function(tree, data)
        if data:len() > 1 then tree:add(f.read_data, data(1)) end
    end,
    [0x08] = function(tree, data)
        if not need(tree, data, 1, 7) then return end
        tree:add_le(f.baudrate, data(1, 4))
        tree:add(f.signal_level, data(5, 1))
        tree:add(f.aux_voltage, data(6, 1))
        tree:add(f.clock_mode, data(7, 1))
        rest_is_extra(tree, data, 8)
    end,
    [0x09] = function(tree, data) info_record(tree, data, 1) end,
    [0x0A] = function(tree, data)
        if data:len() > 1 then tree:add(f.status_text, data(1)) end
    end,
    [0x14] = function(tree, data)
        if data:len() > 1 then tree:add(f.sequence_answer, data(1)) end
    end,
    [0x40] = function(tree, data)
        if not need(tree, data, 1, 8) then return end
        tree:add_le(f.first, data(1, 4))
        tree:add_le(f.second, data(5, 4))
        rest_is_extra(tree, data, 9)
    end,
}
for _, number in ipairs({ 0x01, 0x02, 0x07, 0x0D, 0x41 }) do
    confirmations[number] = function(tree, data) rest_is_extra(tree, data, 1) end
end

local info_parts

local function add_info(text)
    info_parts[#info_parts + 1] = text
end

-- One telegram, whole: as many bytes as its length field says plus two.
local function dissect_telegram(tvb, pinfo, root)
    pinfo.cols.protocol = "Kestrix"
    local size = tvb:len()
    local tree = root:add(kestrix, tvb())
    if size < 2 then
        tree:add(f.data, tvb()):add_proto_expert_info(e.incomplete)
        add_info("Telegram fragment")
        return size
    end
    local length_field = tvb(0, 2):le_uint()
    local length_item = tree:add_le(f.length, tvb(0, 2))
    if length_field >= 0xFFFE then
        length_item:add_proto_expert_info(e.impossible_length)
        if size > 2 then tree:add(f.data, tvb(2)) end
        add_info(string.format("Impossible length field 0x%04X", length_field))
        return size
    end
    if size < OVERHEAD then
        length_item:add_proto_expert_info(e.short_length)
        if size > 2 then tree:add(f.data, tvb(2)) end
        add_info(string.format("Telegram too short (length field %d)", length_field))
        return size
    end

    -- Without TCP reassembly (or in a frame cut short) only a part may be here.
    if size < length_field + 2 then
        tree:add(f.data, tvb(2)):add_proto_expert_info(e.incomplete)
        add_info(string.format("Telegram fragment (%d of %d bytes)", size, length_field + 2))
        return size
    end

    local code = tvb(2, 2):le_uint()
    local id = tvb(4, 2):le_uint()
    local number = code % 0x100
    local device_type = math.floor(code / 0x100) % 0x80
    local is_confirmation = code >= CONFIRMATION_BIT
    local name = commands[number]
    local code_item = tree:add_le(f.code, tvb(2, 2))
    code_item:add_le(f.confirmation, tvb(2, 2))
    code_item:add_le(f.device_type, tvb(2, 2))
    code_item:add_le(f.command, tvb(2, 2))
    if name then
        code_item:append_text(" (" .. name .. (is_confirmation and " confirmation" or " request") .. ")")
    else
        name = string.format("Unknown 0x%02X", number)
        code_item:add_proto_expert_info(e.unknown_command)
    end
    tree:add(f.name, tvb(2, 2), name):set_generated()
    tree:add_le(f.id, tvb(4, 2))
    tree:append_text(string.format(", %s%s, ID %d", name, is_confirmation and " cnf" or "", id))

    local data = tvb(6, size - OVERHEAD):tvb()
    local data_tree = tree
    tree:add(f.data_length, size - OVERHEAD):set_generated()
    if size > OVERHEAD then data_tree = tree:add(f.data, tvb(6, size - OVERHEAD)) end

    local computed = 0
    for i = 2, size - 2 do computed = bxor(computed, tvb(i, 1):uint()) end
    local stored = tvb(size - 1, 1):uint()
    local checksum_item = tree:add(f.checksum, tvb(size - 1, 1))
    local good = computed == stored
    tree:add(f.checksum_status, tvb(size - 1, 1), good and 1 or 0):set_generated()
    if good then
        checksum_item:append_text(" [correct]")
    else
        checksum_item:append_text(string.format(" [incorrect, should be 0x%02X]", computed))
        checksum_item:add_proto_expert_info(e.bad_checksum)
    end

    local info = name
    if is_confirmation then
        info = info .. string.format(" cnf id=%d", id)
        if data:len() == 0 then
            data_tree:add_proto_expert_info(e.no_result)
            info = info .. " no result"
        else
            local byte = data(0, 1):uint()
            local rc = byte == 0 and 0 or device_type * 0x100 + byte
            local text = result_text(rc)
            local result_item = data_tree:add(f.result, data(0, 1))
            result_item:append_text(" (" .. text .. ")")
            data_tree:add(f.result_code, data(0, 1), rc):set_generated()
            data_tree:add(f.result_text, data(0, 1), text):set_generated()
            if byte ~= 0 then result_item:add_proto_expert_info(e.failed) end
            info = info .. string.format(byte == 0 and " rc=%d (%s)" or " rc=0x%02X (%s)", byte, text)
            local decode = confirmations[number]
            if decode then decode(data_tree, data) end
        end
    else
        info = info .. string.format(" id=%d len=%d", id, data:len())
        local decode = requests[number]
        local extra = decode and decode(data_tree, data)
        if extra then info = info .. extra end
    end
    if not good then info = info .. " [bad checksum]" end
    add_info(info)
    match(tvb, pinfo, tree, code, id, is_confirmation)
    return size
end

local function telegram_size(tvb, pinfo, offset)
    local length_field = tvb(offset, 2):le_uint()
    -- Such a length cannot be framed; what the segment holds is shown as is.
    if length_field >= 0xFFFE then return tvb:len() - offset end
    return length_field + 2
end

function kestrix.dissector(tvb, pinfo, tree)
    info_parts = {}
    dissect_tcp_pdus(tvb, tree, 2, telegram_size, dissect_telegram)
    if #info_parts > 0 then pinfo.cols.info:set(table.concat(info_parts, "; ")) end
    return tvb:len()
end

DissectorTable.get("tcp.port"):add(PORT, kestrix)
