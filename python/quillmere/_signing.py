"""Signed receipts: Ed25519 keys, keyrings of trusted public keys, signing and checking.

A receipt's hash shows only that its bytes agree with each other; whoever edits a receipt can
seal it again. A signature shows who sealed it. What is signed, exactly:

    signed_message(receipt) == b"quillmere/receipt-signature/v1\\n" + receipt.hash (ASCII)

and the receipt's `sig` is {"alg": "ed25519", "kid": KID, "sig": base64url (no padding) of the
64 signature bytes}. The signature stays outside the hash, so signing leaves the hash as it
was. KID is the lowercase hex SHA-256 of the signer's public key in DER SubjectPublicKeyInfo
form (`openssl pkey -pubin -in key.pub -outform DER | sha256sum`). Any Ed25519 verifier can
check a signature from these bytes alone.

Key files are PEM: the private key unencrypted PKCS#8, owner-only (0600), the public key
(SubjectPublicKeyInfo) beside it as PATH.pub. No key material appears in a repr, an exception
text or a log line.
"""

from __future__ import annotations

import json
import os
import secrets
import stat
from typing import Dict, Iterable, List, Optional, Union

from _quillmere import signing as _signing

from ._core import Receipt, StoragePath
from ._receipt import ReceiptLike, native_receipt, view_of
from .errors import SignatureError

__all__ = [
    "Keyring",
    "PublicKey",
    "SigningKey",
    "Verdict",
    "check_receipt",
    "check_signature_record",
    "generate_key",
    "load_public_key",
    "load_signing_key",
    "public_key_path",
    "sign_receipt",
    "signature_of",
    "signed_message",
]

SigningKey = _signing.SigningKey
PublicKey = _signing.PublicKey

# Key files are a few hundred bytes; anything much larger is not a key and is not read whole.
MAX_KEY_FILE = 64 << 10
PUBLIC_SUFFIX = ".pub"
# What a keyring directory is made of.
PUBLIC_KEY_SUFFIXES = (".pub", ".pem")

KeyringLike = Union["Keyring", _signing.Keyring, Iterable[Union[PublicKey, SigningKey, StoragePath]],
                    StoragePath]


def _path_text(path: StoragePath) -> str:
    text = os.fspath(path)
    return os.fsdecode(text) if isinstance(text, bytes) else text


def public_key_path(path: StoragePath) -> str:
    """Where `generate_key(path)` puts the public key: PATH.pub."""
    return _path_text(path) + PUBLIC_SUFFIX


