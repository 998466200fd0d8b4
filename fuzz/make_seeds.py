#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, realistic inputs in each target's input layout (see the comment at the
top of each fuzz_*.cpp). It also writes the dictionaries of the frame targets: the function
codes, as they are and with the exception bit. Both take the codes from the driver's table of
functions. Run it again after changing a layout or a function; the files are committed.
"""
import pathlib
import re
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE / "corpus"
TABLE = (HERE.parent / "serial" / "function_table.h").read_text()


def enum_codes() -> dict:
    """The function codes by their names in the table, without the k: ReadCoils -> 1."""
    body = re.search(r"enum FunctionCode : uint8_t \{(.*?)\};", TABLE, re.S).group(1)
    return {name: int(code, 16) for name, code in re.findall(r"k(\w+) = (0x[0-9A-Fa-f]+)", body)}


F = enum_codes()
# Modbus functions that H51 controllers do not speak, by the name in their row's comment.
FOREIGN = {name: int(code, 16)
           for code, name in re.findall(r"\{(0x[0-9A-Fa-f]+), \{[^}]*\}\}, +// (.*)", TABLE)}
EXCEPTION = int(re.search(r"kExceptionBit = (0x[0-9A-Fa-f]+)", TABLE).group(1), 16)
READ_COILS, READ_REGS = F["ReadCoils"], F["ReadHoldingRegisters"]
READ_INPUT_REGS = F["ReadInputRegisters"]
WRITE_COIL, WRITE_REG = F["WriteSingleCoil"], F["WriteSingleRegister"]
INIT, NEXT, REPEAT, TIME = F["EventInit"], F["EventNext"], F["EventRepeat"], F["TimeSync"]


def crc16(frame: bytes) -> bytes:
    crc = 0xFFFF
    for b in frame:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def with_crc(*parts: int) -> bytes:
    frame = bytes(parts)
    return frame + crc16(frame)


def record(event: int, value: int, ms: int, s: int, m: int, h: int) -> bytes:
    return struct.pack("<HB", event, value) + bytes([ms % 100, ms // 100, s, m, h])


def write(target: str, seeds: dict) -> None:
    folder = ROOT / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


WHOLE = bytes([255, 255, 255])  # the whole line in the first piece


def rx(flags: int, station: int, function: int, line: bytes, cuts: bytes = WHOLE) -> bytes:
    return bytes([flags, station, function, 0]) + cuts + line


# The flag bits: the request is a register write, whatever its function byte; an event read.
AS_WRITE, EVENT = 1, 2
receiver = {
    "read_registers": rx(0, 5, READ_REGS, with_crc(5, READ_REGS, 4, 0, 1, 0, 2)),
    "read_coils": rx(0, 1, READ_COILS, with_crc(1, READ_COILS, 1, 0x05)),
    "read_block": rx(0, 1, READ_REGS, with_crc(1, READ_REGS, 250, *range(250))),
    "write_echo": rx(AS_WRITE, 5, WRITE_REG, with_crc(5, WRITE_REG, 0, 100, 0, 7)),
    "exception_address": rx(0, 5, READ_REGS, with_crc(5, EXCEPTION | READ_REGS, 2)),
    "exception_other_function": rx(0, 5, READ_REGS, with_crc(5, EXCEPTION | READ_INPUT_REGS, 1)),
    "exception_device": rx(0, 5, READ_REGS, with_crc(5, EXCEPTION | READ_REGS, 4)),
    "event_init_conflict": rx(EVENT, 5, INIT, with_crc(5, EXCEPTION | INIT, 2)),
    "event_repeat_refused": rx(EVENT, 5, REPEAT, with_crc(5, EXCEPTION | REPEAT, 2)),
    "event_header_then_silence": rx(EVENT, 5, NEXT, bytes([5, EXCEPTION | NEXT]), bytes([2, 255, 255])),
    "event_bitmap": rx(EVENT, 5, INIT, with_crc(5, INIT, 2, 0x05, 0x80)),
    "event_block": rx(EVENT, 5, NEXT, with_crc(5, NEXT, 16, *record(12, 1, 645, 58, 59, 23),
                                               *record(3, 0, 10, 1, 0, 0))),
    "short_data": rx(0, 5, READ_REGS, bytes([5, READ_REGS, 4, 0, 1, 0]), bytes([6, 255, 255])),
    "in_pieces": rx(0, 5, READ_REGS, with_crc(5, READ_REGS, 2, 0, 9), bytes([1, 1, 1])),
    "wrong_station": rx(0, 5, READ_REGS, with_crc(7, READ_REGS, 2, 0, 1)),
    "only_station": rx(0, 5, READ_REGS, bytes([5]), bytes([1, 255, 255])),
    "silence": rx(0, 5, READ_REGS, b""),
}


def ev(station: int, flags: int, count: int, block: bytes, reply: bytes,
       hour: int = 10, minute: int = 0) -> bytes:
    return bytes([station, flags]) + struct.pack("<I", count) + bytes([hour, minute, len(block)]) \
        + block + reply


GATES_ALL, DEBUG, ALERT_OPEN, REFUSE = 0x10, 0x01, 0x02, 0x04
two = record(12, 1, 645, 58, 59, 23) + record(3, 0, 10, 1, 0, 0)
event_block = {
    "two_records_and_bitmap": ev(5, GATES_ALL | DEBUG, 16, two, with_crc(5, INIT, 2, 0x05, 0x80)),
    "conflict": ev(5, GATES_ALL, 16, b"", with_crc(5, EXCEPTION | INIT, 2)),
    "conflict_solved": ev(5, GATES_ALL | ALERT_OPEN, 8, b"", with_crc(5, INIT, 1, 0xFF)),
    "illegal_event_number": ev(1, GATES_ALL, 0, record(1, 1, 0, 0, 0, 0)
                               + record(2048, 1, 0, 0, 0, 0), b""),
    "illegal_value": ev(1, GATES_ALL, 0, record(7, 2, 0, 0, 0, 0), b""),
    "partial_record": ev(31, GATES_ALL, 0, record(2047, 1, 999, 59, 59, 23) + b"\x01\x00\x01\x00",
                         b""),
    "before_midnight": ev(2, GATES_ALL, 0, record(5, 1, 0, 58, 59, 23), b"", hour=0, minute=0),
    "empty": ev(3, GATES_ALL, 0, b"", with_crc(3, INIT, 0)),
    "host_refuses": ev(4, GATES_ALL | REFUSE, 3, record(1, 0, 5, 5, 5, 5),
                       with_crc(4, INIT, 1, 0x07)),
    "some_gates_missing": ev(6, 0x30, 2048, two, with_crc(6, INIT, 4, 0xAA, 0x55, 0x0F, 0xF0)),
    "count_beyond_bitmap": ev(7, GATES_ALL, 0x10040, b"", with_crc(7, INIT, 2, 0xFF, 0xFF)),
}


def gate(text: bytes, gate_type: int = 0, block: int = 1, flags: int = 0) -> bytes:
    return bytes([gate_type]) + struct.pack("<h", block) + bytes([flags]) + text


T0, T1, T6, T7 = 0, 1, 2, 7  # type bytes: 0, 1, 6 and the unlisted type 7
address_parser = {
    "register": gate(b"01300100", T0),
    "register_bit": gate(b"01300105", T6),
    "register_block_127": gate(b"01300100", T0, 127),
    "register_block_128": gate(b"01300100", T0, 128),
    "coil_block_1999": gate(b"01100100", T6, 1999),
    "trailing_space": gate(b"0130010 ", T6),
    "no_bit": gate(b"0130010", T6),
    "event": gate(b"E050012", T6),
    "event_last": gate(b"E312047", T6),
    "event_number_too_big": gate(b"E012048", T6),
    "event_station_0": gate(b"E002047", T6),
    "event_lowercase": gate(b"e050012", T6),
    "hima": gate(b"HIMA07", T6),
    "hima_short": gate(b"hima7", T6),
    "hima_sign": gate(b"HIMA-1", T6),
    "debug": gate(b"debug", T6),
    "debug_wrong_type": gate(b"DEBUG", T0),
    "fdelay": gate(b"FDELAY", T1),
    "ifg": gate(b"IFG", T0, 2),
    "special_event": gate(b"$EVENT"),
    "special_event_station": gate(b"07$EVENT"),
    "special_time": gate(b"$time"),
    "special_error_long": gate(b"$ERROR and more text"),
    "special_bad_prefix": gate(b"AB$EVENT"),
    "station_0": gate(b"00300100"),
    "function_5": gate(b"01500100"),
    "too_short": gate(b"013"),
    "empty": gate(b""),
    "too_long": gate(b"0130010012"),
    "nine": gate(b"013001001"),
    "other_type": gate(b"01300100", T7),
    "high_bytes": gate(bytes([0xE5, 0xB5, 0x80, 0xFF])),
    "no_text": gate(b"01300100", T0, 1, 1),
}

ini_file = {
    "every_keyword": b"; merix line settings\n"
                     b"DEBUG = ON\n"
                     b"SEND = DTR OFF RTS ON\n"
                     b"RECEIVE = DTR ON RTS OFF\n"
                     b"FDELAY = 15\n"
                     b"IFG = 4\n"
                     b"PORT = rfc2217://[::1]:2217\n"
                     b"RS485 = ON\n"
                     b"TRACE = line01.log\n"
                     b"TRACE_MAX = 16\n"
                     b"CAPTURE = line01.pcapng\n"
                     b"DEMOTE = 10\n"
                     b"RETRIES = 3\n"
                     b"RETRY_PAUSE = 20\n"
                     b"WRITE = NONE\n"
                     b"WRITE = 03300200-03300210\n"
                     b"WRITE = 04\n"
                     b"WRITE = $TIME\n"
                     b"JOURNAL = writes01.log\n"
                     b"VERIFY = ON\n"
                     b"ECHO = ON\n",
    "lowercase_crlf": b"debug = off\r\nsend = rts on\r\nreceive = rts on\r\nfdelay = -10\r\n"
                      b"ifg = 0\r\n",
    "packed_pairs": b"SEND=DTRONRTSOFF\nRECEIVE=RTSONDTROFF\n",
    "limits": b"FDELAY = 499\nFDELAY = 500\nIFG = 4999\nIFG = 5000\nIFG = 40000\n"
              b"FDELAY = -32768\n",
    "illegal_lines": b"DEBUG ON\nDEBUGX=ON\n   \n\n ;DEBUG=ON\n\tIFG = 3\nSEND = DTR=ON\n"
                     b"DEBUG = MAYBE\nFDELAY = x\n",
    "long_line": b"IFG = " + b"1" * 300 + b"\nSEND = " + b"DTR ON " * 40 + b"\n",
    "no_newline_at_end": b"DEBUG = ON",
    "empty": b"",
}


def sim(*parts: int) -> bytes:
    return with_crc(*parts)


sim_request = {
    "read_registers": sim(1, READ_REGS, 0, 100, 0, 1),
    "read_coils": sim(5, READ_COILS, 0, 0, 0, 16),
    "write_register": sim(5, WRITE_REG, 0, 100, 0x12, 0x34),
    "write_coil": sim(5, WRITE_COIL, 0, 7, 0xFF, 0),
    "event_init": sim(5, INIT, 4, 0, 0, 0, 16),
    "event_next": sim(5, NEXT),
    "event_repeat": sim(5, REPEAT),
    "time_sync": sim(0, TIME, 8, 45, 6, 58, 59, 23, 8, 12, 26),
    "write_multiple": sim(1, FOREIGN["write multiple registers"], 0, 0, 0, 2, 4, 0, 1, 0, 2),
    "bad_crc": bytes([1, READ_REGS, 0, 100, 0, 1, 0, 0]),
    "length_mismatch": sim(1, READ_REGS, 0, 100, 0),
    "too_short": bytes([1, READ_REGS, 0]),
}

# The trace's decoder: a capacity byte, then the frame; requests and replies alike.
frame_text = {
    "request_wide": bytes([255]) + sim(1, READ_REGS, 0, 100, 0, 1),
    "request_narrow": bytes([12]) + sim(1, READ_REGS, 0, 100, 0, 1),
    "event_init_request": bytes([255]) + sim(5, INIT, 4, 0, 0, 0, 16),
    "time_sync_request": bytes([80]) + sim(0, TIME, 8, 45, 6, 58, 59, 23, 8, 12, 26),
    "event_block_reply": bytes([255]) + sim(5, NEXT, 16, *record(12, 1, 645, 58, 59, 23),
                                            *record(2047, 0, 0, 0, 0, 0)),
    "bitmap_reply": bytes([40]) + sim(5, INIT, 2, 0x05, 0x80),
    "registers_reply": bytes([255]) + sim(1, READ_REGS, 4, 0x12, 0x34, 0x56, 0x78),
    "exception_reply": bytes([255]) + sim(1, EXCEPTION | READ_REGS, 2),
    "no_room": bytes([0]) + sim(1, READ_REGS, 2, 0, 42),
    "one_byte": bytes([1]) + sim(1, READ_REGS, 2, 0, 42),
    "cut_short": bytes([255, 1, READ_REGS, 4, 0]),
}



def write_dict(target: str) -> None:
    """Every function code of ours as it is and refused, and the foreign ones."""
    lines = [f"# Function codes, written by make_seeds.py from serial/function_table.h."]
    for name, code in F.items():
        lines.append(f'{name}="\\x{code:02X}"')
        lines.append(f'{name}Refused="\\x{EXCEPTION | code:02X}"')
    lines += [f'Foreign{code:02X}="\\x{code:02X}"' for code in FOREIGN.values()]
    (HERE / "dict" / f"{target}.dict").write_text("\n".join(lines) + "\n")


write("fuzz_receiver", receiver)
write("fuzz_event_block", event_block)
write("fuzz_address_parser", address_parser)
write("fuzz_ini_file", ini_file)
write("fuzz_sim_request", sim_request)
write("fuzz_frame_text", frame_text)
for target in ("fuzz_receiver", "fuzz_event_block", "fuzz_sim_request", "fuzz_frame_text"):
    write_dict(target)
