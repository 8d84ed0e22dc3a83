"""The devices a training runs on: one, every local one, or those of several processes.

A run uses every device of one kind: the GPUs when there are any, else the
CPU.  With more than one device (several GPUs, CPU devices forced with
``XLA_FLAGS=--xla_force_host_platform_device_count=N``, or several
processes) the training is data-parallel over a one-axis mesh (axis
``"rows"``): the rows of the training set and of each evaluation chunk are
sharded over the devices, the parameters and the optimiser state are
replicated, and the compiler adds the all-reduce of the gradients.  Every
mini-batch is split over the devices; a batch size that does not divide by
the device count is rounded up to the next multiple with masked rows (copies
of the batch's first row that count nowhere), so the mini-batches, their
order and the model are those of a run on one device (up to the order of
float32 sums).  The training rows are padded to a multiple of the device
count (the padding is never drawn) and shuffled as one set each epoch, so
each epoch gathers them across the devices: the split pays off for large
mini-batches, not for small ones.  With one device a run uses no mesh at all.

Choosing devices (`select`): with GPUs, ``gpu_idx`` must name one of this
process's GPUs (else ValueError) and comes first: it is the default device
(initialisation, plots) and the mesh follows it with the other GPUs in
order.  ``QUELMAR_DEVICES=N`` limits a one-process run to N devices from
there (``QUELMAR_DEVICES=1``: only ``gpu_idx``'s GPU, as a run on one device);
unset or ``all``, every one.  Without a GPU the run uses the CPU device(s)
and says so.

Several processes (on one machine or several), through JAX's own
distributed runtime: set in every process

``QUELMAR_COORDINATOR``    host:port of process 0's coordinator service
                           (the same in every process; that port must be free
                           on process 0's machine and reachable from the others)
``QUELMAR_NUM_PROCESSES``  the number of processes
``QUELMAR_PROCESS_ID``     this process's index, 0 .. number - 1

and start the same training (same configuration and data files) in each.
The first run of each process calls ``jax.distributed.initialize`` (CPU
collectives through gloo), which must come before JAX has computed anything
in that process (else RuntimeError); the mesh is then
every device of every process (``QUELMAR_DEVICES`` does not apply).  Each
process reads the data files, keeps the rows of its own devices and hands
them to the global arrays; all processes train the same model, and only
process 0 saves it and writes plots.  Processes on CPUs compile their
programs without the persistent compilation cache (programs with CPU
collectives loaded from it wait forever for their peers).
"""

from __future__ import annotations

import os
from typing import Callable

import numpy as np

__all__ = ["AXIS", "ENV_COORDINATOR", "ENV_DEVICES", "ENV_NUM_PROCESSES", "ENV_PROCESS_ID",
           "Placement", "choose", "distributed_settings", "select", "start_distributed"]

AXIS = "rows"
"""The name of the mesh's one axis, over which rows are sharded."""

ENV_COORDINATOR = "QUELMAR_COORDINATOR"
ENV_NUM_PROCESSES = "QUELMAR_NUM_PROCESSES"
ENV_PROCESS_ID = "QUELMAR_PROCESS_ID"
ENV_DEVICES = "QUELMAR_DEVICES"


def distributed_settings(environ=None) -> tuple[str, int, int] | None:
    """(coordinator address, number of processes, process index) from the
    environment, or None when no coordinator is named.  Refuses a partial or
    malformed set with ValueError naming the variable."""
    environ = os.environ if environ is None else environ
    names = (ENV_COORDINATOR, ENV_NUM_PROCESSES, ENV_PROCESS_ID)
    values = [environ.get(name, "").strip() for name in names]
    if not any(values):
        return None
    missing = [name for name, value in zip(names, values) if not value]
    if missing:
        raise ValueError(f"a training over several processes needs {', '.join(names)}; "
                         f"{', '.join(missing)} {'is' if len(missing) == 1 else 'are'} not set")
    address, count, index = values
    host, sep, port = address.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"{ENV_COORDINATOR} must be host:port, got {address!r}")
    numbers = []
    for name, text in ((ENV_NUM_PROCESSES, count), (ENV_PROCESS_ID, index)):
        try:
            numbers.append(int(text))
        except ValueError:
            raise ValueError(f"{name} must be an integer, got {text!r}") from None
    count, index = numbers
    if count < 1:
        raise ValueError(f"{ENV_NUM_PROCESSES} must be at least 1, got {count}")
    if not 0 <= index < count:
        raise ValueError(f"{ENV_PROCESS_ID} must be in 0..{count - 1} "
                         f"({ENV_NUM_PROCESSES} is {count}), got {index}")
    return address, count, index


def start_distributed() -> bool:
    """Join the processes named by the environment (once per process);
    return whether this process is part of a distributed run."""
    import jax

    wanted = distributed_settings()
    if jax.distributed.is_initialized():
        return True
    if wanted is None:
        return False
    address, count, index = wanted
    jax.config.update("jax_cpu_collectives_implementation", "gloo")
    try:
        jax.distributed.initialize(address, count, index)
    except RuntimeError as exc:
        raise RuntimeError(f"could not join the training processes at {address} as process "
                           f"{index} of {count}: {exc}") from exc
    return True


