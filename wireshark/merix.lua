-- merix.lua: the H51 line as merix captures it (CAPTURE = FILE, merixhost --capture FILE), in
-- Wireshark and tshark 4.0 and later.
--
--   tshark -X lua_script:merix.lua -o mbrtu.tcp.port:0 -r line.pcapng
--
-- or copy this file into Wireshark's personal Lua plugin folder (Help > About Wireshark >
-- Folders), where it loads at every start.
--
-- The capture uses the RTAC serial link type: a 12-byte header before each frame tells whether
-- it is a request (DATA_TX_START) or a reply (DATA_RX_START), or names a line error of the port
-- (FRAMING_ERROR, PARITY_ERROR, SERIAL_OVERFLOW_EVENT). Wireshark's own RTAC serial dissector
-- shows that header; this one decodes the frame behind it:
--   - the event functions of H51 controllers: 0x41 event init (the set-up), 0x42 next block,
--     0x43 repeat block, 0x46 time sync (a broadcast), and their exception replies;
--   - Modbus functions 1 to 6 go to Wireshark's own Modbus RTU dissector, which shows the
--     register values and coil states.
-- A request and a reply are told apart by the direction in the capture, never by their length.
-- The Modbus dissector takes that direction from the ports of the packet, counted against its
-- preference "mbrtu.tcp.port": this script gives each station port 0, so that the preference
-- set to 0 (Edit > Preferences > Protocols > Modbus/RTU, or -o mbrtu.tcp.port:0) lets it take
-- the direction from the capture too. Without it the Modbus dissector guesses from the length,
-- and cannot tell the echo of a single write from its request.
--
-- Captures of the same link type from other equipment are left to the RTAC serial dissector
-- alone: this one decodes only interfaces whose description merix wrote.

local merix = Proto("merix", "merix H51 line")

local kRequest, kReply = 1, 2
-- The protocol's facts, as the driver defines them (a test holds them to serial/protocol.h).
local kEventRecordSize = 8
local kOverflowMarker = 0xFFFF
local kOverflowMarkerSize = 2
local kClockFieldSize = 8
local kStationPort, kHostPort = 0, 1

-- As the driver's line trace names them (serial/function_table.h), so that a frame reads the
-- same in both.
local function_names = {
    [0x01] = "read coils",
    [0x02] = "read inputs",
    [0x03] = "read registers",
    [0x04] = "read input registers",
    [0x05] = "write coil",
    [0x06] = "write register",
    [0x41] = "event init",
    [0x42] = "event next block",
    [0x43] = "event repeat block",
    [0x46] = "time sync",
}
local line_events = {
    [0x07] = "framing error",
    [0x08] = "parity error",
    [0x09] = "break",
    [0x0A] = "overrun",
}

local f = merix.fields
f.direction = ProtoField.uint8("merix.direction", "Direction", base.DEC,
    {[kRequest] = "request (host to station)", [kReply] = "reply (station to host)"})
f.station = ProtoField.uint8("merix.station", "Station", base.DEC)
f.func = ProtoField.uint8("merix.function", "Function", base.HEX, function_names, 0x7F)
f.exception_bit = ProtoField.bool("merix.exception_reply", "Exception reply", 8, nil, 0x80)
f.exception = ProtoField.uint8("merix.exception", "Exception code", base.DEC)
f.byte_count = ProtoField.uint8("merix.byte_count", "Byte count", base.DEC)
f.event_count = ProtoField.uint16("merix.event_count", "Events on the station", base.DEC)
f.bitmap = ProtoField.bytes("merix.bitmap", "Event states")
f.event_set = ProtoField.uint16("merix.event_set", "Event set", base.DEC)
f.record = ProtoField.bytes("merix.record", "Event record")
f.event_number = ProtoField.uint16("merix.event.number", "Event number", base.DEC)
f.event_value = ProtoField.uint8("merix.event.value", "Value", base.DEC)
f.event_time = ProtoField.string("merix.event.time", "Time stamp")
f.overflow = ProtoField.bytes("merix.overflow", "Overflow marker: events were lost")
f.stray = ProtoField.bytes("merix.stray", "Stray bytes")
f.time = ProtoField.string("merix.time", "Date and time")
f.data = ProtoField.bytes("merix.data", "Data")
f.crc = ProtoField.uint16("merix.crc", "CRC", base.HEX)
f.crc_good = ProtoField.bool("merix.crc.good", "CRC good")
f.line_error = ProtoField.uint8("merix.line_error", "Line error", base.HEX, line_events)

