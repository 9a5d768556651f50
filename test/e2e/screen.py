"""Renders a slice of the serial console into a grid of rows with pyte."""

import pyte

COLUMNS = 100
ROWS = 31


def render(text, columns=COLUMNS, rows=ROWS):
    screen = pyte.Screen(columns, rows)
    stream = pyte.Stream(screen)
    stream.feed(text)
    return [line.rstrip() for line in screen.display]


def cell(rows, column, row):
    line = rows[row]
    return line[column] if column < len(line) else " "