def _device_limit(environ=None) -> int | None:
    environ = os.environ if environ is None else environ
    text = environ.get(ENV_DEVICES, "").strip().lower()
    if text in ("", "all"):
        return None
    if not text.isdigit() or int(text) < 1:
        raise ValueError(f"{ENV_DEVICES} must be a positive number of devices or 'all', "
                         f"got {environ[ENV_DEVICES]!r}")
    return int(text)


def device_name(device) -> str:
    return f"{device.platform}:{device.id}"


class Placement:
    """Where the arrays of a run live: `devices` (the first is the default
    device), and over several of them the one-axis `mesh` (else None)."""

    def __init__(self, devices, processes: int = 1):
        import jax

        self.devices = tuple(devices)
        self.processes = processes
        self.device = next((d for d in self.devices if d.process_index == jax.process_index()),
                           self.devices[0])
        self.mesh = None
        if len(self.devices) > 1:
            from jax.sharding import Mesh, NamedSharding, PartitionSpec

            self.mesh = Mesh(np.array(self.devices, dtype=object), (AXIS,))
            self._by_rows = NamedSharding(self.mesh, PartitionSpec(AXIS))
            self._everywhere = NamedSharding(self.mesh, PartitionSpec())

    @property
    def count(self) -> int:
        return len(self.devices)

    @property
    def name(self) -> str:
        """The devices used, as "cpu:0" or "gpu:0,gpu:1"."""
        return ",".join(device_name(d) for d in self.devices)

    @property
    def is_main(self) -> bool:
        """Whether this process writes the run's files (process 0)."""
        import jax

        return self.processes == 1 or jax.process_index() == 0

    def describe(self, batch: int) -> str | None:
        """The log line of a data-parallel run with mini-batches of `batch`
        rows, or None on one device."""
        if self.mesh is None:
            return None
        width = self.width(batch)
        filled = f"{batch} rows" + (f" (and {width - batch} masked)" if width > batch else "")
        return (f"Data-parallel over {self.count} devices"
                f"{f' in {self.processes} processes' if self.processes > 1 else ''}: "
                f"each mini-batch of {filled} split {width // self.count} per device")

    def width(self, rows: int) -> int:
        """`rows` rounded up to a multiple of the device count."""
        return -(-int(rows) // self.count) * self.count

    def rows(self, *arrays, rows: int | None = None):
        """Each host array padded (its last row repeated) to `rows` rows
        rounded up to a multiple of the device count, then placed: on one
        device as it is, over several sharded by rows, each process giving
        the rows of its own devices.  One array in, one out; else a tuple."""
        import jax

        from .compiled import pad_rows

        placed = []
        for a in arrays:
            a = np.asarray(a)
            a = pad_rows(a, self.width(a.shape[0] if rows is None else rows))
            if self.mesh is None:
                placed.append(jax.device_put(a))  # on the default device; runs no program
            else:
                placed.append(jax.make_array_from_callback(a.shape, self._by_rows,
                                                           lambda index, a=a: a[index]))
        return placed[0] if len(placed) == 1 else tuple(placed)

    def replicated(self, tree):
        """`tree`'s arrays on every device of the mesh (unchanged without one,
        or when already there)."""
        if self.mesh is None:
            return tree
        import jax

        def put(leaf):
            if isinstance(leaf, jax.Array) and leaf.sharding == self._everywhere:
                return leaf
            host = np.asarray(leaf)
            return jax.make_array_from_callback(host.shape, self._everywhere,
                                                lambda index: host[index])

        return jax.tree_util.tree_map(put, tree)


def choose(local: list, gpu_idx: int | None, limit: int | None) -> list:
    """This process's devices for a one-process run: `local` (its devices of
    one kind) from `gpu_idx`'s on, the ones before it last (`gpu_idx` None:
    CPU devices, in order), at most `limit` of them."""
    if gpu_idx is not None:
        if gpu_idx >= len(local):
            raise ValueError(f"gpu_idx {gpu_idx} is out of range: this machine has "
                             f"{len(local)} GPU(s) (0..{len(local) - 1})")
        local = local[gpu_idx:] + local[:gpu_idx]
    if limit is not None:
        if limit > len(local):
            raise ValueError(f"{ENV_DEVICES} is {limit}, but this process has "
                             f"{len(local)} device(s)")
        local = local[:limit]
    return list(local)


def select(gpu_idx: int, say: Callable[[str], None] = print) -> Placement:
    """The devices of a run (see the module docstring); joins the processes
    named by the environment first.  ValueError for a `gpu_idx` beyond the
    GPUs present or a bad device count."""
    import jax

    processes = jax.process_count() if start_distributed() else 1
    try:
        gpus = jax.devices("gpu")
    except RuntimeError:
        gpus = []
    limit = _device_limit()
    if gpus:
        local = [d for d in gpus if d.process_index == jax.process_index()]
        chosen = choose(local, gpu_idx, None if processes > 1 else limit)
        if processes > 1:
            return Placement(gpus, processes)
        return Placement(chosen)
    cpus = jax.devices("cpu")
    local = [d for d in cpus if d.process_index == jax.process_index()]
    shown = (device_name(local[0]) if len(cpus) == 1 else
             f"{len(cpus)} devices: {', '.join(device_name(d) for d in cpus)}")
    say(f"No GPU found; running on the CPU ({shown}).")
    if processes > 1:
        # Programs with CPU collectives loaded from the persistent cache
        # wait forever for their peers: compile them in each process.
        jax.config.update("jax_enable_compilation_cache", False)
        return Placement(cpus, processes)
    return Placement(choose(local, None, limit))