def _write_new(path: str, data: bytes, mode: int) -> None:
    """Writes a file that must not exist yet, whole or not at all, with exactly `mode`.

    The bytes go to a hidden file created with `mode` (the umask can only take permissions
    away, so a private key is never readable by anyone else, not even for a moment), synced,
    and then linked to its name, which fails if the name is taken: an existing key is never
    replaced.
    """
    directory = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(directory, f".{os.path.basename(path)}.{secrets.token_hex(8)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    try:
        try:
            os.fchmod(fd, mode)
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.link(temporary, path)
    finally:
        os.unlink(temporary)
    dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def generate_key(path: StoragePath) -> SigningKey:
    """A new Ed25519 signing key written to `path` (PKCS#8 PEM, mode 0600), its public key to
    PATH.pub (0644). Neither may exist yet; a missing directory is made (0700)."""
    private_path = _path_text(path)
    public_path = public_key_path(private_path)
    os.makedirs(os.path.dirname(os.path.abspath(private_path)), mode=0o700, exist_ok=True)
    for taken in (private_path, public_path):
        if os.path.lexists(taken):
            raise FileExistsError(f"{taken} exists already; a key file is never replaced")
    key = _signing.generate_signing_key_py()
    _write_new(private_path, key.private_key_pem(), 0o600)
    try:
        _write_new(public_path, key.public_key.pem(), 0o644)
    except BaseException:
        os.unlink(private_path)
        raise
    return key


def _read_key_file(path: str, *, private: bool) -> bytes:
    # Non-blocking: a FIFO in the key's place is refused below instead of waiting for a writer.
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise SignatureError(f"{path}: not a key file (not a regular file)")
        if private and info.st_mode & 0o077:
            mode = stat.S_IMODE(info.st_mode)
            raise PermissionError(
                f"{path}: private key file is open to group or others (mode {mode:04o}); "
                f"make it private with: chmod 600 {path}"
            )
        data = os.read(fd, MAX_KEY_FILE + 1)
    finally:
        os.close(fd)
    if len(data) > MAX_KEY_FILE:
        raise SignatureError(f"{path}: not a key file (larger than {MAX_KEY_FILE // 1024} KiB)")
    return data


def load_signing_key(path: StoragePath) -> SigningKey:
    """The signing key of a PEM file that only its owner may read or write (mode 0600 or
    0400); a file open to group or others is refused with `PermissionError`."""
    text = _path_text(path)
    data = _read_key_file(text, private=True)
    try:
        return _signing.signing_key_from_pem_py(data)
    except ValueError as error:
        raise SignatureError(f"{text}: {error}") from None


def _holds_private_key(data: bytes) -> bool:
    return b"PRIVATE KEY-----" in data


def load_public_key(path: StoragePath) -> PublicKey:
    """The public key of a PEM file ("BEGIN PUBLIC KEY"). A private key is refused: trusted
    keys are shared, and a private key must not be."""
    text = _path_text(path)
    data = _read_key_file(text, private=False)
    if _holds_private_key(data):
        raise SignatureError(f"{text}: holds a private key; a keyring takes public keys only "
                         f"(the public key is {text}{PUBLIC_SUFFIX})")
    try:
        return _signing.public_key_from_pem_py(data)
    except ValueError as error:
        raise SignatureError(f"{text}: {error}") from None


class Keyring:
    """Trusted public keys by key id: `Keyring([key, "alice.pub", ...])` (PublicKeys, SigningKeys
    or public key files) or `Keyring.from_dir(d)`; `kid in ring`, `len(ring)`, `ring.get(kid)`."""

    __slots__ = ("_native",)

    def __init__(self, keys: Iterable[Union[PublicKey, SigningKey, StoragePath]] = ()) -> None:
        loaded = [load_public_key(k) if isinstance(k, (str, bytes, os.PathLike)) else k for k in keys]
        self._native = _signing.Keyring(loaded)

    @classmethod
    def from_dir(cls, directory: StoragePath) -> "Keyring":
        """Every public key file (*.pub, *.pem) in `directory`; private key files are passed over."""
        text = _path_text(directory)
        with os.scandir(text) as entries:
            paths = sorted(e.path for e in entries
                           if e.name.endswith(PUBLIC_KEY_SUFFIXES) and not e.name.startswith(".")
                           and e.is_file())
        public = [p for p in paths if not _holds_private_key(_read_key_file(p, private=False))]
        if not public:
            raise SignatureError(f"{text}: no public key files (*.pub, *.pem) in this directory")
        return cls(public)

    def kids(self) -> List[str]:
        return self._native.kids()

    def get(self, kid: str) -> Optional[PublicKey]:
        return self._native.get(kid)

    def __contains__(self, kid: object) -> bool:
        return kid in self._native

    def __len__(self) -> int:
        return len(self._native)

    def __repr__(self) -> str:
        return f"Keyring({', '.join(kid[:16] for kid in self.kids())})"


def keyring_of(keys: Optional[KeyringLike]) -> Optional[_signing.Keyring]:
    """The native keyring of anything `check_receipt` takes as `keyring`: a Keyring, a
    directory of public keys, one public key file, or an iterable of keys and paths."""
    if keys is None or isinstance(keys, _signing.Keyring):
        return keys
    if isinstance(keys, Keyring):
        return keys._native
    if isinstance(keys, (str, bytes, os.PathLike)):
        if os.path.isdir(keys):
            return Keyring.from_dir(keys)._native
        return Keyring([keys])._native
    return Keyring(keys)._native


def signed_message(receipt: ReceiptLike) -> bytes:
    """The exact bytes a receipt's signature covers (see the module text)."""
    return _signing.signed_message_py(native_receipt(receipt))


def sign_receipt(receipt: ReceiptLike, key: SigningKey) -> Receipt:
    """The receipt signed by `key`: same hash, `sig` set (an earlier signature is replaced).
    A receipt whose stored hash does not match its body is refused with `ValueError`."""
    return Receipt(_signing.sign_receipt_py(native_receipt(receipt), key))


def signature_of(receipt: ReceiptLike) -> Optional[Dict[str, str]]:
    """The receipt's signature record ({"alg", "kid", "sig"}), or None when it is unsigned."""
    return view_of(receipt).sig


def check_signature_record(text: str, receipt: ReceiptLike) -> None:
    """Raise `ValueError` when the JSON `text` that `receipt` was read from has a "sig" that the
    reader dropped because it is no record of three strings (it reads as unsigned): such a
    signature is bad, not absent."""
    if '"sig":null' in text or signature_of(receipt) is not None:
        return
    document = json.loads(text)
    if isinstance(document, dict) and document.get("sig") is not None:
        raise SignatureError("signature bad: \"sig\" is not an object of text alg, kid and sig")


class Verdict:
    """What `check_receipt` found.

    hash: "valid", "mismatch" (the body changed after it was sealed) or "invalid" (cannot be
    hashed, or a rule fails). signature: "valid", "absent", "unknown_key" (well formed, key not
    in the keyring) or "bad" (malformed, or not by the key its kid names over this body's hash).
    Also kid, hash_problem, signature_problem (texts or None), keyring (whether one was given).
    """

    def __init__(self, hash: str, signature: str, kid: Optional[str] = None, hash_problem: Optional[str] = None,
                 signature_problem: Optional[str] = None, keyring: bool = False) -> None:
        self.hash, self.signature, self.kid = hash, signature, kid
        self.hash_problem, self.signature_problem, self.keyring = hash_problem, signature_problem, keyring


    def ok(self, require_signature: bool = False) -> bool:
        """Hash valid; signature valid, or absent when not required. Bad always fails; by an
        unknown key, when a keyring was given (without one only the form is checked)."""
        return not self.problems(require_signature)

    def signature_fault(self, require_signature: bool = False) -> Optional[str]:
        """What is wrong with the signature under these rules, or None."""
        if self.signature == "valid":
            return None
        if self.signature == "absent":
            return "the receipt is not signed" if require_signature else None
        if self.signature == "bad" or self.keyring or require_signature:
            return self.signature_problem or f"signature {self.signature}"
        return None

    def problems(self, require_signature: bool = False) -> List[str]:
        """What keeps `ok(require_signature)` from holding, one text each."""
        found = [self.hash_problem or f"hash {self.hash}"] if self.hash != "valid" else []
        fault = self.signature_fault(require_signature)
        return found + [fault] if fault is not None else found

    def __repr__(self) -> str:
        signature = self.signature.replace("_", " ")
        if self.kid is not None and self.signature != "absent":
            signature += f" (key {self.kid[:16]})"
        return f"<Verdict hash {self.hash}, signature {signature}>"


def check_receipt(receipt: ReceiptLike, keyring: Optional[KeyringLike] = None) -> Verdict:
    """Check a receipt's hash (recomputed from the body) and rules, then its signature over
    that hash with the key for its kid in `keyring`: a Keyring, a directory of public keys,
    a public key file or an iterable of keys (None: only the signature's form)."""
    ring = keyring_of(keyring)
    hash_status, hash_problem, signature, signature_problem, kid = _signing.check_receipt_py(native_receipt(receipt), ring)
    return Verdict(hash_status, signature, kid, hash_problem, signature_problem, ring is not None)
