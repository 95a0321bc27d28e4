"""The checkout the suite runs from: the suite tests whichever `inv` is installed, and takes
the scripts it runs and the package's declared metadata from the folders beside tests/."""

import pathlib
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]


def example_scripts():
    """Every script in examples/; a checkout without them is an error, not a pass."""
    scripts = sorted((ROOT / "examples").glob("*.py"))
    if not scripts:
        raise FileNotFoundError(
            f"no scripts in {ROOT / 'examples'}: run the suite from a checkout, which has "
            "examples/ beside tests/"
        )
    return scripts


def pyproject():
    with open(ROOT / "pyproject.toml", "rb") as file:
        return tomllib.load(file)
