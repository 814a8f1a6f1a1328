"""The error classes: every failure of quillmere's own libraries raises one of them.

    ValueError
     └── QuillmereError
          ├── ReceiptFormatError   receipt or payload JSON that cannot be read or written
          ├── ValidationError      a receipt or value that breaks a validation rule
          ├── HashError            a canonical hash that cannot be computed or does not match
          ├── StoreError           a receipt store or its database (or none configured)
          ├── ManifestError        a manifest that cannot be built, read or checked
          ├── ShapeError           chunk schemes, data and method shape hashes
          ├── EconomicsError       cost models and reuse inputs
          └── SignatureError       keys and signatures

The native module raises them itself, so each is the class of the exception as it leaves the
call; the message texts are unchanged, and `except ValueError` still catches every one.
"""

from __future__ import annotations

from _quillmere import (
    EconomicsError,
    HashError,
    ManifestError,
    QuillmereError,
    ReceiptFormatError,
    ShapeError,
    SignatureError,
    StoreError,
    ValidationError,
)

__all__ = [
    "EconomicsError",
    "HashError",
    "ManifestError",
    "QuillmereError",
    "ReceiptFormatError",
    "ShapeError",
    "SignatureError",
    "StoreError",
    "ValidationError",
]
