"""The installed distribution is the one this checkout declares, and carries its licence."""

import importlib.metadata
import pathlib

import checkout
import inv


def test_installed_version_is_the_checkouts():
    # The suite tests whatever `inv` is installed; from another version its texts and
    # numbers may differ for reasons that are no fault of either.
    declared = checkout.pyproject()["project"]["version"]
    installed = importlib.metadata.version("inv")
    assert installed == declared, f"inv {installed} is installed, this checkout is {declared}"


def test_licence_is_in_the_installed_metadata():
    distribution = importlib.metadata.distribution("inv")
    assert distribution.metadata["License-Expression"] == "BSD-3-Clause"
    assert distribution.read_text("licenses/LICENSE") == (checkout.ROOT / "LICENSE").read_text()


def test_dependency_groups_keep_in_step_with_the_declared_requirements():
    project = checkout.pyproject()
    # A build without isolation uses the `build` group, so it must hold every build requirement.
    assert set(project["build-system"]["requires"]) <= set(project["dependency-groups"]["build"])
    assert project["dependency-groups"]["test"] == project["project"]["optional-dependencies"]["test"]


def test_nothing_but_the_module_and_its_stub_is_installed():
    # One self-contained module file: no library of the project's own beside it.
    distribution = importlib.metadata.distribution("inv")
    installed = {str(path) for path in distribution.files if ".dist-info/" not in str(path)}
    module = pathlib.Path(inv.__file__).name
    assert installed == {module, "inv.pyi", "inv-stubs/__init__.pyi"}
