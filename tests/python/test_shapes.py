"""The shapes module: known answers, the file function against the bytes function (files,
pipes, unreadable paths), the chunk scheme dict, argument conversion and docstrings."""

import hashlib
import inspect
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import _quillmere
from conftest import load_vectors

shapes = _quillmere.shapes
from_bytes = shapes.compute_data_shape_hash_from_bytes_py
from_file = shapes.compute_data_shape_hash_from_file_py
from_code = shapes.compute_method_shape_hash_from_code_py
from_signature = shapes.compute_method_shape_hash_from_signature_py

DIGITS = "ab" * 32


def vector_input(described):
    length = described["length"]
    if described["kind"] == "zeros":
        return bytes(length)
    if described["kind"] == "mod251":
        return bytes(i % 251 for i in range(length))
    seed = described["seed"].encode()
    out = bytearray()
    counter = 0
    while len(out) < length:
        out += hashlib.sha256(seed + struct.pack(">Q", counter)).digest()
        counter += 1
    return bytes(out[:length])


CHUNKING = load_vectors("chunking.json")


@pytest.mark.parametrize("vector", CHUNKING, ids=lambda v: f"{v['input']['kind']}-{v['input']['length']}-{v['scheme']}")
def test_data_shape_vectors_from_bytes_and_file(vector, tmp_path):
    data = vector_input(vector["input"])
    assert from_bytes(data, vector["scheme"]) == vector["data_shape_hash"]
    path = tmp_path / "input.bin"
    path.write_bytes(data)
    assert from_file(str(path), vector["scheme"]) == vector["data_shape_hash"]


@pytest.mark.parametrize("vector", load_vectors("method_shape.json"), ids=lambda v: v["hash"][7:19])
def test_method_shape_vectors(vector):
    if "code_hash" in vector:
        params = None if vector["params_json"] is None else json.loads(vector["params_json"])
        if params is not None and not isinstance(params, dict):
            pytest.skip("the Python function takes parameters as a dict")
        assert from_code(vector["code_hash"], params) == vector["hash"]
    else:
        got = from_signature(vector["function_name"], vector["input_types"], vector["output_type"])
        assert got == vector["hash"]


def test_default_scheme_and_bytes_subclass():
    class Blob(bytes):
        pass

    data = bytes(range(256)) * 500
    default = from_bytes(data)
    assert default == from_bytes(data, None) == from_bytes(data, {"type": "cdc", "avg_size": 65536})
    assert from_bytes(Blob(data)) == default
    assert from_bytes(b"") == from_bytes(b"", chunk_scheme={"type": "cdc", "avg_size": 65536})
    # A bool counts as an integer; other keys are ignored.
    assert from_bytes(data, {"type": "fixed", "size": True, "x": 1}) == from_bytes(data, {"type": "fixed", "size": 1})


def test_scheme_enters_the_hash():
    hundred = bytes(100)
    assert from_bytes(hundred, {"type": "fixed", "size": 100}) != from_bytes(hundred, {"type": "fixed", "size": 4096})
    assert from_bytes(b"", {"type": "cdc", "avg_size": 1}) != from_bytes(b"", {"type": "fixed", "size": 1})


@given(
    data=st.binary(max_size=20000) | st.builds(lambda n, b: bytes([b]) * n, st.integers(0, 70000), st.integers(0, 2)),
    scheme=st.one_of(
        st.builds(lambda n: {"type": "cdc", "avg_size": n}, st.integers(1, 5000)),
        st.builds(lambda n: {"type": "fixed", "size": n}, st.integers(1, 5000)),
        st.none(),
    ),
)
@settings(max_examples=60, deadline=None)
def test_file_equals_bytes(tmp_path_factory, data, scheme):
    path = tmp_path_factory.mktemp("shape") / "f"
    path.write_bytes(data)
    assert from_file(str(path), scheme) == from_bytes(data, scheme)


