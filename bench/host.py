"""Benchmark of the tool host: what worker processes cost and what they buy.

Measured over stdio with raw JSON-RPC lines, in rotated rounds against the
previous host (calls in threads of the server process, taken from git at
PREVIOUS_HOST) where that host can be run:

* the round trip of a quick call (execute_plusor): the first call of a fresh
  host (for the worker host: starting the worker and importing JAX in it; for
  the thread host: importing the module in the server) and later calls
  (median), next to the function's own cost called directly in this process;
* the ping round trip with 45 calls that never finish (the worker host runs a
  test-only tool that sleeps; the thread host is given the same stuck calls
  through a FIFO, and answers nothing within PING_PATIENCE seconds);
* the time from SIGINT to the host's exit during a training;
* the warm start: the first quick call of a session right after
  ``initialize`` and after the client's usual pause of a second, with the
  workers started with the host (the default) and on first use
  (``--no-warm-start``), and the time ``initialize`` takes to be answered
  (WARM_ROUNDS fresh hosts each);
* over HTTP, a well-behaved client's ping while HALF_OPEN connections (each
  having sent half a request line) are held open, the host limited to the
  usual 1,024 open files.

Run with ``.venv/bin/python -P bench/host.py`` (``make bench`` runs it too);
``--warm`` or ``--http`` runs only that part.
"""

from __future__ import annotations

import json
import os
import queue
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PREVIOUS_HOST = "f24c378"
"""The last commit whose host ran calls in threads of the server process."""
ROUNDS = 3
WARM_ROUNDS = 5
LATER_CALLS = 30
STUCK = 45
PING_PATIENCE = 5.0
HALF_OPEN = 1100

STUCK_SETUP = textwrap.dedent(
    """
    import time
    import quelmar.tools.timesor as timesor

    def stuck(a, b):
        while True:
            time.sleep(1)

    stuck.__doc__ = timesor.execute_timesor.__doc__
    timesor.execute_timesor = stuck
    """
)

OLD_HOST_RUNNER = textwrap.dedent(
    """
    import importlib.util, sys, types
    def load(name, path):
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
        return module
    load("quelmar.host.server", sys.argv[1])
    sys.exit(load("old_host_main", sys.argv[2]).main(sys.argv[3:]))
    """
)


