"""Receipts in DSSE envelopes, the signed-envelope form that supply-chain attestations use.

    {"payload": BASE64(receipt JSON), "payloadType": "application/vnd.quillmere.receipt+json",
     "signatures": [{"keyid": KID, "sig": BASE64(Ed25519 signature of PAE)}]}

PAE (pre-authentication encoding) is b"DSSEv1 %d %s %d %s" % (len(type), type, len(payload),
payload), lengths in decimal bytes; the envelope's signature covers it, so any DSSE verifier
with the public key checks the envelope. The payload is the receipt's exact JSON text, itself
signed (its own `sig`) by the same key when the envelope is made, so the receipt inside
stays checkable on its own once taken out.
"""

from __future__ import annotations

import base64
import binascii
import json
from typing import Any, Dict, Mapping, NamedTuple, Optional, Tuple, Union

from ._core import Receipt, receipt_from_json
from ._receipt import ReceiptLike
from .errors import SignatureError
from ._signing import KeyringLike, SigningKey, check_signature_record, keyring_of, sign_receipt, signature_of

__all__ = ["PAYLOAD_TYPE", "EnvelopeCheck", "pae", "dsse_envelope", "open_dsse", "is_dsse"]

PAYLOAD_TYPE = "application/vnd.quillmere.receipt+json"


def pae(payload_type: str, payload: bytes) -> bytes:
    """DSSE's pre-authentication encoding of a payload and its type."""
    kind = payload_type.encode("utf-8")
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)


def _b64decode(text: Any, what: str) -> bytes:
    """Standard or URL-safe base64, padded or not, as DSSE readers accept."""
    if not isinstance(text, str):
        raise SignatureError(f"DSSE envelope: {what} is not a base64 string")
    try:
        unpadded = text.rstrip("=")
        padded = unpadded + "=" * (-len(unpadded) % 4)
        return base64.b64decode(padded.replace("-", "+").replace("_", "/"), validate=True)
    except (binascii.Error, ValueError):
        raise SignatureError(f"DSSE envelope: {what} is not valid base64") from None


def dsse_envelope(receipt: ReceiptLike, key: SigningKey, *, replace_signature: bool = False) -> Dict[str, Any]:
    """The envelope of `receipt` signed by `key`. An unsigned receipt is signed by `key`
    first (so is a signed one when `replace_signature`); one signed by another key keeps
    that signature inside."""
    if replace_signature or signature_of(receipt) is None:
        receipt = sign_receipt(receipt, key)
    payload = receipt.to_json().encode("utf-8")
    signature = key.sign(pae(PAYLOAD_TYPE, payload))
    return {
        "payload": base64.b64encode(payload).decode("ascii"),
        "payloadType": PAYLOAD_TYPE,
        "signatures": [{"keyid": key.kid, "sig": base64.b64encode(signature).decode("ascii")}],
    }


class EnvelopeCheck(NamedTuple):
    """The envelope's own signature: "valid", "absent", "unknown_key" or "bad", as for a
    receipt's signature; kid of the key that verified it (or of the first one tried)."""

    signature: str
    kid: Optional[str] = None
    problem: Optional[str] = None


def is_dsse(document: Any) -> bool:
    """Whether a parsed JSON document has the shape of a DSSE envelope."""
    return isinstance(document, dict) and "payloadType" in document and "payload" in document


def _check_signatures(signatures: Any, message: bytes, keyring: Any) -> EnvelopeCheck:
    if not isinstance(signatures, list) or not signatures:
        return EnvelopeCheck("absent", None, "the envelope has no signatures")
    first_kid: Optional[str] = None
    bad: Optional[EnvelopeCheck] = None
    for entry in signatures:
        if not isinstance(entry, dict):
            bad = bad or EnvelopeCheck("bad", None, "an envelope signature is not an object")
            continue
        kid = entry.get("keyid")
        kid = kid if isinstance(kid, str) and kid else None
        first_kid = first_kid or kid
        try:
            signature = _b64decode(entry.get("sig"), "a signature")
        except ValueError as error:
            bad = bad or EnvelopeCheck("bad", kid, str(error))
            continue
        if keyring is None:
            continue
        # The keyid is a hint: without one, every trusted key is tried.
        candidates = [keyring.get(kid)] if kid is not None else [keyring.get(k) for k in keyring.kids()]
        for key in candidates:
            if key is not None and key.verify(message, signature):
                return EnvelopeCheck("valid", key.kid, None)
        if any(key is not None for key in candidates):
            bad = bad or EnvelopeCheck("bad", kid, "the envelope signature does not match its payload")
    if bad is not None:
        return bad
    shown = f"key {first_kid[:64]!r}" if first_kid else "no signature's key"
    return EnvelopeCheck("unknown_key", first_kid, f"{shown} is not in the keyring")


def open_dsse(envelope: Union[str, bytes, Mapping[str, Any]],
              keyring: Optional[KeyringLike] = None) -> Tuple[Receipt, EnvelopeCheck]:
    """The receipt inside an envelope (JSON text or parsed), and the check of the envelope's
    signatures against `keyring` (without one: "unknown_key", nothing is trusted). The receipt
    itself is not checked here: pass it to `check_receipt`. A document that is no DSSE
    envelope of a receipt raises `ValueError`."""
    document: Any = envelope
    if isinstance(envelope, (str, bytes)):
        try:
            document = json.loads(envelope)
        except ValueError as error:
            raise SignatureError(f"DSSE envelope: not JSON: {error}") from None
    if not is_dsse(document):
        raise SignatureError("not a DSSE envelope (no payloadType and payload)")
    payload_type = document["payloadType"]
    if payload_type != PAYLOAD_TYPE:
        shown = payload_type[:80] if isinstance(payload_type, str) else type(payload_type).__name__
        raise SignatureError(f"DSSE envelope: payloadType {shown!r} is not {PAYLOAD_TYPE!r}")
    payload = _b64decode(document["payload"], "the payload")
    try:
        text = payload.decode("utf-8")
        receipt = receipt_from_json(text)
        check_signature_record(text, receipt)
    except UnicodeDecodeError:
        raise SignatureError("DSSE envelope: the payload is not UTF-8 text") from None
    except ValueError as error:
        raise SignatureError(f"DSSE envelope: the payload is not a receipt: {error}") from None
    check = _check_signatures(document.get("signatures"), pae(payload_type, payload), keyring_of(keyring))
    return receipt, check
