"""Signing and checking receipts against the `cryptography` package doing the same Ed25519
operations on the same bytes, and storing receipts with a signing client against without.

    flock /tmp/qm-bench.lock env PYTHONPATH=build/dev/src/python:python \
        build/venv/bin/python bench/sign_bench.py [--calls 2000] [--rounds 9] [--dir /tmp]

Each pair runs in alternating rounds; the best round of each gives the time per call and
their ratio. Targets: sign_receipt and check_receipt within 1.20 of the `cryptography`
package's sign and verify of the signed bytes (both call OpenSSL; ours also recomputes the
hash from the body, and checking runs the validation rules); store_receipt with signing at
most 1.30 of store_receipt without, for each store kind. A second reference calls the
system's libcrypto (the extension's own) through ctypes, since `cryptography` carries its own
OpenSSL, whose Ed25519 may be of another version and speed.
"""

from __future__ import annotations

import argparse
import base64
import ctypes
import ctypes.util
import os
import shutil
import subprocess
import tempfile
import time
from typing import Callable, Tuple

from cryptography.hazmat.backends.openssl.backend import backend
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import load_pem_private_key

import _quillmere
import quillmere as qm

PAYLOAD = {"input": "data", "rows": 1200, "columns": ["id", "price", "currency"]}


def best_pair(ours: Callable[[], object], reference: Callable[[], object], calls: int,
              rounds: int) -> Tuple[float, float]:
    """Best time per call of each, rounds alternating so that load on the machine hits both."""
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for index, function in enumerate((ours, reference)):
            start = time.perf_counter()
            for _ in range(calls):
                function()
            best[index] = min(best[index], (time.perf_counter() - start) / calls)
    return best[0], best[1]


def show(name: str, ours: float, reference: float, against: str, target: str) -> None:
    print(f"{name:<44} {ours * 1e6:9.2f} us   {against:<26} {reference * 1e6:9.2f} us   "
          f"ratio {ours / reference:5.3f}   (target: {target})")


class SystemOpenSSL:
    """Ed25519 through the system's libcrypto (the one the extension links), called with
    ctypes the way any caller of its one-shot interface does: a reference that shares our
    OpenSSL version. `cryptography` carries its own, often newer, OpenSSL."""

    def __init__(self, private_pem: bytes) -> None:
        path = ctypes.util.find_library("crypto")
        lib = ctypes.CDLL(path or "libcrypto.so.3")
        lib.OpenSSL_version.restype = ctypes.c_char_p
        self.version = lib.OpenSSL_version(0).decode()
        for name, restype in [("BIO_new_mem_buf", ctypes.c_void_p), ("PEM_read_bio_PrivateKey", ctypes.c_void_p),
                              ("EVP_MD_CTX_new", ctypes.c_void_p)]:
            getattr(lib, name).restype = restype
        lib.BIO_new_mem_buf.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.PEM_read_bio_PrivateKey.argtypes = [ctypes.c_void_p] * 4
        lib.EVP_DigestSignInit.argtypes = [ctypes.c_void_p] * 5
        lib.EVP_DigestSign.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_size_t),
                                       ctypes.c_char_p, ctypes.c_size_t]
        lib.EVP_DigestVerifyInit.argtypes = [ctypes.c_void_p] * 5
        lib.EVP_DigestVerify.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                         ctypes.c_char_p, ctypes.c_size_t]
        lib.EVP_MD_CTX_free.argtypes = [ctypes.c_void_p]
        bio = lib.BIO_new_mem_buf(private_pem, len(private_pem))
        self.key = lib.PEM_read_bio_PrivateKey(bio, None, None, None)
        assert self.key
        self.lib = lib
        self.out = ctypes.create_string_buffer(64)
        self.size = ctypes.c_size_t(64)

    def sign(self, message: bytes) -> bytes:
        lib = self.lib
        context = lib.EVP_MD_CTX_new()
        self.size.value = 64
        ok = lib.EVP_DigestSignInit(context, None, None, None, self.key) == 1 and \
            lib.EVP_DigestSign(context, self.out, ctypes.byref(self.size), message, len(message)) == 1
        lib.EVP_MD_CTX_free(context)
        assert ok
        return self.out.raw

    def verify(self, signature: bytes, message: bytes) -> bool:
        lib = self.lib
        context = lib.EVP_MD_CTX_new()
        ok = lib.EVP_DigestVerifyInit(context, None, None, None, self.key) == 1 and \
            lib.EVP_DigestVerify(context, signature, len(signature), message, len(message)) == 1
        lib.EVP_MD_CTX_free(context)
        return bool(ok)


