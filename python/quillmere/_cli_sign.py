"""`quillmere key new`, `quillmere sign`, and what `quillmere verify` adds for signatures:
`--keys DIR` (a keyring of trusted public keys), `--require-signature`, and DSSE envelopes
read back as the receipts they carry."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Callable, List, Optional, Tuple

from ._cli_output import clean
from ._core import Client, Receipt
from ._dsse import is_dsse, open_dsse
from ._signing import (
    Keyring,
    check_receipt,
    check_signature_record,
    generate_key,
    keyring_of,
    load_signing_key,
    public_key_path,
    sign_receipt,
    signature_of,
)

Command = Callable[..., argparse.ArgumentParser]


def cmd_key_new(args: argparse.Namespace) -> int:
    key = generate_key(args.path)
    print(f"kid {key.kid}")
    print(f"private key {args.path} (mode 0600: keep it secret)")
    print(f"public key  {public_key_path(args.path)} (give it to whoever verifies: verify --keys DIR)")
    return 0


def cmd_sign(args: argparse.Namespace, open_store: Callable[..., Client],
             find_receipt: Callable[[Client, str, str], Receipt], failure: Callable[[str], Exception]) -> int:
    key = load_signing_key(args.key)
    client = open_store(args.store)
    receipts = [find_receipt(client, args.store, rid) for rid in args.rids] if args.rids else client.list_receipts()
    counts = {"signed": 0, "already signed": 0, "kept": 0, "failed": 0}
    to_store: List[Receipt] = []
    for receipt in receipts:
        rid = receipt.rid
        existing = signature_of(receipt)
        if existing is not None and existing.get("kid") == key.kid and check_receipt(receipt, [key]).ok(True):
            counts["already signed"] += 1
            continue
        if existing is not None and not args.replace:
            counts["kept"] += 1
            print(f"kept      {rid}  signed by key {clean(str(existing.get('kid'))[:16])}; --replace signs it anew")
            continue
        try:
            to_store.append(sign_receipt(receipt, key))
        except ValueError as error:
            counts["failed"] += 1
            print(f"FAILED    {rid}  {clean(error)}")
            continue
        print(f"signed    {rid}")
        counts["signed"] += 1
    if to_store:
        client.store_receipts(to_store)
    print(", ".join(f"{n} {what}" for what, n in counts.items()) + f" (key {key.kid[:16]})")
    if not receipts:
        raise failure(f"no receipts in {args.store}")
    return 1 if counts["failed"] else 0


def register(command: Command, add_store: Callable[..., None], open_store: Callable[..., Client],
             find_receipt: Callable[[Client, str, str], Receipt], failure: Callable[[str], Exception]) -> None:
    p = command("key", "make signing keys", lambda args: args.parser.error("say what to do: key new PATH"))
    p.set_defaults(parser=p)
    keys = p.add_subparsers(dest="key_command", metavar="ACTION", parser_class=type(p))
    new = keys.add_parser("new", help="a new Ed25519 signing key in PATH (mode 0600), its public key in PATH.pub",
                          description="Write a new Ed25519 signing key to PATH (PKCS#8 PEM, mode 0600) and its "
                                      "public key to PATH.pub. Neither may exist yet.")
    new.add_argument("path", metavar="PATH", help="where the private key goes, e.g. keys/signer.pem")
    new.set_defaults(run=cmd_key_new)

    p = command("sign", "sign stored receipts with a signing key",
                lambda args: cmd_sign(args, open_store, find_receipt, failure))
    p.add_argument("rids", metavar="RID", nargs="*", help="receipts to sign (or the start of their rids); "
                   "none: every receipt of the store")
    p.add_argument("--key", metavar="K", required=True, help="the private key file (from 'key new')")
    p.add_argument("--replace", action="store_true",
                   help="sign receipts signed by another key anew (their signature is kept otherwise)")
    add_store(p)


def add_verify_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--keys", metavar="DIR", help="check signatures against the public keys (*.pub, *.pem) in DIR "
                   "(or one public key file); a signature by any other key is a fault")
    p.add_argument("--require-signature", action="store_true",
                   help="an unsigned receipt is a fault (needs --keys)")


def load_keyring(args: argparse.Namespace, usage: Callable[[str], Exception]) -> Any:
    """The keyring of --keys, loaded once per run (kept on `args`)."""
    if getattr(args, "require_signature", False) and not getattr(args, "keys", None):
        raise usage("--require-signature needs --keys DIR: without trusted keys no signature can be checked")
    if not hasattr(args, "_keyring"):
        keys = getattr(args, "keys", None)
        args._keyring = None if not keys else keyring_of(Keyring.from_dir(keys) if os.path.isdir(keys) else Keyring([keys]))
    return args._keyring


def read_receipt(text: str, args: argparse.Namespace, usage: Callable[[str], Exception],
                 parse: Callable[[str], Receipt]) -> Receipt:
    """The receipt of a file's text: a receipt's JSON, or a DSSE envelope whose own signature
    must hold when --keys is given (ValueError says why not)."""
    stripped = text.lstrip()
    if stripped.startswith("{") and '"payloadType"' in text:
        try:
            document = json.loads(text)
        except ValueError:
            document = None
        if is_dsse(document):
            keyring = load_keyring(args, usage)
            receipt, envelope = open_dsse(document, keyring)
            if keyring is not None and envelope.signature != "valid":
                raise ValueError(f"DSSE envelope signature {envelope.signature.replace('_', ' ')}: {envelope.problem}")
            return receipt
    receipt = parse(text)
    check_signature_record(text, receipt)
    return receipt


def verdict(receipt: Receipt, args: argparse.Namespace,
            usage: Callable[[str], Exception]) -> Tuple[bool, Optional[str], Optional[str]]:
    """(valid, what is wrong, signature status) of one receipt under --keys and
    --require-signature; the status is None when signatures are not being checked."""
    keyring = load_keyring(args, usage)
    require = bool(getattr(args, "require_signature", False))
    result = check_receipt(receipt, keyring)
    problems = result.problems(require)
    text = "; ".join(problems) if problems else None
    if keyring is None:
        return not problems, text, None
    status = result.signature.replace("_", " ")
    if result.signature == "valid" and result.kid:
        status += f" (key {result.kid[:16]})"
    return not problems, text, status

