"""Behaviour that needs a fresh interpreter: import, missing NumPy, first use from threads."""

import shutil

import pytest

import inv as installed


@pytest.fixture(params=["installed", "copied alone"])
def import_inv(request, tmp_path):
    """Code that imports the module: the installed one, or its file copied alone into an empty
    folder and loaded by path, as a vendored copy is; it must need no file beside it."""
    if request.param == "installed":
        return "import inv"
    lone = tmp_path / "lone"
    lone.mkdir()
    copy = shutil.copy(installed.__file__, lone)
    return f"""
        import importlib.util
        import pathlib
        location = importlib.util.spec_from_file_location("inv", {str(copy)!r})
        inv = importlib.util.module_from_spec(location)
        location.loader.exec_module(inv)
        assert inv.__file__ == {str(copy)!r} and len(list(pathlib.Path({str(lone)!r}).iterdir())) == 1
        """


def test_import_does_not_import_numpy(run_python, import_inv):
    done = run_python(
        f"""
        import sys
        {import_inv}
        assert "numpy" not in sys.modules, sorted(m for m in sys.modules if "numpy" in m)
        assert inv.inv([[0.0, 2.0], [4.0, 0.0]]).tolist() == [[0.0, 0.25], [0.5, 0.0]]
        assert inv.lstsq([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], [1.0, 2.0, 3.0]).tolist() == [1.0, 2.0]
        assert "numpy" in sys.modules
        """
    )
    assert done.returncode == 0, done.stderr


def test_calls_without_numpy_raise_import_error_every_time(run_python, import_inv):
    done = run_python(
        f"""
        import sys
        sys.modules["numpy"] = None  # makes every import of numpy fail
        {import_inv}
        for call in [lambda: inv.inv([[2.0]]), lambda: inv.lstsq([[1.0]], [1.0])] * 3:
            try:
                call()
            except ImportError as error:
                assert "numpy" in str(error), error
            else:
                raise AssertionError("a call without NumPy succeeded")
        try:
            inv.inv()
        except TypeError:
            pass  # an unmatched call never reaches conversion
        del sys.modules["numpy"]
        assert inv.inv([[2.0]]).tolist() == [[0.5]]  # loading is retried once NumPy is there
        """
    )
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("switch_interval", [None, 1e-6], ids=["default switching", "constant switching"])
def test_first_use_from_many_threads_finishes(run_python, switch_interval):
    done = run_python(
        f"""
        import sys
        import threading
        import inv

        if {switch_interval!r} is not None:
            sys.setswitchinterval({switch_interval!r})  # hand the lock over during NumPy's import
        barrier = threading.Barrier(16)
        results = [None] * 16

        def first_call(i):
            barrier.wait()
            ok = True
            for repeat in range(20):
                k = float(i + repeat + 1)
                if (i + repeat) % 2:
                    ok = ok and inv.inv([[k, 0.0], [0.0, 2.0]]).tolist() == [[1.0 / k, 0.0], [0.0, 0.5]]
                else:
                    ok = ok and inv.lstsq([[1.0], [1.0]], [k - 1.0, k + 1.0]).tolist() == [k]
            results[i] = ok

        threads = [threading.Thread(target=first_call, args=(i,)) for i in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert all(results), results
        """,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
