"""A Modbus TCP device for the hub's tests, served by pymodbus.

    /usr/bin/python3 modbus_server.py PORT CONTENTS.json

CONTENTS holds, per unit id, values to place: {"units": {"1": [{"table": "holding",
"address": 0, "type": "float32", "order": "CDAB", "value": 1.5}, ...]}}. Values are encoded
by pymodbus's own payload builder, so the hub's decoding is checked against an encoder it does
not share. Addresses are as sent in requests (0-based). Every table holds 10,000 entries;
holding register 9000 of every unit counts up every 100 ms, to show that a device is polled.

Optional top-level keys of CONTENTS shape how the device is reached:
  "serial": "/dev/pts/7", "baudrate": 19200, "bytesize": 8, "stopbits": 1
      serve Modbus RTU on that serial port (one end of a socat pty pair) instead of TCP;
      PORT is then a loopback port the server listens on only to say that it is ready. A
      pseudo-terminal has no parity bits (and pyserial cannot set one on it twice), so the
      device end is opened without parity whatever the hub's end asks for
  "watch": "/tmp/x/stats.json", "delay": 0.05
      put a recorder in front of the TCP device: it passes each request through and holds
      each answer `delay` seconds, and keeps in the file {"connections": connections that
      carried requests, "requests": count, "max_outstanding": the most requests one
      connection had sent without an answer yet, "min_spacing": the shortest time between two
      requests of one connection, in seconds, "units": unit ids seen}

Two kinds of entry shape the device's faults instead of placing a value:
  {"table": "holding", "address": 5, "missing": 3}  addresses 5 to 7 do not exist: a request
      touching any of them is refused with exception 2 (illegal data address)
  {"table": "holding", "address": 103, "short": true}  a request reaching over address 103 is
      answered with the entries before it only (a short answer)
  {"table": "holding", "address": 300, "fail": true}  a request reaching over address 300 is
      answered with exception 4 (server device failure)
A unit id the device does not hold is not answered at all.
"""

import asyncio

import json
import os
import socket
import sys
import time

from pymodbus.constants import Endian
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.payload import BinaryPayloadBuilder
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer
from pymodbus.transaction import ModbusRtuFramer

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

    def __init__(self, values, missing, short, fail):
        super().__init__(0, values)
        self.missing = missing
        self.short = short
        self.fail = fail

    def validate(self, address, count=1):
        return super().validate(address, count) and not any(
            address <= gone < address + count for gone in self.missing)

    def getValues(self, address, count=1):
        if any(address <= broken < address + count for broken in self.fail):
            raise RuntimeError("a failing address")  # pymodbus answers exception 4
        for cut in self.short:
            if address <= cut < address + count:
                count = cut - address
        return super().getValues(address, count)


def unit_context(entries):
    tables = {name: [0] * SIZE for name in ("coil", "discrete", "input", "holding")}
    missing = {name: set() for name in tables}
    short = {name: set() for name in tables}
    fail = {name: set() for name in tables}
    for entry in entries:
        table = tables[entry["table"]]
        address = entry["address"]
        if "missing" in entry:
            missing[entry["table"]].update(range(address, address + entry["missing"]))
            continue
        if entry.get("short"):
            short[entry["table"]].add(address)
            continue
        if entry.get("fail"):
            fail[entry["table"]].add(address)
            continue
        if entry.get("type", "bool") == "bool" and entry["table"] in ("coil", "discrete"):
            words = [1 if entry["value"] else 0]
        elif "words" in entry:
            words = entry["words"]
        else:
            words = registers(entry)
        table[address:address + len(words)] = words
    blocks = {name: Block(tables[name], missing[name], short[name], fail[name])
              for name in tables}
    return ModbusSlaveContext(co=blocks["coil"], di=blocks["discrete"], ir=blocks["input"],
                              hr=blocks["holding"], zero_mode=True)


def main():
    port = int(sys.argv[1])
    with open(sys.argv[2], encoding="utf-8") as contents_file:
        contents = json.load(contents_file)
    slaves = {int(unit): unit_context(entries) for unit, entries in contents["units"].items()}
    context = ModbusServerContext(slaves=slaves, single=False)
    asyncio.run(serve(context, slaves, port, contents))


class Recorder:
    """Passes Modbus TCP frames between the hub and the device and records how it asks."""

    def __init__(self, path, delay, inner):
        self.path = path
        self.delay = delay
        self.inner = inner
        self.stats = {"connections": 0, "requests": 0, "max_outstanding": 0,
                      "min_spacing": None, "units": []}
        self.save()

    def save(self):
        with open(self.path + ".new", "w", encoding="utf-8") as out:
            json.dump(self.stats, out)
        os.replace(self.path + ".new", self.path)

    async def handle(self, reader, writer):
        for _ in range(100):  # the device may still be starting
            try:
                upstream_reader, upstream_writer = await asyncio.open_connection(
                    "127.0.0.1", self.inner)
                break
            except ConnectionError:
                await asyncio.sleep(0.1)
        else:
            writer.close()
            return
        state = {"outstanding": 0, "last": None, "counted": False}

        async def frame(source):
            header = await source.readexactly(7)
            return header + await source.readexactly(int.from_bytes(header[4:6], "big") - 1)

        async def requests():
            while True:
                request = await frame(reader)
                now = time.monotonic()
                if not state["counted"]:
                    state["counted"] = True
                    self.stats["connections"] += 1
                if state["last"] is not None:
                    spacing = now - state["last"]
                    if self.stats["min_spacing"] is None or spacing < self.stats["min_spacing"]:
                        self.stats["min_spacing"] = spacing
                state["last"] = now
                state["outstanding"] += 1
                self.stats["requests"] += 1
                self.stats["max_outstanding"] = max(self.stats["max_outstanding"],
                                                    state["outstanding"])
                if request[6] not in self.stats["units"]:
                    self.stats["units"].append(request[6])
                self.save()
                upstream_writer.write(request)

        async def answers():
            while True:
                answer = await frame(upstream_reader)
                await asyncio.sleep(self.delay)
                state["outstanding"] -= 1
                writer.write(answer)

        try:
            await asyncio.gather(requests(), answers())
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()
            upstream_writer.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


async def serve(context, slaves, port, contents):
    async def tick():
        count = 0
        while True:
            await asyncio.sleep(0.1)
            count = (count + 1) % 65536
            for unit in slaves:
                context[unit].setValues(3, TICK, [count])

    ticker = asyncio.create_task(tick())
    if "serial" in contents:
        server = await StartAsyncSerialServer(
            context=context, framer=ModbusRtuFramer, port=contents["serial"],
            baudrate=contents.get("baudrate", 19200), parity="N",
            bytesize=contents.get("bytesize", 8), stopbits=contents.get("stopbits", 1),
            defer_start=True)
        await server.start()
        # The port only tells the test that the serial port is open and served.
        ready = await asyncio.start_server(lambda r, w: w.close(), "127.0.0.1", port)
        await server.serve_forever()
        ready.close()
    elif "watch" in contents:
        inner = free_port()
        recorder = Recorder(contents["watch"], contents.get("delay", 0), inner)
        device = asyncio.create_task(StartAsyncTcpServer(
            context=context, address=("127.0.0.1", inner), allow_reuse_address=True))
        front = await asyncio.start_server(recorder.handle, "127.0.0.1", port,
                                           reuse_address=True)
        await device
        front.close()
    else:
        # A device that died leaves its port in TIME_WAIT; it must be able to come back on it.
        await StartAsyncTcpServer(context=context, address=("127.0.0.1", port),
                                  allow_reuse_address=True)
    ticker.cancel()


if __name__ == "__main__":
    main()
