"""Behaviour that needs a fresh interpreter: import, missing NumPy, first use from threads."""


def test_import_does_not_import_numpy(run_python):
    done = run_python(
        """
        import sys
        import inv
        assert "numpy" not in sys.modules, sorted(m for m in sys.modules if "numpy" in m)
        inv.inv([[2.0]])
        assert "numpy" in sys.modules
        """
    )
    assert done.returncode == 0, done.stderr


def test_calls_without_numpy_raise_import_error_every_time(run_python):
    done = run_python(
        """
        import sys
        sys.modules["numpy"] = None  # makes every import of numpy fail
        import inv
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


def test_first_use_from_many_threads_finishes(run_python):
    done = run_python(
        """
        import threading
        import inv

        barrier = threading.Barrier(8)
        results = [None] * 8

        def first_call(i):
            barrier.wait()
            if i % 2:
                results[i] = inv.inv([[float(i + 1)]]).tolist() == [[1.0 / (i + 1)]]
            else:
                results[i] = inv.lstsq([[1.0], [1.0]], [float(i), float(i + 2)]).tolist() == [i + 1.0]

        threads = [threading.Thread(target=first_call, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert all(results), results
        """,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
