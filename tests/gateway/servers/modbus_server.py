"""A Modbus TCP device for the hub's tests, served by pymodbus.

    /usr/bin/python3 modbus_server.py PORT CONTENTS.json

CONTENTS holds, per unit id, values to place: {"units": {"1": [{"table": "holding",
"address": 0, "type": "float32", "order": "CDAB", "value": 1.5}, ...]}}. Values are encoded
by pymodbus's own payload builder, so the hub's decoding is checked against an encoder it does
not share. Addresses are as sent in requests (0-based). Every table holds 10,000 entries;
holding register 9000 of every unit counts up every 100 ms, to show that a device is polled.

Two kinds of entry shape the device's faults instead of placing a value:
  {"table": "holding", "address": 5, "missing": 3}  addresses 5 to 7 do not exist: a request
      touching any of them is refused with exception 2 (illegal data address)
  {"table": "holding", "address": 103, "short": true}  a request reaching over address 103 is
      answered with the entries before it only (a short answer)
"""

import asyncio

import json
import sys

from pymodbus.constants import Endian
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.payload import BinaryPayloadBuilder
from pymodbus.server import StartAsyncTcpServer

SIZE = 10000
TICK = 9000
ORDERS = {  # (byte order within a register, register order)
    "ABCD": (Endian.Big, Endian.Big),
    "CDAB": (Endian.Big, Endian.Little),
    "BADC": (Endian.Little, Endian.Big),
    "DCBA": (Endian.Little, Endian.Little),
}
ADDERS = {
    "int16": "add_16bit_int", "uint16": "add_16bit_uint", "int32": "add_32bit_int",
    "uint32": "add_32bit_uint", "float32": "add_32bit_float", "int64": "add_64bit_int",
    "float64": "add_64bit_float",
}


def registers(entry):
    byteorder, wordorder = ORDERS[entry.get("order", "ABCD")]
    builder = BinaryPayloadBuilder(byteorder=byteorder, wordorder=wordorder)
    value = entry["value"]
    if entry["type"].startswith("float"):
        value = float(value)
    getattr(builder, ADDERS[entry["type"]])(value)
    return builder.to_registers()


class Block(ModbusSequentialDataBlock):
    """A table that lacks the addresses in `missing` and answers short before those in `short`."""

    def __init__(self, values, missing, short):
        super().__init__(0, values)
        self.missing = missing
        self.short = short

    def validate(self, address, count=1):
        return super().validate(address, count) and not any(
            address <= gone < address + count for gone in self.missing)

    def getValues(self, address, count=1):
        for cut in self.short:
            if address <= cut < address + count:
                count = cut - address
        return super().getValues(address, count)


def unit_context(entries):
    tables = {name: [0] * SIZE for name in ("coil", "discrete", "input", "holding")}
    missing = {name: set() for name in tables}
    short = {name: set() for name in tables}
    for entry in entries:
        table = tables[entry["table"]]
        address = entry["address"]
        if "missing" in entry:
            missing[entry["table"]].update(range(address, address + entry["missing"]))
            continue
        if entry.get("short"):
            short[entry["table"]].add(address)
            continue
        if entry.get("type", "bool") == "bool" and entry["table"] in ("coil", "discrete"):
            words = [1 if entry["value"] else 0]
        elif "words" in entry:
            words = entry["words"]
        else:
            words = registers(entry)
        table[address:address + len(words)] = words
    blocks = {name: Block(tables[name], missing[name], short[name]) for name in tables}
    return ModbusSlaveContext(co=blocks["coil"], di=blocks["discrete"], ir=blocks["input"],
                              hr=blocks["holding"], zero_mode=True)


def main():
    port = int(sys.argv[1])
    with open(sys.argv[2], encoding="utf-8") as contents_file:
        contents = json.load(contents_file)
    slaves = {int(unit): unit_context(entries) for unit, entries in contents["units"].items()}
    context = ModbusServerContext(slaves=slaves, single=False)
    asyncio.run(serve(context, slaves, port))


async def serve(context, slaves, port):
    async def tick():
        count = 0
        while True:
            await asyncio.sleep(0.1)
            count = (count + 1) % 65536
            for unit in slaves:
                context[unit].setValues(3, TICK, [count])

    ticker = asyncio.create_task(tick())
    # A device that died leaves its port in TIME_WAIT; it must be able to come back on it.
    await StartAsyncTcpServer(context=context, address=("127.0.0.1", port),
                              allow_reuse_address=True)
    ticker.cancel()


if __name__ == "__main__":
    main()
