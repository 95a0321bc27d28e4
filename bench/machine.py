"""The machine a benchmark runs on, in one line for the reports in bench/results/: their
figures depend on the CPU, and the module picks its instruction-set level from the CPU's
features."""

import os
import platform
import subprocess
from pathlib import Path

CPU_LEVELS = Path(__file__).resolve().parents[1] / ".ci" / "cpu-levels"


def cpu_levels():
    """The instruction-set levels this CPU runs, lowest first, by .ci/cpu-levels (which reads
    linalg/levels.txt); empty where that cannot tell."""
    try:
        return subprocess.run([str(CPU_LEVELS)], capture_output=True, text=True,
                              check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return []


def dispatched_level():
    """The level that a build carrying every level runs on this CPU: the highest it runs."""
    levels = cpu_levels()
    return levels[-1] if levels else "unknown"


def cpu():
    """The CPU's model name, with the highest instruction-set level it runs."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as file:
            for line in file:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model} ({dispatched_level()})"


def description():
    return f"{cpu()}, {os.cpu_count()} logical cores, {platform.system()} {platform.release()}"


if __name__ == "__main__":
    print(description())