class Host:
    """A host subprocess spoken to with raw JSON lines."""

    def __init__(self, argv: list[str], cwd: Path, env: dict[str, str] | None = None) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-P", *argv], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, cwd=cwd, env={**os.environ, **(env or {})},
        )
        self.inbox: queue.Queue = queue.Queue()
        self.next_id = 0
        threading.Thread(target=self._read, daemon=True).start()
        self.request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                    "clientInfo": {"name": "bench", "version": "1"}})
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})

    def _read(self) -> None:
        for line in self.proc.stdout:
            self.inbox.put(json.loads(line))

    def send(self, message: dict) -> None:
        self.proc.stdin.write(json.dumps(message).encode() + b"\n")
        self.proc.stdin.flush()

    def post(self, method: str, params: dict | None = None) -> int:
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, **({"params": params} if params else {})})
        return self.next_id

    def wait(self, request_id: int, timeout: float = 300) -> dict | None:
        deadline = time.monotonic() + timeout
        while True:
            try:
                message = self.inbox.get(timeout=max(0.001, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if message.get("id") == request_id and "method" not in message:
                return message

    def request(self, method: str, params: dict | None = None, timeout: float = 300) -> dict | None:
        return self.wait(self.post(method, params), timeout)

    def close(self) -> None:
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(20)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def add(host: Host, a: float = 1.0) -> float:
    started = time.perf_counter()
    answer = host.request("tools/call", {"name": "execute_plusor", "arguments": {"a": a, "b": 2.0}})
    assert answer and not answer["result"].get("isError"), answer
    return time.perf_counter() - started


def quick_calls(argv: list[str], tmp: Path) -> tuple[float, float]:
    """(first call, median of later calls) of a fresh host, in seconds."""
    host = Host(argv, tmp)
    try:
        first = add(host)
        later = statistics.median(add(host, i) for i in range(LATER_CALLS))
    finally:
        host.close()
    return first, later


def stuck_ping(argv: list[str], tmp: Path, env: dict[str, str], arguments: dict) -> float | None:
    """Seconds for a ping with STUCK calls that never end (None: no answer within PING_PATIENCE)."""
    host = Host(argv, tmp, env)
    try:
        host.request("tools/list")
        for _ in range(STUCK):
            host.post("tools/call", arguments)
        time.sleep(2.0)  # let them all start (or queue)
        started = time.perf_counter()
        answer = host.request("ping", timeout=PING_PATIENCE)
        return time.perf_counter() - started if answer else None
    finally:
        if env:  # the worker host interrupts its stuck calls and ends its workers
            host.close()
        else:  # the thread host cannot end its stuck threads
            host.proc.kill()
            host.proc.wait()


def sigint_during_training(tmp: Path, data: Path) -> float:
    host = Host(["-m", "quelmar.host", "--root", str(tmp)], tmp)
    try:
        arguments = {"input_col": [0, 1], "output_col": [2], "data_train": str(data), "interp_method": "linear",
                     "num_epochs_INN": 1_000_000, "bool_plot": False, "bool_save_model": False}
        host.post("tools/call", {"name": "execute_fitrun", "arguments": arguments, "_meta": {"progressToken": 1}})
        while True:  # wait for the first epochs
            message = host.inbox.get(timeout=300)
            if message.get("method") == "notifications/progress" and message["params"].get("total"):
                break
        started = time.perf_counter()
        host.proc.send_signal(signal.SIGINT)
        host.proc.wait(60)
        return time.perf_counter() - started
    finally:
        host.close()


def first_call(argv: list[str], tmp: Path, pause: float) -> tuple[float, float]:
    """(seconds to the answer of initialize, seconds of the first quick call made `pause` s after it) of a fresh host."""
    started = time.perf_counter()
    host = Host(argv, tmp)
    initialized = time.perf_counter() - started
    try:
        time.sleep(pause)
        return initialized, add(host)
    finally:
        host.close()


def warm_start(tmp: Path) -> None:
    base = ["-m", "quelmar.host", "--root", str(tmp)]
    variants = {"warm": base, "cold": [*base, "--no-warm-start"]}
    for pause in (0.0, 1.0):
        times: dict[str, list[tuple[float, float]]] = {k: [] for k in variants}
        for round_ in range(WARM_ROUNDS):
            for key in (list(variants) if round_ % 2 == 0 else list(variants)[::-1]):
                times[key].append(first_call(variants[key], tmp, pause))
        for key, series in times.items():
            firsts, inits = [s[1] for s in series], [s[0] for s in series]
            print(f"  first quick call {pause:g} s after initialize, {key} start: {ms(min(firsts))} (min) "
                  f"{ms(statistics.median(firsts))} (median); initialize answered after "
                  f"{ms(statistics.median(inits))} (median)")


def half_open_ping(tmp: Path) -> None:
    import resource
    import socket

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, HALF_OPEN + 256)), hard))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    proc = subprocess.Popen(
        [sys.executable, "-P", "-m", "quelmar.host", "--no-warm-start", "--root", str(tmp), "--http", f"127.0.0.1:{port}"],
        stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024)),
    )
    body = b'{"jsonrpc":"2.0","id":1,"method":"ping"}'
    request = (b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               b"Accept: application/json, text/event-stream\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))

    def ping() -> float | None:
        started = time.perf_counter()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=PING_PATIENCE) as sock:
                sock.sendall(request)
                return time.perf_counter() - started if sock.recv(100).startswith(b"HTTP/1.1") else None
        except OSError:
            return None

    held: list[socket.socket] = []
    try:
        deadline = time.monotonic() + 60
        while ping() is None and time.monotonic() < deadline:
            time.sleep(0.2)
        for _ in range(HALF_OPEN):
            try:
                sock = socket.create_connection(("127.0.0.1", port), timeout=PING_PATIENCE)
                sock.sendall(b"POST /mcp HTT")
                held.append(sock)
            except OSError:
                break
        answers = [ping() for _ in range(5)]
        got = [a for a in answers if a is not None]
        print(f"  HTTP ping with {len(held)} half-open connections: {len(got)} of 5 answered"
              + (f", {ms(min(got))} (min) {ms(statistics.median(got))} (median)" if got else ""))
    finally:
        for sock in held:
            sock.close()
        proc.terminate()
        proc.wait(30)


def direct_call() -> float:
    import timeit

    import quelmar.tools.plusor as plusor

    plusor.execute_plusor(1.0, 2.0)
    return statistics.median(t / 200 for t in timeit.repeat(lambda: plusor.execute_plusor(1.0, 2.0), number=200, repeat=5))


