"""The progress line of a long read: bytes done (of the total, when known) and the rate, redrawn on
standard error no more than ten times a second once the read has taken half a second, and only
when standard error is a terminal."""
from __future__ import annotations

import sys
import time
from typing import Optional, TextIO

FIRST_DRAW_AFTER = 0.5  # seconds: shorter reads show nothing
REDRAW_EVERY = 0.1
BAR_WIDTH = 40


class Progress:
    def __init__(self, total: Optional[int], stream: Optional[TextIO] = None) -> None:
        self._stream = sys.stderr if stream is None else stream
        self._enabled = self._stream is not None and self._stream.isatty()
        self._total = total
        self._started = time.monotonic()
        self._next_draw = self._started + FIRST_DRAW_AFTER
        self._drawn = False

    def update(self, done: int) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        if now >= self._next_draw:
            self._next_draw = now + REDRAW_EVERY
            self._draw(done, now)

    def close(self, done: int) -> None:
        """Draws the final state and ends the line, if anything was drawn."""
        if self._drawn:
            self._draw(done, time.monotonic())
            self._stream.write("\n")
            self._stream.flush()

    def _draw(self, done: int, now: float) -> None:
        rate = done / max(now - self._started, 1e-9) / 1e6
        if self._total:
            filled = min(BAR_WIDTH, BAR_WIDTH * done // self._total)
            shown = f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {done / 1e6:,.1f}/{self._total / 1e6:,.1f} MB"
        else:
            shown = f"{done / 1e6:,.1f} MB"
        self._stream.write(f"\r  {shown} {rate:,.0f} MB/s")
        self._stream.flush()
        self._drawn = True
