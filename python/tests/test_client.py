"""The served process from Python: a `tamsa serve` started by the test, and a server in this
process, driven through the same client calls."""

import os
import signal
import subprocess
import threading

import numpy as np
import pytest

import tamsa
from conftest import picture


@pytest.fixture
def runtime(tmp_path, monkeypatch):
    # The port's socket lives under this directory, for the server and the clients alike.
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    return tmp_path


class Served:
    """A `tamsa serve` process; ready once it has said where it listens."""

    def __init__(self, port, *options):
        command = os.environ.get("TAMSA_COMMAND")
        if not command:
            pytest.skip("TAMSA_COMMAND does not name the tamsa command")
        self.process = subprocess.Popen([command, "serve", "--port", port, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        first = self.process.stdout.readline()
        assert f'tamsa serve: port "{port}"' in first, first

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        rest = self.process.communicate()[0]
        assert self.process.returncode == 0, rest


@pytest.fixture
def serve(runtime):
    """Starts `tamsa serve` processes; any still running when the test ends is killed."""
    started = []

    def start(port, *options):
        started.append(Served(port, *options))
        return started[-1]

    yield start
    for server in started:
        if server.process.poll() is None:
            server.process.send_signal(signal.SIGCONT)
            server.process.kill()
            server.process.communicate()


@pytest.fixture(params=["remote", "local"])
def client(request, serve):
    port = f"pytest-{request.param}"
    if request.param == "remote":
        server = serve(port)
        with tamsa.Client(port) as c:
            yield c
        server.stop()
    else:
        with tamsa.Server(port) as server, tamsa.Client(port, local=True) as c:
            assert server.running and server.port == port
            yield c


def test_blocks_views_and_words(client):
    address = client.alloc(64, clear=True)
    view = client.view(address, 64)
    assert view.shape == (64,) and not view.any()
    client.store32(address + 4, 0x01020304)
    assert list(view[4:8]) == [1, 2, 3, 4]
    view[8:12] = [0xDE, 0xAD, 0xBE, 0xEF]
    assert client.load32(address + 8) == 0xDEADBEEF
    # Two views of one block are one memory.
    assert np.shares_memory(client.view(address, 64), view)
    client.free(address)


def test_messages_by_name(client, rng):
    frame = picture(rng, 6, 9, 1)
    record = client.alloc(16)
    pixels = client.alloc(frame.size)
    client.view(pixels, frame.size)[:] = frame.reshape(-1)
    client.write_bitmap(record, pixels, 9, 6, 1)
    assert client.read_bitmap(record) == (pixels, 9, 6, 1)
    assert np.array_equal(client.bitmap(record), frame)

    made = client.call("OP_SCALE", record, 13, 4)
    assert made != 0
    assert np.array_equal(client.bitmap(made), tamsa.scale_frame(frame, 13, 4))
    client.free_bitmap(made)

    # The op block written by hand and sent: word 0 receives the answer.
    block = client.alloc(32, clear=True)
    for i, word in enumerate([record, 5, 3]):
        client.store32(block + 4 * (i + 1), word)
    made = client.send("scalecopybitmap", block)
    assert made == client.load32(block) and made != 0
    assert np.array_equal(client.bitmap(made), tamsa.scale(frame, 5, 3))
    client.free_bitmap(made)
    # Its answer is "unchanged", which differs between the two kinds of client.
    client.call(tamsa.OPS["deinterlace"], record)
    expected = frame.copy()
    tamsa.deinterlace(expected)
    assert np.array_equal(client.bitmap(record), expected)
    for address in (block, pixels, record):
        client.free(address)


@pytest.mark.parametrize("size", [None, (7, 5)])
def test_convert_frame(client, rng, size):
    y = picture(rng, 6, 8, 1)
    u, v = rng.integers(0, 256, (2, 12), dtype=np.uint8)
    if size is None:
        got = client.convert_frame(y, u, v)
        expected = tamsa.yuv_to_rgb(y, u, v)
    else:
        got = client.convert_frame(y, u, v, width=size[0], height=size[1])
        expected = tamsa.yuv_scale(y, u, v, *size)
    assert np.array_equal(got, expected)


def test_errors(client):
    with pytest.raises(ValueError):
        client.call("no_such_message")
    with pytest.raises(ValueError):
        client.call("scale", 1, 2, 3, 4, 5, 6, 7, 8)
    with pytest.raises(ValueError):
        client.view(0, 16)
    with pytest.raises(ValueError):
        client.alloc(-1)
    with pytest.raises(ValueError):
        client.convert_frame(np.zeros((4, 4), np.uint8), np.zeros(3, np.uint8),
                             np.zeros(4, np.uint8))
    # 4:2:0 planes are no groups of 4, though they hold as many samples.
    with pytest.raises(ValueError, match=r"\(2, 4\) is not 4:1:1 chroma of a \(4, 8\) frame"):
        client.convert_frame(np.zeros((4, 8), np.uint8), np.zeros((2, 4), np.uint8),
                             np.zeros((2, 4), np.uint8))


def test_views_outlive_the_closed_client(runtime):
    with tamsa.Server("pytest-close"):
        c = tamsa.Client("pytest-close", local=True)
        address = c.alloc(8, clear=True)
        view = c.view(address, 8)
        with c:
            pass
        assert c.closed
        view[:] = 1
        with pytest.raises(ValueError):
            c.alloc(8)


def test_connection_errors(runtime):
    with pytest.raises(ConnectionError):
        tamsa.Client("pytest-nobody")
    with pytest.raises(ConnectionError):
        tamsa.Client("pytest-nobody", local=True)
    with tamsa.Server("pytest-twice"):
        with pytest.raises(ConnectionError):
            tamsa.Server("pytest-twice")


def test_limits_and_refusals_of_tamsa_serve(serve):
    server = serve("pytest-limits", "--client-limit", "64K")
    with tamsa.Client("pytest-limits") as c:
        with pytest.raises(MemoryError):
            c.alloc(1 << 20)
        with pytest.raises(PermissionError):
            c.call("quit")
        # The server goes on.
        address = c.alloc(1024)
        c.free(address)
    server.stop()


def thread_state(thread):
    """The kernel's state of a thread of this process and the system call it waits in."""
    task = f"/proc/self/task/{thread.native_id}"
    with open(f"{task}/stat") as f:
        state = f.read().rsplit(") ", 1)[1].split()[0]
    with open(f"{task}/syscall") as f:
        call = f.read().split()[0]
    return state, call


FUTEX = "202"  # x86-64: what a thread waiting for the interpreter lock sleeps in


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs /proc")
def test_a_waiting_message_leaves_the_interpreter_to_other_threads(serve, rng):
    server = serve("pytest-gil")
    y = picture(rng, 4, 8, 1)
    u, v = rng.integers(0, 256, (2, 8), dtype=np.uint8)
    with tamsa.Client("pytest-gil") as c:
        results = []
        server.process.send_signal(signal.SIGSTOP)
        worker = threading.Thread(target=lambda: results.append(c.convert_frame(y, u, v)))
        worker.start()
        try:
            # The worker sleeps in the socket, not on the lock: this thread runs meanwhile, which
            # it could not if the worker held the interpreter while it waits.
            while True:
                state, call = thread_state(worker)
                if state == "S" and call not in (FUTEX, "running"):
                    break
                os.sched_yield()
            assert worker.is_alive() and not results
        finally:
            server.process.send_signal(signal.SIGCONT)
        worker.join()
    assert np.array_equal(results[0], tamsa.yuv_to_rgb(y, u, v))
    server.stop()
