"""Sends Modbus requests with pymodbus and prints one JSON line per answer.

Usage: modbus_client.py HOST PORT REQUESTS, REQUESTS a JSON list of
[call, unit, args...], call a method of pymodbus's ModbusTcpClient. Each line
is {"values": [...]} or {"exception": code} or {"error": text}.
"""
import json
import sys

from pymodbus.client import ModbusTcpClient


def answer(client, call, unit, args):
    try:
        response = getattr(client, call)(*args, slave=unit)
    except Exception as error:  # a closed connection, a time-out
        return {"error": str(error)}
    if response.isError():
        code = getattr(response, "exception_code", None)
        return {"exception": code} if code is not None else {"error": str(response)}
    if hasattr(response, "registers"):
        return {"values": list(response.registers)}
    if hasattr(response, "bits"):
        count = args[1] if len(args) > 1 else 1
        return {"values": [int(bit) for bit in response.bits[:count]]}
    return {"values": []}


def main():
    host, port, requests = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
    client = ModbusTcpClient(host, port=port, timeout=5, retries=0)
    client.connect()
    for call, unit, *args in requests:
        print(json.dumps(answer(client, call, unit, args)), flush=True)
    client.close()


main()
