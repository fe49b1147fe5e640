"""Loading the native modules, each scenario in a fresh interpreter process."""

import sys

import pytest

from conftest import in_child

MODULES = {  # module: (function, the other names it binds)
    "quorvane.process_stock.priceBars": ("get_priceBars", "Client base_url requests pd datetime"),
    "quorvane.process_stock.orderFlow": ("get_order_flow", "Client base_url requests pd"),
    "quorvane.process_stock.foreign": ("get_foreign", "Client base_url requests pd"),
    "quorvane.process_stock.dealerDesk": ("get_dealerDesk", "Client base_url requests pd"),
    "quorvane.process_stock.dividend": ("get_dividend", "Client base_url requests pd np"),
    "quorvane.config.guard_access": ("guard_access", "wraps Client"),
}
REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_second_interpreter_is_refused():
    if not hasattr(pytest.importorskip("_testcapi"), "run_in_subinterp"):
        pytest.skip("no subinterpreters in this interpreter")
    # The subinterpreter reports through a pipe: it shares the process's descriptors.
    reports, same = in_child(f"""
        import importlib, json, os, _testcapi
        modules = {{name: importlib.import_module(name) for name in {list(MODULES)!r}}}
        reports = []
        for name in modules:
            read, write = os.pipe()
            _testcapi.run_in_subinterp(f'''if 1:
                import os
                try:
                    import {{name}}
                    report = "imported"
                except BaseException as error:
                    report = type(error).__name__ + ": " + str(error)
                os.write({{write}}, report.encode())''')
            os.close(write)
            reports.append(os.read(read, 4096).decode())
        print(json.dumps([reports, all(importlib.import_module(n) is m for n, m in modules.items())]))
        """)
    assert same and len(reports) == len(MODULES)
    for report in reports:
        assert report == "ImportError: " + REFUSAL or (
            sys.version_info >= (3, 12) and report.startswith("ImportError: "))


@pytest.mark.parametrize("name, line, message, broken, restore, bound, signature", [
    ("quorvane.process_stock.foreign", 3, "ImportError: cannot import name base_url",
     "import quorvane.config.config as c; saved = c.base_url; del c.base_url",
     "c.base_url = saved", "base_url", "(ticker, fromDate, toDate, period, unit)"),
    ("quorvane.config.guard_access", 2, "ImportError: cannot import name Client",
     "import quorvane.process_client.login as c; saved = c.Client; del c.Client",
     "c.Client = saved", "Client", "(func)"),
    # pandas is loaded first, so only the module's own `import numpy` meets the block
    ("quorvane.process_stock.dividend", 6,
     "ModuleNotFoundError: import of numpy halted; None in sys.modules",
     "import pandas; saved = sys.modules['numpy']; sys.modules['numpy'] = None",
     "sys.modules['numpy'] = saved", "np", "(ticker, fromDate, toDate)"),
], ids=["missing-name", "missing-class", "blocked-package"])
def test_failed_import_leaves_nothing_and_can_be_retried(name, line, message, broken, restore,
                                                        bound, signature):
    found = in_child(f"""
        import inspect, json, sys, traceback
        {broken}
        failure, entry = None, None
        try:
            __import__({name!r})
        except ImportError as error:
            failure = type(error).__name__ + ": " + str(error)
            entry = list(traceback.extract_tb(error.__traceback__)[-1])[:3]
        left = {name!r} in sys.modules
        {restore}
        module = __import__({name!r}, fromlist=["_"])
        print(json.dumps([failure, entry, left, str(inspect.signature(module.{MODULES[name][0]})),
                          module.{bound} is saved]))
        """)
    source = "quorvane/" + name.split(".", 1)[1].replace(".", "/")
    assert found == [message, [source, line, "init " + name], False, signature, True]


def test_all_six_load_together_with_warnings_as_errors():
    # Also: a second create step hands back the one module, and executing it
    # again leaves its namespace alone.
    found = in_child(f"""
        import importlib, importlib.util, json
        found = {{}}
        for name in {list(MODULES)!r}:
            module = importlib.import_module(name)
            names = sorted(n for n in vars(module) if not n.startswith("__"))
            own = [n for n, v in vars(module).items()
                   if not n.startswith("_") and getattr(v, "__module__", None) == name]
            same = importlib.util.module_from_spec(module.__spec__) is module
            module.Client = "rebound"
            module.__spec__.loader.exec_module(module)
            found[name] = [names, own, module.__test__ == {{}}, module.__doc__, same, module.Client]
        print(json.dumps(found))
        """, "-W", "error")
    for name, (function, bindings) in MODULES.items():
        names = sorted(bindings.split() + [function])
        assert found[name] == [names, [function], True, None, True, "rebound"]


@pytest.mark.parametrize("before", [None, "placeholder"])
def test_failed_load_under_another_name_takes_back_its_registration(before):
    # The module registers itself under its full name when its loader does
    # not; a failed load takes that entry out again, but only its own.
    found = in_child(f"""
        import importlib.util, json, sys, types
        import pandas
        name = "quorvane.process_stock.priceBars"
        origin = importlib.util.find_spec(name).origin
        placeholder = types.ModuleType("placeholder")
        if {before!r}:
            sys.modules[name] = placeholder
        sys.modules["pandas"] = None
        spec = importlib.util.spec_from_file_location("priceBars", origin)
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
            failure = None
        except ImportError as error:
            failure = type(error).__name__
        entry = sys.modules.get(name, "absent")
        left = "absent" if entry == "absent" else "placeholder" if entry is placeholder else repr(entry)
        sys.modules["pandas"] = pandas
        if entry is placeholder:
            del sys.modules[name]
        from quorvane.process_stock.priceBars import get_priceBars
        print(json.dumps([failure, left, get_priceBars.__module__]))
        """)
    assert found == ["ModuleNotFoundError", before or "absent", "quorvane.process_stock.priceBars"]
