"""The module is initialised once per process: a later initialisation in the same
interpreter gets the same module object, one from another interpreter is refused."""
import importlib
import sys

import pytest

import tovrana


def _subinterpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):  # 3.13 and later; 3.11 and 3.12
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("this interpreter has no sub-interpreter module")


def _new_interpreter(interpreters):
    # The legacy configuration lets the import reach the module's own initialisation;
    # an isolated one is refused earlier by the interpreter itself.
    if interpreters.__name__ == "_interpreters":
        return interpreters.create("legacy")
    if sys.version_info >= (3, 12):
        return interpreters.create(isolated=False)
    return interpreters.create()


def test_initialising_again_returns_the_same_module():
    module = sys.modules.pop("tovrana")
    try:
        again = importlib.import_module("tovrana")
        assert again is module
        assert again.Grid is tovrana.Grid and again.PanicException is tovrana.PanicException
    finally:
        sys.modules["tovrana"] = module


def test_import_from_a_second_interpreter_raises_import_error(tmp_path):
    interpreters = _subinterpreters()
    out = tmp_path / "result.txt"
    script = (
        "try:\n"
        "    import tovrana\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    interp = _new_interpreter(interpreters)
    try:
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
    assert out.read_text().startswith("ImportError: ")
    # The first interpreter's module is untouched.
    assert tovrana.Grid(2, 2, 1, [], [], [], []).occ_signature() == 0
