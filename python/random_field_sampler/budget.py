"""The memory plan of a sampler and its MemoryError.

A sampler is given a budget in bytes (``max_memory``; by default a fraction
of what the process could get now, ``default_budget``) and refuses, with one
MemoryError naming the sizes, any build or batch whose plan does not fit it,
before allocating. The plan is written here once:

- ``sampler_bytes(N, Nchol)``: what a built sampler holds beside its fill
  (the factor of the Cholesky nodes and a few arrays of one value per node);
- ``build_bytes(N, Nchol)``: its peak while it is built (the covariance,
  its jittered copy and the factor);
- ``batch_bytes(N, Nchol, variates, rows)``: one batch of ``rows`` rows,
  beyond the fill's own temporaries (the variates, the Cholesky product in
  whole groups, the output).

``Plan`` gathers them for one built sampler (``Sampler.plan``).
"""

from __future__ import annotations

import dataclasses
import os
from typing import Optional

from .streams import round_up

__all__ = ["DEFAULT_MEMORY_FRACTION", "available_memory", "default_budget", "sampler_bytes",
           "build_bytes", "batch_bytes", "memory_error", "Plan"]

# The default budget, as a fraction of the memory available when the sampler
# is built.
DEFAULT_MEMORY_FRACTION = 0.5


def _meminfo() -> Optional[int]:
    """MemAvailable, or the physical memory where /proc/meminfo cannot be read."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (ValueError, OSError, AttributeError):
        return None


def _address_space() -> Optional[int]:
    """The address-space limit (RLIMIT_AS) less the address space in use, or
    None without a limit."""
    try:
        import resource
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    except (ImportError, OSError, ValueError):
        return None
    if soft == resource.RLIM_INFINITY or soft < 0:
        return None
    used = 0
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    used = int(line.split()[1]) * 1024
                    break
    except (OSError, ValueError, IndexError):
        pass
    return max(0, soft - used)


def _read_int(path: str) -> Optional[int]:
    try:
        with open(path) as f:
            text = f.read().strip()
    except OSError:
        return None
    if text == "max":
        return None
    try:
        return int(text)
    except ValueError:
        return None


def cgroup_room(root: str = "/sys/fs/cgroup", cgroup_file: str = "/proc/self/cgroup") -> Optional[int]:
    """The least room (limit less usage) of this process's memory cgroups,
    itself and its ancestors, under cgroup v2 (``memory.max``,
    ``memory.current``) or v1 (``memory.limit_in_bytes``,
    ``memory.usage_in_bytes``); None without a limit."""
    try:
        with open(cgroup_file) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    rooms = []
    for line in lines:
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        _, controllers, path = parts
        if controllers == "":                      # v2
            base, limit_name, usage_name = root, "memory.max", "memory.current"
        elif "memory" in controllers.split(","):   # v1
            base, limit_name, usage_name = (os.path.join(root, "memory"), "memory.limit_in_bytes",
                                            "memory.usage_in_bytes")
        else:
            continue
        rel = path.strip("/")
        while True:
            folder = os.path.join(base, rel) if rel else base
            limit = _read_int(os.path.join(folder, limit_name))
            # v1 says "no limit" with a huge number
            if limit is not None and limit < (1 << 60):
                usage = _read_int(os.path.join(folder, usage_name)) or 0
                rooms.append(max(0, limit - usage))
            if not rel:
                break
            rel = os.path.dirname(rel)
    return min(rooms) if rooms else None


def available_memory() -> int:
    """The bytes this process could get now: the least of MemAvailable, the
    address-space limit less what is in use, and the room left in its
    memory cgroups."""
    found = [v for v in (_meminfo(), _address_space(), cgroup_room()) if v is not None]
    return min(found) if found else 1 << 33


def default_budget() -> int:
    """The default ``max_memory``: ``DEFAULT_MEMORY_FRACTION`` of
    ``available_memory()``."""
    return max(1, int(DEFAULT_MEMORY_FRACTION * available_memory()))


def sampler_bytes(N: int, Nchol: int) -> int:
    """What a built sampler holds beside its fill: the factor of the
    Cholesky nodes and eight arrays of one value per node."""
    return 8 * (Nchol * Nchol + 8 * N)


def build_bytes(N: int, Nchol: int) -> int:
    """The sampler's own peak while it is built: the covariance of the
    Cholesky nodes, its jittered copy and the factor, and the node arrays."""
    return 8 * (3 * Nchol * Nchol + 8 * N)


def batch_bytes(N: int, Nchol: int, variates: int, rows: int) -> int:
    """One batch of `rows` rows beyond the fill's temporaries: the variates,
    the Cholesky product in whole groups (padded) and the output."""
    return 8 * (rows * variates + 2 * round_up(rows) * Nchol + rows * N)


def memory_error(what: str, needed: int, budget: int, N: int, Nchol: int, Nkrig: int,
                 hint: str = "") -> MemoryError:
    """The one MemoryError of the sampler: what needs how much, against the budget."""
    return MemoryError(
        f"{what} for N = {N} nodes (Nchol = {Nchol}, Nkrig = {Nkrig}) needs "
        f"{needed} bytes ({needed / 2**30:.2f} GiB), over the memory budget of {budget} bytes "
        f"({budget / 2**30:.2f} GiB, max_memory)" + (f"; {hint}" if hint else ""))


@dataclasses.dataclass(frozen=True)
class Plan:
    """The memory plan of one sampler, in bytes: ``build`` its smallest peak
    while built, ``held`` what it holds once built (the fill's optional cache
    included where ``cache`` says so), ``batch`` the temporaries and output of
    one batch of ``rows`` rows, ``budget`` its max_memory."""
    rows: int
    build: int
    held: int
    batch: int
    cache: int
    budget: int

    @property
    def total(self) -> int:
        """held + batch: what drawing one batch of ``rows`` rows takes."""
        return self.held + self.batch

    @property
    def fits(self) -> bool:
        return self.total <= self.budget
