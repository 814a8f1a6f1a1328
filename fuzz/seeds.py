#!/usr/bin/env python3
"""Writes the fuzz seed inputs, taken from the known-answer vectors, under OUT/<target>/."""
import hashlib
import json
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VECTORS = ROOT / "tests" / "vectors"
MAX_DATA = 48 * 1024  # chunking inputs are cut to this many bytes


def load(name):
    return json.loads((VECTORS / name).read_text(encoding="utf-8"))


def chunking_data(recipe):
    length = min(recipe["length"], MAX_DATA)
    if recipe["kind"] == "zeros":
        return bytes(length)
    if recipe["kind"] == "mod251":
        return bytes(i % 251 for i in range(length))
    out = bytearray()
    seed = recipe["seed"].encode()
    counter = 0
    while len(out) < length:
        out += hashlib.sha256(seed + struct.pack(">Q", counter)).digest()
        counter += 1
    return bytes(out[:length])


def chunking_seed(scheme, data, piece_seed, block):
    fixed = scheme["type"] == "fixed"
    size = scheme["size"] if fixed else scheme["avg_size"]
    # Mode bits: 0 = fixed, 1..2 = size form (1: two bytes, 3: eight bytes).
    if size < 0x10000:
        head = bytes([(1 if fixed else 0) | (1 << 1)]) + struct.pack(">H", size)
    else:
        head = bytes([(1 if fixed else 0) | (3 << 1)]) + struct.pack(">Q", size)
    return head + struct.pack(">IH", piece_seed, block) + data


def uuid_forms(text):
    hexdigits = text.replace("-", "")
    return [text, text.upper(), hexdigits, "{" + text + "}", "urn:uuid:" + text]


def seeds():
    out = {"receipt": [], "json": [], "chunking": [], "values": []}
    receipts = load("receipts.json")
    texts = []
    for r in receipts:
        texts += [r["input_json"], r["to_json"], r["sealed_json"]]
    texts += [w["receipt_json"] for w in load("record_work.json")]
    out["receipt"] += [t.encode() for t in texts]
    # A receipt read first into the reused receipt, then another one.
    for a, b in zip(texts, texts[3:] + texts[:3]):
        out["receipt"].append(a.encode() + b"\0" + b.encode())

    out["json"] += [t.encode() for t in texts]
    for case in load("jcs.json"):
        out["json"] += [case["json"].encode(), case["jcs"].encode()]
    for case in load("method_shape.json"):
        if case.get("params_json"):
            out["json"].append(case["params_json"].encode())
    numbers = load("numbers.json")
    for group in ("float64", "float32"):
        out["json"].append(("[" + ",".join(c["json"] for c in numbers[group]) + "]").encode())

    for i, case in enumerate(load("chunking.json")):
        data = chunking_data(case["input"])
        out["chunking"].append(chunking_seed(case["scheme"], data, 0x9E3779B9 + i, 4096 + i))

    values = []
    for r in receipts:
        doc = json.loads(r["input_json"])
        values += [b"\0" + f.encode() for f in uuid_forms(doc["rid"])]
        values.append(b"\2" + bytes(8) + doc["ctx"]["timestamp"].encode())
        if doc.get("attest") is not None:
            values.append(b"\3" + json.dumps(doc["attest"]).encode())
    for w in load("record_work.json"):
        values.append(b"\2" + struct.pack(">q", w["clock_unix_ns"]) + w["timestamp"].encode())
    for n in (0, 1, 2, 3, 31, 32, 33):
        values.append(b"\1" + bytes(range(n)))
    values.append(b"\1" + b"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")
    values += [b"\3" + bytes([9, 4, 3, 1, 0x61, 0, 0, 1, 2, 7, 20, 5])]
    out["values"] += values
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: seeds.py OUT_DIR")
    root = Path(sys.argv[1])
    for target, inputs in seeds().items():
        folder = root / target
        folder.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


if __name__ == "__main__":
    main()
