# SPDX-License-Identifier: MIT
"""Where the window's controls are, in pixels of the client area at 96 DPI, read from the one control
table both programs build their window from (window/formdesign.h), and the window's title from the
same file: a moved control or a new caption needs no second edit here."""

import re

from . import REPO

FORM_DESIGN = REPO / "window" / "formdesign.h"
DPI = 96
TWIPS_PER_INCH = 1440

# A point on the first line of a message box's text, right of its icon (the boxes are not in the table).
MESSAGE_LABEL = (120, 20)

_CONTROL = re.compile(r'\{\s*"(\w+)"\s*,\s*ControlKind::(\w+)\s*,\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)')


def to_pixels(twips, dpi=DPI):
    # The programs' own rounding (FormDesign::toPixels): down, in integers.
    return twips * dpi // TWIPS_PER_INCH


def _constant(source, name):
    match = re.search(rf"\b{name}\s*=\s*(\d+)\s*;", source)
    if not match:
        raise RuntimeError(f"{FORM_DESIGN} no longer defines {name}")
    return int(match.group(1))


def read_design(path=FORM_DESIGN):
    """(controls, client size, title): controls by name as (kind, (left, top, width, height)) in pixels."""
    source = path.read_text(encoding="utf-8")
    table = re.search(r"kControls\[\]\s*=\s*\{(.*?)\n\};", source, re.S)
    if not table:
        raise RuntimeError(f"no kControls table in {path}")
    controls = {name: (kind, tuple(to_pixels(int(v)) for v in values))
                for name, kind, *values in _CONTROL.findall(table.group(1))}
    if not controls:
        raise RuntimeError(f"the kControls table in {path} has no rows this harness can read")
    size = (to_pixels(_constant(source, "kClientWidth")), to_pixels(_constant(source, "kClientHeight")))
    caption = re.search(r'kFormCaption\[\]\s*=\s*((?:\s*u"[^"]*")+)\s*;', source)
    if not caption:
        raise RuntimeError(f"no kFormCaption in {path}")
    title = "".join(re.findall(r'u"([^"]*)"', caption.group(1)))
    return controls, size, title


def centre(name, controls):
    """The point a user clicks on a control: the middle of its rectangle."""
    left, top, width, height = controls[name][1]
    return left + width // 2, top + height // 2


CONTROLS, MAIN_WINDOW_SIZE, WINDOW_TITLE = read_design()
TEXT1_CENTRE = centre("Text1", CONTROLS)        # the input box
TEXT2_CENTRE = centre("Text2", CONTROLS)        # the monitor
COMMAND1_CENTRE = centre("Command1", CONTROLS)  # the convert button
COMMAND2_CENTRE = centre("Command2", CONTROLS)  # Exit
