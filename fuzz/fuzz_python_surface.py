"""atheris entry of the Python-surface fuzzer: each input is decoded into one call sequence of
surface_calls, whose own failures (Disagreement) and the sanitizers' reports are the findings.
`make fuzz` runs it under FUZZ_PYTHON (see the Makefile) with libFuzzer's options.

Coverage comes from the extension alone (built with -fsanitize=fuzzer-no-link): the Python
files are not instrumented, because atheris 2.3.0 rewrites a comparison whose operand is a
conditional expression (x == (a if c else b)) into code that drops the comparison."""
import sys

import atheris

import surface_calls


def test_one_input(data):
    surface_calls.Session(atheris.FuzzedDataProvider(data)).run()


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
