# SPDX-License-Identifier: MIT
"""Where the window's controls are, in pixels of the client area at 96 DPI, and the window's title,
read from the design both programs are built from (window/formdesign.json): a moved control or a new
caption needs no second edit here."""

import json

from . import REPO

FORM_DESIGN = REPO / "window" / "formdesign.json"
DPI = 96

# A point on the first line of a message box's text, right of its icon (the boxes are not in the table).
MESSAGE_LABEL = (120, 20)

RECT = ("left", "top", "width", "height")


def read_design(path=FORM_DESIGN):
    """The design as written, in twips. One the build would refuse raises here, when the harness is
    imported, not at a click on the wrong place."""
    try:
        design = json.loads(path.read_text(encoding="utf-8"))
        twips = [design["twipsPerInch"], design["clientWidth"], design["clientHeight"]]
        twips += [row[key] for row in design["controls"] for key in RECT]
        texts = [design["formCaption"]] + [row[key] for row in design["controls"] for key in ("name", "kind")]
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise RuntimeError(f"{path}: not a form design this harness can read: {error!r}") from error
    if not design["controls"] or not all(isinstance(text, str) for text in texts):
        raise RuntimeError(f"{path}: no controls, or a title, name or kind that is not text")
    wrong = [value for value in twips if type(value) is not int or value < 0]
    if wrong or twips[0] == 0:
        raise RuntimeError(f"{path}: twips that are not whole numbers, or none to the inch: "
                           f"{wrong or 'twipsPerInch 0'}")
    return design


def to_pixels(twips, dpi=DPI):
    # The programs' own rounding (FormDesign::toPixels): down, in integers.
    return twips * dpi // DESIGN["twipsPerInch"]


def centre(name, controls):
    """The point a user clicks on a control: the middle of its rectangle."""
    left, top, width, height = controls[name][1]
    return left + width // 2, top + height // 2


DESIGN = read_design()
# Controls by name as (kind, (left, top, width, height)) in pixels at 96 DPI.
CONTROLS = {row["name"]: (row["kind"], tuple(to_pixels(row[key]) for key in RECT))
            for row in DESIGN["controls"]}
MAIN_WINDOW_SIZE = (to_pixels(DESIGN["clientWidth"]), to_pixels(DESIGN["clientHeight"]))
WINDOW_TITLE = DESIGN["formCaption"]
TEXT1_CENTRE = centre("Text1", CONTROLS)        # the input box
TEXT2_CENTRE = centre("Text2", CONTROLS)        # the monitor
COMMAND1_CENTRE = centre("Command1", CONTROLS)  # the convert button
COMMAND2_CENTRE = centre("Command2", CONTROLS)  # Exit