def test_pipe_is_read_as_a_stream(tmp_path):
    # The function holds the interpreter lock while it reads, so the whole exchange runs in a
    # child interpreter with its own writer process, under a timeout: a read that never sees the
    # end of the stream fails the test instead of hanging the run.
    data = os.urandom(200_000)
    source = tmp_path / "source"
    source.write_bytes(data)
    script = (
        "import os, subprocess, sys\n"
        "import _quillmere\n"
        "r, w = os.pipe()\n"
        "writer = subprocess.Popen(['cat', sys.argv[1]], stdout=w)\n"
        "os.close(w)\n"
        "f = _quillmere.shapes.compute_data_shape_hash_from_file_py\n"
        "print(f('/dev/fd/%d' % r, {'type': 'cdc', 'avg_size': 512}))\n"
        "writer.wait()\n"
    )
    child = subprocess.run(
        [sys.executable, "-c", script, str(source)],
        capture_output=True, text=True, timeout=120, env=os.environ.copy(),
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == from_bytes(data, {"type": "cdc", "avg_size": 512})


def test_proc_file_of_unknown_size():
    # /proc files report size 0; they are read to their end like any stream.
    with open("/proc/self/cmdline", "rb") as f:
        expected = from_bytes(f.read(), {"type": "fixed", "size": 7})
    assert from_file("/proc/self/cmdline", {"type": "fixed", "size": 7}) == expected


@pytest.mark.parametrize(
    "scheme, message",
    [
        ({}, "Missing 'type' field in chunk_scheme"),
        ({"type": 5}, "Missing 'type' field in chunk_scheme"),
        ({"type": None, "size": 4}, "Missing 'type' field in chunk_scheme"),
        ({"type": "CDC", "avg_size": 4}, "Invalid chunk_scheme type 'CDC', expected 'cdc' or 'fixed'"),
        ({"type": "", "size": 4}, "Invalid chunk_scheme type '', expected 'cdc' or 'fixed'"),
        ({"type": "fixed"}, "Missing 'size' field in chunk_scheme"),
        ({"type": "fixed", "size": -1}, "Missing 'size' field in chunk_scheme"),
        ({"type": "fixed", "size": 1.5}, "Missing 'size' field in chunk_scheme"),
        ({"type": "fixed", "size": "4"}, "Missing 'size' field in chunk_scheme"),
        ({"type": "fixed", "size": 2**64}, "Missing 'size' field in chunk_scheme"),
        ({"type": "fixed", "avg_size": 4}, "Missing 'size' field in chunk_scheme"),
        ({"type": "cdc", "size": 4}, "Missing 'avg_size' field in chunk_scheme"),
        ({"type": "cdc", "avg_size": None}, "Missing 'avg_size' field in chunk_scheme"),
    ],
)
def test_chunk_scheme_errors(scheme, message, tmp_path):
    with pytest.raises(ValueError) as bytes_error:
        from_bytes(b"abc", scheme)
    assert str(bytes_error.value) == message
    with pytest.raises(ValueError) as file_error:
        from_file(str(tmp_path / "missing"), scheme)  # the scheme is read before the file
    assert str(file_error.value) == message


class CollidingKey:
    """Hashes like a given text but fails any comparison, so looking that text up raises."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise KeyError("compared " + self.text)


@pytest.mark.parametrize("scheme", [{CollidingKey("type"): 1}, {"type": "cdc", CollidingKey("avg_size"): 1}])
def test_key_lookup_errors_propagate(scheme):
    with pytest.raises(KeyError, match="compared"):
        from_bytes(b"", scheme)


@pytest.mark.parametrize(
    "scheme, inner",
    [
        ({"type": "fixed", "size": 0}, "Chunking failed: Chunk size must be > 0. Context: data_size: 3, chunk_scheme: Fixed { size: 0 }"),
        ({"type": "cdc", "avg_size": 0}, "Chunking failed: Average chunk size must be > 0. Context: data_size: 3, chunk_scheme: CDC { avg_size: 0 }"),
    ],
)
def test_zero_sizes(scheme, inner, tmp_path):
    expected = "Failed to compute data shape hash: Serialization failed: Failed to build manifest: " + inner
    with pytest.raises(ValueError) as error:
        from_bytes(b"abc", scheme)
    assert str(error.value) == expected
    path = tmp_path / "three"
    path.write_bytes(b"abc")
    with pytest.raises(ValueError) as error:
        from_file(str(path), scheme)
    assert str(error.value) == expected


def test_huge_sizes_give_one_chunk():
    data = os.urandom(5000)
    single = from_bytes(data, {"type": "fixed", "size": 5000})
    for size in (2**64 - 1, 2**63):
        for kind, key in (("cdc", "avg_size"), ("fixed", "size")):
            # Same single chunk, so only the scheme in the descriptor differs.
            assert from_bytes(data, {"type": kind, key: size}) != single


def read_error(path_text, os_text):
    escaped = path_text.replace("\\", "\\\\").replace('"', '\\"')
    return ("Failed to compute data shape hash: Serialization failed: Failed to read file: "
            f"{os_text}. Context: path: \"{escaped}\"")


def test_unreadable_files(tmp_path):
    missing = str(tmp_path / 'no "such" \\ file')
    with pytest.raises(ValueError) as error:
        from_file(missing)
    assert str(error.value) == read_error(missing, "No such file or directory (os error 2)")
    with pytest.raises(ValueError) as error:
        from_file(str(tmp_path))
    assert str(error.value) == read_error(str(tmp_path), "Is a directory (os error 21)")


def test_control_characters_in_the_path_are_escaped(tmp_path):
    path = str(tmp_path / "tab\there\nnew\x1bline")
    with pytest.raises(ValueError) as error:
        from_file(path)
    shown = str(tmp_path) + "/tab\\there\\nnew\\u{1b}line"
    assert str(error.value).endswith(f'path: "{shown}"')


def test_nul_in_path_fails_before_touching_the_file_system(tmp_path):
    real = tmp_path / "real"
    real.write_bytes(b"x")
    with pytest.raises(ValueError) as error:
        from_file(str(real) + "\0ignored")
    assert str(error.value) == (
        "Failed to compute data shape hash: Serialization failed: Failed to read file: file name "
        f'contained an unexpected NUL byte. Context: path: "{real}\\0ignored"'
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: from_bytes(bytearray(b"x")), "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: from_bytes("text"), "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: from_bytes(b"x", [("type", "cdc")]), "argument 'chunk_scheme': 'list' object cannot be converted to 'PyDict'"),
        (lambda: from_bytes(7, 7), "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
        (lambda: from_file(Path("/tmp")), "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        (lambda: from_file(b"/tmp"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: from_code(b"x"), "argument 'code_hash': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: from_code(DIGITS, "{}"), "argument 'params': 'str' object cannot be converted to 'PyDict'"),
        (lambda: from_signature(1, [], ""), "argument 'function_name': 'int' object cannot be converted to 'PyString'"),
        (lambda: from_signature("f", "int", ""), "argument 'input_types': 'str' object cannot be converted to 'Sequence'"),
        (lambda: from_signature("f", {"int"}, ""), "argument 'input_types': 'set' object cannot be converted to 'Sequence'"),
        (lambda: from_signature("f", ["int", 3], ""), "argument 'input_types': 'int' object cannot be converted to 'PyString'"),
        (lambda: from_signature("f", [], None), "argument 'output_type': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_keywords_and_missing_arguments():
    assert from_bytes(data=b"", chunk_scheme=None) == from_bytes(b"")
    assert from_signature(output_type="bool", input_types=("int",), function_name="f") == from_signature("f", ["int"], "bool")
    with pytest.raises(TypeError):
        from_bytes()
    with pytest.raises(TypeError):
        from_bytes(b"", None, None)
    with pytest.raises(TypeError):
        from_code(DIGITS, parameters={})


def test_code_hash_forms():
    assert from_code(DIGITS) == from_code("sha256:" + DIGITS) == from_code(DIGITS, None)
    assert from_code(DIGITS) != from_code(DIGITS, {})
    assert from_code(DIGITS.upper()) != from_code(DIGITS)
    assert from_code(DIGITS, {"b": 1, "a": 2}) == from_code(DIGITS, {"a": 2, "b": 1})
    assert from_code(DIGITS, {"x": 1}) != from_code(DIGITS, {"x": 1.0})


@pytest.mark.parametrize("code_hash", ["SHA256:" + DIGITS, DIGITS[:-1], DIGITS + "a", "sha256:", "", "g" * 64, "é" * 32])
def test_bad_code_hash(code_hash):
    with pytest.raises(ValueError) as error:
        from_code(code_hash)
    assert str(error.value) == (
        "Failed to compute method shape hash: Invalid hash format: Invalid code hash format: " + code_hash
    )


def test_params_pass_through_json_dumps():
    with pytest.raises(ValueError) as error:
        from_code(DIGITS, {"lr": float("nan")})
    assert str(error.value).startswith("Failed to parse params JSON: ")
    assert "line 1 column" in str(error.value)
    # A value json.dumps refuses raises its own error, before the code hash is examined.
    with pytest.raises(TypeError, match="not JSON serializable"):
        from_code("not a hash", {"f": object()})


def test_signature_rules():
    assert from_signature(" ", [], "") == from_signature(" ", (), "")
    assert from_signature("f", ["int", "str"], "bool") != from_signature("f", ["str", "int"], "bool")
    assert from_signature("f", range(0), "bool") == from_signature("f", [], "bool")
    with pytest.raises(ValueError) as error:
        from_signature("", ["int"], "bool")
    assert str(error.value) == "Failed to compute method shape hash: Invalid input: Function name cannot be empty"


SCHEME_LINES = [
    "    chunk_scheme: Optional chunking scheme dict:",
    '        - {"type": "cdc", "avg_size": int} for CDC',
    '        - {"type": "fixed", "size": int} for fixed-size',
    "        - None (defaults to CDC with avg_size=65536)",
]
DOCS = {
    "compute_data_shape_hash_from_bytes_py": [
        "compute_data_shape_hash_from_bytes_py(data, chunk_scheme=None)", "--", "",
        "Compute data shape hash from bytes.", "",
        "Chunks the bytes, builds a manifest, and computes the data shape hash.", "",
        "Args:", "    data: Input data bytes (bytes or bytearray)", *SCHEME_LINES, "",
        "Returns:", "    Data shape hash in format `sha256:<64hex>`", "",
        "Raises:", "    ValueError: If manifest building or shape computation fails",
    ],
    "compute_data_shape_hash_from_file_py": [
        "compute_data_shape_hash_from_file_py(path, chunk_scheme=None)", "--", "",
        "Compute data shape hash from a file.", "",
        "Reads the file, chunks it, builds a manifest, and computes the data shape hash.", "",
        "Args:", "    path: Path to the file (str or PathLike)", *SCHEME_LINES, "",
        "Returns:", "    Data shape hash in format `sha256:<64hex>`", "",
        "Raises:", "    ValueError: If file cannot be read or shape computation fails",
    ],
    "compute_method_shape_hash_from_code_py": [
        "compute_method_shape_hash_from_code_py(code_hash, params=None)", "--", "",
        "Compute method shape hash from code hash and parameters.", "",
        "Creates a method shape hash from a code hash (e.g., SHA-256 of the method",
        "implementation) and optional parameters. The hash represents the method's",
        "computational contract.", "",
        "Args:",
        '    code_hash: SHA-256 hash of the method code (format: "sha256:<64hex>" or just hex)',
        "    params: Optional parameters as dict (will be serialized to JSON)", "",
        "Returns:", "    Method shape hash in format `sha256:<64hex>`", "",
        "Raises:", "    ValueError: If serialization fails or hash format is invalid",
    ],
    "compute_method_shape_hash_from_signature_py": [
        "compute_method_shape_hash_from_signature_py(function_name, input_types, output_type)", "--", "",
        "Compute method shape hash from function signature.", "",
        "Creates a method shape hash from a function signature, including function",
        "name, input types, and output type. This is useful for statically-typed",
        "methods where the signature uniquely identifies the method contract.", "",
        "Args:",
        "    function_name: Name of the function/method",
        "    input_types: List of input type names",
        "    output_type: Output type name", "",
        "Returns:", "    Method shape hash in format `sha256:<64hex>`", "",
        "Raises:", "    ValueError: If serialization fails or function name is empty",
    ],
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings_and_signatures(name):
    function = getattr(shapes, name)
    lines = DOCS[name]
    assert function.__text_signature__ == lines[0][len(name):]
    assert function.__doc__ == "\n".join(lines[3:])
    assert str(inspect.signature(function)) == lines[0][len(name):]


def test_any_file_name_the_system_accepts_for_every_worker_count(tmp_path, monkeypatch):
    import asyncio
    import pathlib
    import quillmere
    import quillmere.aio
    name = os.fsencode(str(tmp_path)) + b"/caf\xe9 \xff.csv"  # not UTF-8
    data = bytes(range(256)) * 1000
    with open(name, "wb") as f:
        f.write(data)
    expected = from_bytes(data)
    text = os.fsdecode(name)  # with surrogate escapes
    for path in (text, pathlib.Path(text), pathlib.PurePosixPath(text)):
        for workers in (1, 2):
            assert quillmere.data_shape_hash(path, workers=workers) == expected
            assert quillmere.manifest(path, workers=workers).shape_hash == expected
    assert quillmere.shape_files([text, name, pathlib.Path(text)], workers=1) == [expected] * 3
    assert quillmere.shape_files([text, name, pathlib.Path(text)], workers=2) == [expected] * 3
    assert asyncio.run(quillmere.aio.shape_files([name])) == [expected]
    assert shapes.compute_data_shape_hash_from_file_py(text) == expected
    # A store directory with such a name works too.
    store = os.fsdecode(os.fsencode(str(tmp_path)) + b"/st\xe9re")
    client = quillmere.Client(store)
    client.store_receipt(quillmere.record_work("w", {"a": 1}))
    assert len(client.list_receipts()) == 1
    with pytest.raises(ValueError) as error:  # an error naming such a file is still text
        quillmere.data_shape_hash(text + "-missing")
    assert "No such file" in str(error.value)