def previous_host(tmp: Path) -> list[str] | None:
    """The command line of the previous host, extracted from git, or None."""
    files = {}
    for name in ("server.py", "__main__.py"):
        shown = subprocess.run(["git", "-C", str(ROOT), "show", f"{PREVIOUS_HOST}:quelmar/host/{name}"],
                               capture_output=True, text=True, check=False)
        if shown.returncode != 0:
            return None
        files[name] = tmp / f"previous_{name}"
        files[name].write_text(shown.stdout)
    runner = tmp / "previous_host.py"
    runner.write_text(OLD_HOST_RUNNER)
    return [str(runner), str(files["server.py"]), str(files["__main__.py"])]


def ms(seconds: float | None) -> str:
    return "no answer" if seconds is None else f"{seconds * 1000:8.1f} ms"


def main() -> int:
    import quelmar.tools

    logs = Path(quelmar.tools.__file__).parent / "logs"
    before = set(logs.glob("training_*.log"))
    try:
        if "--warm" in sys.argv or "--http" in sys.argv:
            with tempfile.TemporaryDirectory(prefix="quelmar-host-bench-") as name:
                print(f"tool host benchmark ({ROUNDS} rounds)")
                if "--warm" in sys.argv:
                    warm_start(Path(name))
                if "--http" in sys.argv:
                    half_open_ping(Path(name))
            return 0
        return measure()
    finally:
        for log in set(logs.glob("training_*.log")) - before:
            log.unlink()  # the interrupted trainings' logs


def measure() -> int:
    with tempfile.TemporaryDirectory(prefix="quelmar-host-bench-") as name:
        tmp = Path(name)
        data = tmp / "train.csv"
        data.write_text("x1,x2,y\n" + "".join(f"{i % 10 / 10},{i // 10 / 6},{i % 7 / 7}\n" for i in range(60)))
        setup = tmp / "stuck_setup.py"
        setup.write_text(STUCK_SETUP)
        fifo = tmp / "stuck.fifo"
        os.mkfifo(fifo)
        hosts = {"workers": ["-m", "quelmar.host", "--root", str(tmp)]}
        old = previous_host(tmp)
        if old is not None:
            hosts["threads"] = old
        print(f"tool host benchmark ({ROUNDS} rotated rounds; 'threads' is the previous host {PREVIOUS_HOST})")
        direct = direct_call()
        print(f"  execute_plusor called directly in this process: {direct * 1e6:.1f} us")

        firsts: dict[str, list[float]] = {k: [] for k in hosts}
        laters: dict[str, list[float]] = {k: [] for k in hosts}
        for round_ in range(ROUNDS):
            order = list(hosts)[round_ % len(hosts):] + list(hosts)[: round_ % len(hosts)]
            for key in order:
                first, later = quick_calls(hosts[key], tmp)
                firsts[key].append(first)
                laters[key].append(later)
        for key in hosts:
            print(f"  quick call, {key:7}: first {ms(min(firsts[key]))} (min) {ms(statistics.median(firsts[key]))}"
                  f" (median); later {ms(min(laters[key]))} (min) {ms(statistics.median(laters[key]))} (median)")
        if "threads" in hosts:
            for label, series in (("first", firsts), ("later", laters)):
                ratios = [w / t for w, t in zip(series["workers"], series["threads"], strict=True)]
                extra = [w - t for w, t in zip(series["workers"], series["threads"], strict=True)]
                print(f"  {label} call, workers / threads: ratio min {min(ratios):.2f} median "
                      f"{statistics.median(ratios):.2f}; added {ms(statistics.median(extra))} (median)")

        env = {"QUELMAR_HOST_TEST_SETUP": str(setup)}
        stuck_new = {"name": "execute_timesor", "arguments": {"a": 1, "b": 2}}
        pings = [stuck_ping(hosts["workers"], tmp, env, stuck_new) for _ in range(ROUNDS)]
        answered = [p for p in pings if p is not None]
        print(f"  ping with {STUCK} stuck calls, workers: "
              + (f"{ms(min(answered))} (min) {ms(statistics.median(answered))} (median)" if answered else "no answer"))
        if "threads" in hosts:
            stuck_old = {"name": "execute_tabextent", "arguments": {"file_path": str(fifo)}}
            print(f"  ping with {STUCK} stuck calls, threads: {ms(stuck_ping(hosts['threads'], tmp, {}, stuck_old))}"
                  f" (within {PING_PATIENCE:g} s)")
        exits = [sigint_during_training(tmp, data) for _ in range(ROUNDS)]
        print(f"  SIGINT to exit during a training: {ms(min(exits))} (min) {ms(statistics.median(exits))} (median)")
        warm_start(tmp)
        half_open_ping(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())
