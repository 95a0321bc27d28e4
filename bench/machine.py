"""The machine a benchmark runs on, in one line for the reports in bench/results/: their
figures depend on the CPU, and the module picks its instruction-set level from the CPU's features."""

import os
import platform

# Each x86-64 level with the CPU features it adds to the one before, as Linux names them in
# /proc/cpuinfo (abm is LZCNT), by the psABI's lists, as .ci/cpu-levels tests them.
LEVELS = [
    ("x86-64-v3", {"avx", "avx2", "bmi1", "bmi2", "f16c", "fma", "abm", "movbe", "xsave"}),
    ("x86-64-v4", {"avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"}),
]


def cpu():
    """The CPU's model name, with the highest x86-64 level it supports where Linux tells it."""
    try:
        with open("/proc/cpuinfo") as file:
            lines = file.read().splitlines()
    except OSError:
        lines = []
    fields = dict(line.split(":", 1) for line in lines if ":" in line)
    fields = {key.strip(): value.strip() for key, value in fields.items()}
    model = fields.get("model name") or platform.processor() or platform.machine()
    if "flags" not in fields:
        return model
    flags = set(fields["flags"].split())
    level = "baseline x86-64"
    for name, added in LEVELS:
        if not added <= flags:
            break
        level = name
    return f"{model} ({level})"


def description():
    return f"{cpu()}, {os.cpu_count()} logical cores, {platform.system()} {platform.release()}"


if __name__ == "__main__":
    print(description())
