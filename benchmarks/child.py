"""One run of a benchmark script in a child process with an address-space
limit, so that each case's peak memory is its own and a case that does not
fit fails alone."""

from __future__ import annotations

import json
import resource
import subprocess
import sys


def run_child(script: str, args: list, limit: int) -> dict:
    """Runs ``python SCRIPT --child ARGS`` under RLIMIT_AS = limit bytes and
    returns the JSON object of its last output line, or {"error": its last
    line of stderr} when it fails."""
    def cap() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    p = subprocess.run([sys.executable, script, "--child"] + args, preexec_fn=cap,
                       capture_output=True, text=True)
    if p.returncode != 0:
        last = (p.stderr.strip().splitlines() or ["?"])[-1]
        return {"error": last[:200]}
    return json.loads(p.stdout.strip().splitlines()[-1])