def load() -> str:
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--dir", default=None, help="where the stores go (default: a temporary directory)")
    args = parser.parse_args()
    print(f"load before: {load()}")

    key = _quillmere.signing.generate_signing_key_py()
    theirs = load_pem_private_key(key.private_key_pem(), None)
    assert isinstance(theirs, Ed25519PrivateKey)
    their_public = theirs.public_key()
    ring = qm.Keyring([key])
    receipt = qm.record_work("bench", PAYLOAD)
    signed = qm.sign_receipt(receipt, key)
    message = qm.signed_message(receipt)
    signature = key.sign(message)
    assert signature == theirs.sign(message)  # Ed25519 is deterministic: the same bytes out
    assert base64.urlsafe_b64encode(signature).rstrip(b"=").decode() in signed.to_json()
    system = SystemOpenSSL(key.private_key_pem())
    assert system.sign(message) == signature and system.verify(signature, message)
    print(f"cryptography's OpenSSL: {backend.openssl_version_text()}; the system's: {system.version}")

    print(f"\nper receipt, {args.calls} calls a round, best of {args.rounds} alternating rounds")
    pairs = [
        ("sign_receipt (hash check, sign, new receipt)", lambda: qm.sign_receipt(receipt, key),
         lambda: theirs.sign(message), "cryptography sign", "<= 1.20"),
        ("SigningKey.sign of the signed bytes", lambda: key.sign(message),
         lambda: theirs.sign(message), "cryptography sign", "report"),
        ("sign_receipt (hash check, sign, new receipt)", lambda: qm.sign_receipt(receipt, key),
         lambda: system.sign(message), "system OpenSSL sign", "report"),
        ("check_receipt (hash, rules, verify, Verdict)", lambda: qm.check_receipt(signed, ring),
         lambda: their_public.verify(signature, message), "cryptography verify", "<= 1.20"),
        ("PublicKey.verify of the signed bytes", lambda: key.public_key.verify(message, signature),
         lambda: their_public.verify(signature, message), "cryptography verify", "report"),
        ("check_receipt (hash, rules, verify, Verdict)", lambda: qm.check_receipt(signed, ring),
         lambda: system.verify(signature, message), "system OpenSSL verify", "report"),
    ]
    for name, ours, reference, against, target in pairs:
        show(name, *best_pair(ours, reference, args.calls, args.rounds), against, target)

    root = tempfile.mkdtemp(prefix="qm-sign-bench-", dir=args.dir)
    try:
        print(f"\nstore_receipt, signing client vs plain client, {args.calls // 4} calls a round")
        receipts = [qm.record_work("bench", PAYLOAD) for _ in range(args.calls // 4)]
        stores = [("filesystem", lambda name: {"storage_path": os.path.join(root, name)}),
                  ("sqlite", lambda name: {"storage_url": f"sqlite://{root}/{name}.db"})]
        for kind, where in stores:
            signing_client = qm.Client(**where("signed"), signing_key=key)  # type: ignore[arg-type]
            plain_client = qm.Client(**where("plain"))  # type: ignore[arg-type]

            def run(client: qm.Client) -> Callable[[], None]:
                def store_all() -> None:
                    for r in receipts:
                        client.store_receipt(r)
                return store_all

            ours, reference = best_pair(run(signing_client), run(plain_client), 1, max(3, args.rounds // 3))
            count = len(receipts)
            show(f"store_receipt, {kind}, signing", ours / count, reference / count, "without signing", "<= 1.30")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"\nload after: {load()}")


if __name__ == "__main__":
    main()