local interface_description = Field.new("frame.interface_description")
local comment = Field.new("frame.comment")
local rtacser = Dissector.get("rtacser")
local mbrtu = Dissector.get("mbrtu")

-- Modbus CRC-16 (polynomial 0xA001, reflected), of the bytes before the CRC.
local function crc16(tvb, n)
    local crc = 0xFFFF
    for i = 0, n - 1 do
        crc = bit32.bxor(crc, tvb(i, 1):uint())
        for _ = 1, 8 do
            if bit32.band(crc, 1) ~= 0 then
                crc = bit32.bxor(bit32.rshift(crc, 1), 0xA001)
            else
                crc = bit32.rshift(crc, 1)
            end
        end
    end
    return crc
end

-- The CRC, low byte first, at the end of a frame of n bytes; false when there is none.
local function add_crc(tvb, tree, n)
    if n < 4 then
        return false
    end
    local good = crc16(tvb, n - 2) == tvb(n - 2, 2):le_uint()
    tree:add_le(f.crc, tvb(n - 2, 2))
    tree:add(f.crc_good, good):set_generated()
    return good
end

-- Controller time stamps: ms % 100, ms / 100, seconds, minutes, hours.
local function clock_text(tvb, at)
    local ms = tvb(at, 1):uint() + 100 * tvb(at + 1, 1):uint()
    return string.format("%02u:%02u:%02u.%03u", tvb(at + 4, 1):uint(), tvb(at + 3, 1):uint(),
        tvb(at + 2, 1):uint(), ms)
end

-- The data behind the byte count, as far as the count and the frame agree; nil otherwise.
local function counted(tvb, tree, n)
    if n < 5 then
        return nil
    end
    local count = tvb(2, 1):uint()
    tree:add(f.byte_count, tvb(2, 1))
    if n ~= count + 5 then
        tree:add_expert_info(PI_MALFORMED, PI_ERROR,
            string.format("length %u does not fit the byte count %u", n, count))
        return nil
    end
    return count
end

local function event_setup_request(tvb, tree, n)
    local count = counted(tvb, tree, n)
    if count and count >= 2 then
        -- The number of events is the field's last word.
        tree:add(f.event_count, tvb(3 + count - 2, 2))
        return string.format("events %u", tvb(3 + count - 2, 2):uint())
    end
    return ""
end

