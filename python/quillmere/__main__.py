"""`python3 -m quillmere`: the command line."""

from .cli import entry

entry()
