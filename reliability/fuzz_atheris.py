"""Coverage-guided fuzzing of `inv` and `lstsq` with atheris (libFuzzer for Python).

The fuzzing engine's bytes choose the calls through the same generators and rule as
fuzz.py. Coverage comes from the instrumented Python code (the generators and NumPy's
Python layer); the module itself is built by g++, which has no libFuzzer instrumentation,
so the engine cannot see branches inside it.

    python reliability/fuzz_atheris.py -max_total_time=60 [-seed=1] [corpus_dir]

A call that breaks the rule raises `arguments.Finding`, which atheris reports as a crash
with the input that caused it.
"""

import pathlib
import sys

import atheris

# The generators and the rule live with the tests (tests/arguments.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

with atheris.instrument_imports(include=["arguments", "numpy.ma", "numpy.matrixlib", "numpy.lib"]):
    import arguments
    import numpy  # noqa: F401  (instrumented above)


def one_input(data):
    source = arguments.BytesSource(atheris.FuzzedDataProvider(data))
    name, args, kwargs = arguments.call(source)
    arguments.check_call(name, args, kwargs)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
