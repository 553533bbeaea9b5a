"""Child interpreters for the import tests: a fresh process imports the
module (or a stand-in NumPy first) and reports what happened as JSON."""

import json
import os
import subprocess
import sys
import textwrap

import Quorvane
from interface import INIT_LINE, INIT_NAME

MODULE_DIR = os.path.dirname(Quorvane.__file__)

# Prepended to every child script: try_import() imports the module and
# describes the failure (type, message, the module's traceback entries).
CHILD_PRELUDE = """
import json, sys

def describe(exc):
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "Quorvane":
            entries.append([code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return {"type": type(exc).__name__, "message": str(exc), "entries": entries}

def try_import(name="Quorvane"):
    try:
        __import__(name)
    except BaseException as exc:
        return describe(exc)
    return None

def emit(value):
    print(json.dumps(value))
"""


def run_child(script, path=(MODULE_DIR,), environment=None, launcher=()):
    """Runs the prelude plus script in a fresh interpreter (started through
    `launcher`, such as an emulator, when given), with the environment
    variables of `environment` set; returns the JSON value of the last line
    it prints."""
    env = dict(os.environ)
    env.update(environment or {})
    env["PYTHONPATH"] = os.pathsep.join(path)
    env.pop("PYTHONWARNINGS", None)
    result = subprocess.run(
        [*launcher, sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(script)],
        capture_output=True, text=True, env=env, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def init_failure(exc_type, message, line=INIT_LINE):
    return {"type": exc_type, "message": message, "entries": [[INIT_NAME, line]]}
