#!/usr/bin/python3
"""A screen reader's way to a button: over AT-SPI, find the application by name, find the
push button by its accessible name and press it with its own action.

Usage: atspi_press.py APPLICATION BUTTON [TIMEOUT_SECONDS]
Exits 0 once pressed; 1 with the names it saw when the button was not found in time."""
import sys
import time

import pyatspi


def buttons(node, depth=0):
    """Every shown push button under node (the tree of one small window)."""
    if node is None or depth > 40:
        return
    try:
        role, count = node.getRole(), node.childCount
    except Exception:  # the tree changed while walking it
        return
    if role == pyatspi.ROLE_PUSH_BUTTON:
        yield node
    for i in range(count):
        try:
            child = node.getChildAtIndex(i)
        except Exception:
            continue
        yield from buttons(child, depth + 1)


def main():
    application, wanted = sys.argv[1], sys.argv[2]
    deadline = time.monotonic() + (float(sys.argv[3]) if len(sys.argv) > 3 else 60)
    seen = []
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        seen = []
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is None or app.name != application:
                continue
            for button in buttons(app):
                seen.append(button.name)
                if button.name != wanted:
                    continue
                action = button.queryAction()
                names = [action.getName(k) for k in range(action.nActions)]
                press = [k for k, n in enumerate(names) if n.lower() == "press"]
                if not press:
                    print(f"{wanted}: no press action among {names}", file=sys.stderr)
                    return 1
                action.doAction(press[0])
                return 0
        time.sleep(0.2)
    apps = [desktop.getChildAtIndex(i).name for i in range(desktop.childCount)]
    print(f"no button {wanted!r} in {application!r}; applications {apps}, buttons {seen}",
          file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