local function event_setup_reply(tvb, tree, n)
    local count = counted(tvb, tree, n)
    if not count then
        return ""
    end
    local bitmap = tree:add(f.bitmap, tvb(3, count))
    local set = {}
    for i = 0, count - 1 do
        local byte = tvb(3 + i, 1)
        for b = 0, 7 do
            if bit32.band(byte:uint(), bit32.lshift(1, b)) ~= 0 then
                bitmap:add(f.event_set, byte, i * 8 + b)
                set[#set + 1] = tostring(i * 8 + b)
            end
        end
    end
    return #set > 0 and "events set: " .. table.concat(set, ", ") or "no event set"
end

local function event_block_reply(tvb, tree, n)
    local count = counted(tvb, tree, n)
    if not count then
        return ""
    end
    -- As the driver takes a block: its last two bytes FF FF are the overflow marker, whatever
    -- comes before them. The records are the whole ones before the marker where only whole
    -- records come before it, else the whole ones of the block: the marker then lies in the
    -- last record or behind a partial one. (The driver delivers the records of a marked block
    -- only while its overflow alert is open; the block that raises the alert goes undelivered.)
    local last = 3 + count
    local marker = last - kOverflowMarkerSize
    local overflow = count >= kOverflowMarkerSize and
        tvb(marker, kOverflowMarkerSize):uint() == kOverflowMarker
    local records_end =
        (overflow and (count - kOverflowMarkerSize) % kEventRecordSize == 0) and marker or last
    local at, events = 3, 0
    while at + kEventRecordSize <= records_end do
        local r = tvb(at, kEventRecordSize)
        local item = tree:add(f.record, r)
        local number = r(0, 2):le_uint()
        local when = clock_text(tvb, at + 3)
        item:add_le(f.event_number, r(0, 2))
        item:add(f.event_value, r(2, 1))
        item:add(f.event_time, r(3, 5), when)
        item:set_text(string.format("Event %u = %u at %s", number, r(2, 1):uint(), when))
        at = at + kEventRecordSize
        events = events + 1
    end
    -- Bytes behind the records that are no marker: a partial record.
    local stray_end = overflow and marker or last
    if stray_end > at then
        tree:add(f.stray, tvb(at, stray_end - at))
    end
    if overflow then
        tree:add(f.overflow, tvb(marker, kOverflowMarkerSize))
    end
    return string.format("%u event%s%s", events, events == 1 and "" or "s",
        overflow and ", overflow marker" or "")
end

local function time_broadcast(tvb, tree, n)
    local count = counted(tvb, tree, n)
    if not count or count < kClockFieldSize then
        return ""
    end
    -- ms % 100, ms / 100, s, min, h, day, month, year % 100.
    local text = string.format("%02u-%02u-%02u %s", tvb(10, 1):uint(), tvb(9, 1):uint(),
        tvb(8, 1):uint(), clock_text(tvb, 3))
    tree:add(f.time, tvb(3, kClockFieldSize), text)
    return text
end

local function dissect_frame(tvb, pinfo, tree, direction)
    local n = tvb:len()
    local item = tree:add(merix, tvb())
    item:add(f.direction, direction):set_generated()
    local what = direction == kRequest and "Request" or "Reply"
    pinfo.cols.protocol = "merix"
    if n < 2 then
        pinfo.cols.info = what .. ": fragment"
        return
    end
    local station, func = tvb(0, 1):uint(), tvb(1, 1):uint()
    local base_func = bit32.band(func, 0x7F)
    item:add(f.station, tvb(0, 1))
    item:add(f.func, tvb(1, 1))
    item:add(f.exception_bit, tvb(1, 1))
    item:append_text(string.format(", %s, station %u", what:lower(), station))

    if base_func >= 1 and base_func <= 6 then
        -- The station's side is port 0: see the preference at the top of this file.
        if direction == kRequest then
            pinfo.src_port, pinfo.dst_port = kHostPort, kStationPort
        else
            pinfo.src_port, pinfo.dst_port = kStationPort, kHostPort
        end
        mbrtu:call(tvb, pinfo, tree)
        return
    end

    local name = function_names[base_func] or string.format("function %02X", base_func)
    local detail = ""
    if bit32.band(func, 0x80) ~= 0 then
        if n >= 3 then
            item:add(f.exception, tvb(2, 1))
            detail = string.format("exception %u", tvb(2, 1):uint())
        end
    elseif base_func == 0x41 then
        detail = direction == kRequest and event_setup_request(tvb, item, n)
            or event_setup_reply(tvb, item, n)
    elseif base_func == 0x42 or base_func == 0x43 then
        if direction == kReply then
            detail = event_block_reply(tvb, item, n)
        end
    elseif base_func == 0x46 then
        detail = time_broadcast(tvb, item, n)
    elseif n > 4 then
        item:add(f.data, tvb(2, n - 4))
    end
    local crc_good = add_crc(tvb, item, n)
    pinfo.cols.info = string.format("%s: st %u fn %02X %s%s%s", what, station, func, name,
        detail ~= "" and " " .. detail or "", crc_good and "" or " [CRC BAD]")
end

function merix.dissector(tvb, pinfo, tree)
    local description = interface_description()
    if tvb:len() < 12 or not description or not tostring(description.value):find("^merix ") then
        return rtacser:call(tvb, pinfo, tree)
    end
    rtacser:call(tvb(0, 12):tvb(), pinfo, tree)
    local event = tvb(8, 1):uint()
    if (event == kRequest or event == kReply) and tvb:len() > 12 then
        dissect_frame(tvb(12):tvb(), pinfo, tree, event)
    elseif line_events[event] then
        local item = tree:add(merix, tvb(8, 1))
        item:add(f.line_error, tvb(8, 1))
        pinfo.cols.protocol = "merix"
        local count = comment()
        pinfo.cols.info = "Line error: " .. (count and tostring(count.value) or line_events[event])
    end
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap.RTAC_SERIAL, merix)
