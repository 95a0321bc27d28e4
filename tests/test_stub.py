"""The installed type stub agrees with the module, and a type checker finds and uses it."""

import ast
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import checkout
import inv

SITE = pathlib.Path(inv.__file__).parent
STUBS = {"beside the module": SITE / "inv.pyi", "stub-only package": SITE / "inv-stubs" / "__init__.pyi"}
RUNTIME_NAMES = ["inv", "lstsq"]


def stub_functions(path):
    tree = ast.parse(path.read_text())
    return tree, {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def runtime_parameter_count(function):
    # pybind11 functions carry no introspectable signature; their docstring is the rendered one.
    return len(re.findall(r"\barg\d+: ", function.__doc__.split(" -> ")[0]))


@pytest.mark.parametrize("where", STUBS)
def test_stub_is_installed_with_the_module(where):
    assert STUBS[where].is_file()
    assert STUBS[where].read_text() == STUBS["beside the module"].read_text()


def test_stub_matches_the_runtime_module():
    tree, functions = stub_functions(STUBS["beside the module"])
    assert ast.get_docstring(tree, clean=False) == inv.__doc__
    runtime = [name for name in vars(inv) if not name.startswith("__")]
    assert runtime == RUNTIME_NAMES
    assert list(functions) == runtime
    public_stub_names = {
        target.id
        for node in tree.body
        if isinstance(node, ast.Assign)
        for target in node.targets
        if isinstance(target, ast.Name)
    }
    assert not public_stub_names, "the stub declares attributes the module does not have"

    for name, node in functions.items():
        arguments = node.args
        assert len(arguments.posonlyargs) == runtime_parameter_count(getattr(inv, name)), name
        assert not (arguments.args or arguments.kwonlyargs or arguments.vararg or arguments.kwarg)
        assert not arguments.defaults
        assert {ast.unparse(argument.annotation) for argument in arguments.posonlyargs} == {
            "numpy.typing.ArrayLike"
        }
        assert ast.unparse(node.returns) == "numpy.typing.NDArray[numpy.float64]"


# The probe's expected findings show that mypy resolved `inv` to the installed stub: without it
# the import would be an error and every call an unchecked Any.
PROBE = textwrap.dedent(
    """\
    import numpy as np
    import inv

    reveal_type(inv.lstsq([[1.0], [1.0]], [1.0, 3.0]))
    inv.inv(a=np.eye(2))
    inv.lstsq(np.eye(2))
    """
)


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    work = tmp_path_factory.mktemp("mypy")
    (work / "probe.py").write_text(PROBE)
    examples = [str(path) for path in checkout.example_scripts()]
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(work / "cache"),
         "--python-executable", sys.executable, *examples, str(work / "probe.py")],
        capture_output=True, text=True, timeout=300, cwd=work,
    )
    output = done.stdout + done.stderr
    # The probe's deliberate errors end the run with status 1 and a summary that counts the
    # files checked; anything else means mypy did not run (not installed, crashed, refused its
    # arguments), and the checks below would pass on nothing.
    last = output.strip().splitlines()[-1] if output.strip() else ""
    checked = re.search(r"\(checked (\d+) source files\)$", last)
    assert done.returncode == 1 and checked and int(checked.group(1)) == len(examples) + 1, output
    return output


def test_examples_pass_mypy_strict(mypy_run):
    assert "examples" not in mypy_run, mypy_run


def test_mypy_checks_calls_against_the_installed_stub(mypy_run):
    probe = [line.split(": ", 1)[1] for line in mypy_run.splitlines() if line.startswith("probe.py:")]
    assert probe[0].startswith('note: Revealed type is "numpy.ndarray['), mypy_run
    # NumPy 1.x spells float64 by its definition, floating[_64Bit].
    assert probe[0].endswith(('numpy.dtype[numpy.float64]]"', 'numpy.dtype[numpy.floating[numpy._typing._64Bit]]]"')), mypy_run
    assert any('Unexpected keyword argument "a" for "inv"' in line for line in probe), mypy_run
    assert any('Too few arguments for "lstsq"' in line for line in probe), mypy_run
    assert not any("import" in line for line in probe), mypy_run
