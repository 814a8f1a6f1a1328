"""What a step knows of the data it reads and writes: each input or output hashed once into
its manifest (and sketch), where it lives, and the locator reference a receipt records.

Locator references. A receipt records where each input and the output live as an
`EncryptedLocatorRef`: the locator text (an absolute path, or a name given by the caller),
the data shape hash of the content found there, and the scheme that reads the locator back:
Data given in memory (a buffer or a manifest) has the locator text "memory".
- "plain-utf8" (the default): `encrypted_data` is the UTF-8 bytes of the locator text, so a
  receipt reader sees where the data was;
- "aes-256-gcm" (a client made with `locator_key=`, 32 bytes): `encrypted_data` is a 12-byte
  random nonce followed by the AES-256-GCM encryption of the locator text (tag appended),
  with the content hash as associated data; only the key holder reads the locator.
"""

from __future__ import annotations

import hashlib
import inspect
import os
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from . import _shapes

if TYPE_CHECKING:
    from _quillmere.receipts import LocatorRef

__all__ = ["DataItem", "hash_item", "locator_ref", "read_locator", "method_shape_of", "PLAIN_SCHEME", "AES_SCHEME"]

PLAIN_SCHEME = "plain-utf8"
AES_SCHEME = "aes-256-gcm"


@dataclass
class DataItem:
    """One input or output: its manifest, sketch (when sketches are available), data shape
    hash and locator (None for data given in memory)."""

    manifest: _shapes.Manifest
    locator: Optional[str]
    sketch: Any = None
    shape_hash: str = field(init=False)
    seen: Optional[Tuple[int, int, int, int]] = None  # (device, inode, size, mtime) when read

    def __post_init__(self) -> None:
        self.shape_hash = self.manifest.shape_hash

    def unchanged(self) -> bool:
        """Whether the file is as it was when it was read (by its metadata)."""
        return self.locator is not None and self.seen is not None and _seen(self.locator) == self.seen


def _seen(path: str) -> Optional[Tuple[int, int, int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _sketch_module() -> Any:
    return sys.modules.get("quillmere")


def hash_item(source: Any, chunk_scheme: _shapes.ChunkScheme = None) -> DataItem:
    """The manifest (and sketch) of a path, a buffer or a ready manifest, read once."""
    if isinstance(source, _shapes.Manifest):
        return DataItem(source, None, _chunk_sketch(source))
    locator = os.path.abspath(os.fsdecode(source)) if isinstance(source, (str, os.PathLike)) else None
    qm = _sketch_module()
    both = getattr(qm, "manifest_and_sketch", None)
    seen = None if locator is None else _seen(locator)
    if both is not None:
        data = locator if locator is not None else source
        manifest, sketch = both(data, records="auto", chunk_scheme=chunk_scheme)
        return DataItem(manifest, locator, sketch, seen)
    manifest = _shapes.manifest(locator if locator is not None else source, chunk_scheme)
    return DataItem(manifest, locator, None, seen)


def _chunk_sketch(manifest: _shapes.Manifest) -> Any:
    sketch_class = getattr(_sketch_module(), "Sketch", None)
    return None if sketch_class is None else sketch_class.from_manifest(manifest)


def locator_ref(item: DataItem, key: Optional[bytes], unplaced: str) -> "LocatorRef":
    """The receipt's locator reference of an item (see the module text); data given in
    memory has the locator `unplaced`, so that every input still records its content hash."""
    text = (item.locator if item.locator is not None else unplaced).encode("utf-8", "surrogateescape")
    if key is None:
        return {"encrypted_data": text, "content_hash": item.shape_hash, "encryption_scheme": PLAIN_SCHEME}
    aead = _aes(key)
    nonce = os.urandom(12)
    sealed = nonce + aead.encrypt(nonce, text, item.shape_hash.encode())
    return {"encrypted_data": sealed, "content_hash": item.shape_hash, "encryption_scheme": AES_SCHEME}


def read_locator(ref: Any, key: Optional[bytes] = None) -> Optional[str]:
    """The locator text of a reference, or None when it cannot be read (no key, unknown scheme)."""
    data = bytes(ref.get("encrypted_data") or b"")
    scheme = ref.get("encryption_scheme")
    if scheme == PLAIN_SCHEME:
        return data.decode("utf-8", "surrogateescape")
    if scheme == AES_SCHEME and key is not None and len(data) > 12:
        try:
            plain = _aes(key).decrypt(data[:12], data[12:], str(ref.get("content_hash", "")).encode())
        except Exception:  # a wrong key or damaged data: unreadable, not an error
            return None
        return bytes(plain).decode("utf-8", "surrogateescape")
    return None


def _aes(key: bytes) -> Any:
    if len(key) != 32:
        raise ValueError(f"locator_key must be 32 bytes, not {len(key)}")
    try:
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    except ImportError as error:  # pragma: no cover - depends on the installation
        raise ValueError("encrypted locators need the 'cryptography' package") from error
    return AESGCM(key)


def method_shape_of(workload_id: str, method: Union[None, str, Callable[..., Any]],
                    params: Optional[Dict[str, Any]]) -> str:
    """The method shape a step records and reuse matches on: the code of `method` (a
    callable: its source, or its bytecode when the source is not at hand), or the workload
    id when none is given, with the step's payload as parameters. A hash string given as
    `method` is taken as the method shape itself."""
    if isinstance(method, str):
        if method.startswith("sha256:"):
            return method
        code = method.encode()
    elif method is None:
        code = ("workload:" + workload_id).encode()
    else:
        target = inspect.unwrap(method)
        try:
            code = inspect.getsource(target).encode()
        except (OSError, TypeError):
            code_object = getattr(target, "__code__", None)
            code = code_object.co_code if code_object is not None else repr(target).encode()
    return _shapes.method_shape_hash("sha256:" + hashlib.sha256(code).hexdigest(), params)


def as_items(values: Union[Any, Sequence[Any]]) -> List[Any]:
    """A single path, buffer or manifest, or a sequence of them, as a list."""
    if isinstance(values, (str, bytes, bytearray, memoryview, os.PathLike, _shapes.Manifest)):
        return [values]
    return list(values)


def split(items: Sequence[DataItem]) -> Tuple[List[_shapes.Manifest], List[Any]]:
    return [i.manifest for i in items], [i.sketch for i in items if i.sketch is not None]
