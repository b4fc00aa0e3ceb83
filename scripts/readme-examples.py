#!/usr/bin/env python3
"""Runs every ```python block of a README and checks what it prints: each printed line must begin
the comment of the print call that made it (`print(len(b))  # 13` must print 13).

Usage: readme-examples.py README.md
"""
import contextlib
import io
import re
import sys

BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
PRINT_COMMENT = re.compile(r"^\s*print\(.*#\s*(.*)$")


def check_block(number, code):
    expected = [match.group(1) for line in code.splitlines() if (match := PRINT_COMMENT.match(line))]
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        exec(compile(code, f"README example {number}", "exec"), {"__name__": f"readme_example_{number}"})
    printed = output.getvalue().splitlines()
    if len(printed) != len(expected) or not all(want.startswith(got) for got, want in zip(printed, expected)):
        raise SystemExit(f"README example {number} printed {printed}, its comments say {expected}")
    print(f"README example {number}: {len(printed)} printed lines as commented")


def main(readme):
    blocks = BLOCK.findall(open(readme, encoding="utf-8").read())
    if not blocks:
        raise SystemExit(f"no python example in {readme}")
    for number, code in enumerate(blocks, 1):
        check_block(number, code)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
