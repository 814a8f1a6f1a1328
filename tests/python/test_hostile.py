"""No input from Python may crash the interpreter or raise the internal-fault exception.
The driver runs in a child process so that a crash shows up as a failed test."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env

DRIVER = Path(__file__).with_name("hostile_driver.py")


@pytest.mark.parametrize("seed", [1, 2])
def test_hostile_input_raises_only_python_exceptions(tmp_path, seed):
    result = subprocess.run(
        [sys.executable, str(DRIVER), str(seed), "2000"],
        capture_output=True, text=True, env=child_env(), cwd=tmp_path, timeout=900)
    assert result.returncode == 0, (result.returncode, result.stderr[-4000:])
    assert result.stdout.startswith("ok ")


@pytest.mark.parametrize("seed", [2, 3])
def test_arguments_that_mutate_raise_or_reenter_during_conversion(tmp_path, seed):
    # The interpreter's debug allocator fills freed memory, so reading an object that a hook
    # freed under a borrowed reference crashes instead of passing by luck.
    result = subprocess.run(
        [sys.executable, str(DRIVER), "mutating", str(seed), "3000"],
        capture_output=True, text=True, env=dict(child_env(), PYTHONMALLOC="debug"),
        cwd=tmp_path, timeout=900)
    assert result.returncode == 0, (result.returncode, result.stderr[-4000:])
    assert result.stdout.startswith("ok ")


def test_hostile_calls_keep_no_references(tmp_path):
    result = subprocess.run(
        [sys.executable, str(DRIVER), "leaks"],
        capture_output=True, text=True, env=child_env(), cwd=tmp_path, timeout=900)
    assert result.returncode == 0, (result.returncode, result.stderr[-4000:])
    assert result.stdout.startswith("ok ")


# --------------------------------------------------------------------------------------
# Faults of threads, fork, cancellation, database waits, storage URLs and file names.
# Each scenario runs in a child interpreter under a timeout, so a crash or a hang fails
# the test instead of the test run.

import os
import signal
import socket
import textwrap
import time

from conftest import run_python


def child(code, timeout=60, **kwargs):
    try:
        result = run_python(code, timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child hung (no end within {timeout} s)")
    assert result.returncode == 0, (result.returncode, result.stdout[-2000:], result.stderr[-4000:])
    assert result.stdout.rstrip().endswith("ok"), result.stdout[-2000:]
    return result.stdout


def test_helper_threads_refused_by_the_system_mean_fewer_helpers_not_abort(tmp_path):
    # Address space for a few thread stacks only: most of the 64 helpers cannot start.
    child(f"""
        import resource
        from _quillmere import shapes
        data = bytes(range(251)) * 40000
        path = {str(tmp_path / "data.bin")!r}
        open(path, "wb").write(data)
        expected = shapes.build_manifest_py(data)
        vm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize"))
        limit = vm * 1024 + (48 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        def hasher():
            h = shapes.ShapeHasher(keep_chunks=True, workers=64)
            h.update(data)
            return h.manifest()
        for build in (hasher, lambda: shapes.build_manifest_py(data, workers=64),
                      lambda: shapes.build_manifest_from_file_py(path, workers=64)):
            try:
                assert build() == expected
            except MemoryError:
                pass  # a clear error is fine too; an abort is not
        print("ok")
    """)


FORK_SCENARIO = """
    import os, sys, threading, time, traceback
    import _quillmere
    from _quillmere import shapes, receipts
    data = os.urandom(1 << 20) * 3
    expected = shapes.build_manifest_py(data).shape_hash
    idle = shapes.ShapeHasher(workers=4)
    idle.update(data[:1 << 20])          # its helpers run in the parent, idle now
    busy = shapes.ShapeHasher(workers=3)  # fed by another thread while forking
    stores = [_quillmere.Client({dir!r} + "/fs"),
              _quillmere.Client(storage_url="sqlite://" + {dir!r} + "/r.db")]
    receipt = receipts.record_work_py("w", {{"k": 1}})
    stop = False
    def hash_loop():
        while not stop:
            shapes.build_manifest_py(data, workers=3)
    def busy_loop():
        while not stop:
            busy.update(data)
    def store_loop(client):
        while not stop:
            client.store_receipt(receipt)
    threads = [threading.Thread(target=f, args=a) for f, a in
               [(hash_loop, ()), (busy_loop, ()), (store_loop, (stores[0],)), (store_loop, (stores[1],))]]
    for t in threads:
        t.start()
    failures = 0
    for round in range(12):
        time.sleep(0.02)
        pid = os.fork()
        if pid == 0:
            try:
                idle.update(data[1 << 20:])
                assert idle.shape_hash() == expected
                assert shapes.build_manifest_py(data, workers=4).shape_hash == expected
                try:
                    busy.update(b"x" * 10000)
                except ValueError as e:
                    assert "forked" in str(e)
                for client in stores:
                    client.store_receipt(receipt)
                    assert client.list_receipts(limit=1)
                os._exit(0)
            except BaseException:
                traceback.print_exc()
                os._exit(1)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                status = -1
                break
            time.sleep(0.01)
        if status != 0:
            print("round", round, "child status", status)
            failures += 1
        # A new hasher in the parent still works too (its idle copy is untouched).
    stop = True
    for t in threads:
        t.join()
    assert failures == 0
    print("ok")
"""


def test_fork_while_threads_hash_and_store(tmp_path):
    child(FORK_SCENARIO.format(dir=str(tmp_path)), timeout=300)


def interrupt_child(code, wait=1.0, signals=1, timeout=15):
    """Starts `code`, sends SIGINT after `wait` seconds (`signals` times), and returns how the
    child ended; a child still running `timeout` seconds later has hung."""
    from conftest import child_env
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(wait)
    for _ in range(signals):
        process.send_signal(signal.SIGINT)
        time.sleep(0.1)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        pytest.fail(f"still running {timeout} s after SIGINT")
    return process.returncode, out, err


@pytest.mark.parametrize("code", [
    # Each prints the time from SIGINT to the end of the call, at most 0.5 s is expected.
    """
    import signal, time, quillmere
    t = []
    def on_sigint(*a):
        t.append(time.monotonic())
        signal.default_int_handler(*a)
    signal.signal(signal.SIGINT, on_sigint)
    try:
        quillmere.shape_files(["/dev/zero", "/dev/zero"], workers=2)
    except KeyboardInterrupt:
        print(f"stopped {time.monotonic() - t[0]:.3f}")
    """,
    """
    import signal, time, quillmere
    t = []
    def on_sigint(*a):
        t.append(time.monotonic())
        signal.default_int_handler(*a)
    signal.signal(signal.SIGINT, on_sigint)
    try:
        quillmere.data_shape_hash("/dev/zero", workers=3)
    except KeyboardInterrupt:
        print(f"stopped {time.monotonic() - t[0]:.3f}")
    """,
], ids=["shape_files", "data_shape_hash"])
def test_ctrl_c_stops_every_worker(code):
    code_, out, err = interrupt_child(code, wait=1.5)
    assert code_ == 0, err[-3000:]
    assert float(out.split()[-1]) < 5  # promptly: the measured time is printed above


def test_ctrl_c_stops_the_shape_command():
    code, out, err = interrupt_child("""
        import sys
        from quillmere.cli import main
        sys.exit(main(["shape", "/dev/zero", "/dev/zero"]))
    """, wait=1.5)
    assert code == 130 and "interrupted" in err


def test_cancelled_async_calls_stop_their_native_work():
    out = child("""
        import asyncio, time
        from quillmere import aio
        async def main():
            task = asyncio.create_task(aio.data_shape_hash("/dev/zero"))
            await asyncio.sleep(0.3)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            try:
                await asyncio.wait_for(aio.manifest("/dev/zero", workers=2), 0.5)
            except asyncio.TimeoutError:
                pass
            try:
                await asyncio.wait_for(aio.shape_files(["/dev/zero", "/dev/zero"], workers=2), 0.5)
            except asyncio.TimeoutError:
                pass
        start = time.monotonic()
        asyncio.run(main())
        print(f"{time.monotonic() - start:.2f} ok")
    """, timeout=30)
    assert float(out.split()[0]) < 10


def test_a_cancel_token_stops_work_on_another_thread():
    child("""
        import threading, time, concurrent.futures
        from _quillmere import CancelToken, shapes
        token = CancelToken()
        outcome = []
        def work():
            with CancelToken(token):   # a child token: cancelled with its parent
                try:
                    shapes.build_manifest_from_file_py("/dev/zero", workers=2)
                except concurrent.futures.CancelledError as e:
                    outcome.append(str(e))
        t = threading.Thread(target=work)
        t.start()
        time.sleep(0.3)
        token.cancel()
        t.join(10)
        assert not t.is_alive() and outcome == ["the work was cancelled"], outcome
        assert CancelToken.current() is None
        print("ok")
    """)


def test_sqlite_lock_wait_stops_on_ctrl_c(tmp_path):
    code, out, err = interrupt_child(f"""
        import sqlite3, time, quillmere
        path = {str(tmp_path / "locked.db")!r}
        client = quillmere.Client(storage_url="sqlite://" + path)
        holder = sqlite3.connect(path, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")   # held for the whole run
        receipt = quillmere.record_work("w", {{"a": 1}})
        # Another thread waits for the file's lock first, holding the client's; this one
        # waits for the client, then (with the first stopped too) for the file.
        import threading
        threading.Thread(target=lambda: client.store_receipt(receipt), daemon=True).start()
        time.sleep(0.2)
        start = time.monotonic()
        try:
            client.store_receipt(receipt)
        except KeyboardInterrupt:
            print(f"stopped after {{time.monotonic() - start:.1f}}")
    """, wait=1.5)
    assert code == 0 and out.startswith("stopped"), (out, err[-2000:])


@pytest.fixture
def silent_server():
    """A TCP port that accepts connections and never answers."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    yield server.getsockname()[1]
    server.close()


def test_postgres_wait_on_a_silent_server_stops_on_ctrl_c(silent_server):
    code, out, err = interrupt_child(f"""
        import quillmere
        try:
            quillmere.Client(storage_url="postgresql://u:pw@127.0.0.1:{silent_server}/db")
        except KeyboardInterrupt:
            print("stopped")
    """, wait=1.5)
    assert code == 0 and out.startswith("stopped"), (out, err[-2000:])


def test_postgres_connect_timeout_is_kept(silent_server):
    child(f"""
        import quillmere, time
        start = time.monotonic()
        try:
            quillmere.Client(storage_url="postgresql://u@127.0.0.1:{silent_server}/db?connect_timeout=2")
        except ValueError as e:
            assert "timeout expired" in str(e), e
        assert time.monotonic() - start < 10
        print("ok")
    """)
