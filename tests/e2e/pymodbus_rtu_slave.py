#!/usr/bin/python3
"""A Modbus RTU slave that nobody here wrote: pymodbus serving RTU frames (address, PDU, CRC)
over a TCP connection, as a slave behind a device server in raw mode would. The end-to-end tests
point the driver's PORT = tcp://HOST:PORT at it.

Unit 1 only; requests to any other unit get no reply, as on a shared line. Each table has 100
entries, addresses 0 to 99, with values the tests can predict:
  holding register i = i * 10        input register i = i * 10 + 1
  coil i = on for even i             discrete input i = on when i % 3 == 0
Usage: pymodbus_rtu_slave.py PORT [HOST]   (HOST 127.0.0.1 by default)
"""
import logging
import sys

try:
    from pymodbus.datastore import (
        ModbusSequentialDataBlock,
        ModbusServerContext,
        ModbusSlaveContext,
    )
    from pymodbus.server import StartTcpServer
    from pymodbus.transaction import ModbusRtuFramer
except ImportError as error:
    print(f"pymodbus is not installed (python3-pymodbus): {error}", file=sys.stderr)
    sys.exit(77)

SIZE = 100
UNIT = 1


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    port = int(sys.argv[1])
    host = sys.argv[2] if len(sys.argv) == 3 else "127.0.0.1"
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    slave = ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(0, [i * 10 for i in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [i * 10 + 1 for i in range(SIZE)]),
        co=ModbusSequentialDataBlock(0, [i % 2 == 0 for i in range(SIZE)]),
        di=ModbusSequentialDataBlock(0, [i % 3 == 0 for i in range(SIZE)]),
        # Request address 0 is entry 0; pymodbus otherwise adds 1 to every address.
        zero_mode=True,
    )
    context = ModbusServerContext(slaves={UNIT: slave}, single=False)
    StartTcpServer(
        context=context,
        address=(host, port),
        framer=ModbusRtuFramer,
        # The tests stop and start the slave on the same port.
        allow_reuse_address=True,
        ignore_missing_slaves=True,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
