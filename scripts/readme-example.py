#!/usr/bin/env python3
"""Runs the README's example (its first ```python block) and checks what it prints: each printed
line must begin the comment of the print call that made it (`print(len(b))  # 13` must print 13).

Usage: readme-example.py README.md
"""
import contextlib
import io
import re
import sys

BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
PRINT_COMMENT = re.compile(r"^\s*print\(.*#\s*(.*)$")


def main(readme):
    example = BLOCK.search(open(readme, encoding="utf-8").read())
    if not example:
        raise SystemExit(f"no python example in {readme}")
    code = example.group(1)
    expected = [match.group(1) for line in code.splitlines() if (match := PRINT_COMMENT.match(line))]
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        exec(compile(code, "README example", "exec"), {"__name__": "readme_example"})
    printed = output.getvalue().splitlines()
    if len(printed) != len(expected) or not all(want.startswith(got) for got, want in zip(printed, expected)):
        raise SystemExit(f"the README example printed {printed}; its comments say {expected}")
    print(f"README example: its {len(printed)} printed lines are as its comments say")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
