"""The module object: its attributes, the eight functions' signatures, the
once-per-process initialisation and the exception type of failed trainings."""

import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarnel
from conftest import SIGNATURES, episode

def run_python(code):
    """Runs `code` in a fresh interpreter; returns (exit code, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)
    return done.returncode, done.stdout, done.stderr


def test_module_attributes():
    assert tarnel.__name__ == "tarnel"
    assert tarnel.__doc__ == ""
    assert tarnel.__all__ == ["qlearn_forward", "td_learn_backward", "expected_sarsa",
                              "td_learn_backward_parallel", "qlearn_forward_parallel", "fast_learn",
                              "learn_until_convergence", "double_q"]
    assert type(tarnel.__all__) is list
    # The functions, the failure type, the data's check, warning and support,
    # and the table type are all the module holds; only the training functions are exported.
    public = sorted(name for name in vars(tarnel) if not name.startswith("_"))
    assert public == sorted([*tarnel.__all__, "TrainingFailure", "DataWarning", "check_episodes", "visit_counts",
                                                  "EpisodeTable"])
    assert issubclass(tarnel.DataWarning, UserWarning) and tarnel.DataWarning.__module__ == "tarnel"
    assert f'\nversion = "{tarnel.__version__}"\n' in (Path(__file__).parents[2] / "pyproject.toml").read_text()


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_signature(name):
    function = getattr(tarnel, name)
    names = SIGNATURES[name]
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == "(" + ", ".join(names[:-1]) + ", quit_threshold=None)"
    assert function.__doc__ is None
    assert function.__module__ == "tarnel"
    assert function.__self__ is tarnel
    parameters = list(inspect.signature(function).parameters.values())
    assert tuple(p.name for p in parameters) == names
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert all(p.default is inspect.Parameter.empty for p in parameters[:-1])
    assert parameters[-1].default is None


def test_second_initialisation_fails_and_first_module_keeps_working():
    code, out, err = run_python("""
        import sys
        import tarnel
        first = tarnel
        del sys.modules["tarnel"]
        try:
            import tarnel
        except ImportError as error:
            print("ImportError")
        else:
            print("imported again")
        print("tarnel" in sys.modules)
        print(first.qlearn_forward([], (2, 3), 0.9, 0.1, 0, False).shape)
        """)
    assert (code, out) == (0, "ImportError\nFalse\n(2, 3)\n"), err


def test_training_failure_type(training_failure):
    assert training_failure.__bases__ == (BaseException,)
    assert not issubclass(training_failure, Exception)
    # Published by name, but not one of the functions `import *` brings in.
    assert tarnel.TrainingFailure is training_failure
    assert training_failure.__module__ == "tarnel" and training_failure.__name__ == "TrainingFailure"
    assert "TrainingFailure" not in tarnel.__all__


def test_training_failure_pickles_by_name(capfd):
    import pickle
    with pytest.raises(tarnel.TrainingFailure) as caught:
        tarnel.qlearn_forward([], (1, 1), 0.9, 0.1, 1, False)
    assert str(caught.value) in capfd.readouterr().err
    copy = pickle.loads(pickle.dumps(caught.value))
    assert type(copy) is tarnel.TrainingFailure
    assert copy.args == caught.value.args and str(copy) == str(caught.value)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_training_failure_is_raised_after_a_report_on_stderr(capfd, training_failure, name):
    # A state outside a 1 x 1 table in the first of two transitions fails
    # every rule in the first update.
    data = [episode((5, 0, 1.0, 0, 0), (0, 0, 1.0, 0, 1))]
    extra = {"td_learn_backward_parallel": (1, 1), "qlearn_forward_parallel": (1,)}.get(name, ())
    capfd.readouterr()
    with pytest.raises(BaseException) as caught:
        try:
            getattr(tarnel, name)(data, (1, 1), 0.9, 0.1, 10, *extra, False)
        except Exception:  # must not catch it
            pytest.fail("a failed training was caught as an Exception")
    assert type(caught.value) is training_failure
    message = str(caught.value)
    assert message and caught.value.args == (message,)
    err = capfd.readouterr().err
    assert message in err and err.endswith("\n")
