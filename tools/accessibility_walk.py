#!/usr/bin/env python3
"""Drives the running station through the accessibility bus, as a screen reader or GUI test
would: prints the tree of the main window, opens Settings > "Configure actions..." by its
menu item, confirms the password prompt and lists the actions list editor's controls; with an
action in the store, opens the first one in Modify Action and fails on any control on show that has
no name (a text field inside an editable list included).

Run inside an AT-SPI session with the station started with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1;
tools/accessibility_walk.sh sets that up under Xvfb."""
import sys
import time

import pyatspi
from gi.repository import GLib


def find_app(name, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name and name.lower() in app.name.lower():
                return app
        time.sleep(0.3)
    sys.exit(f"no application named {name!r} on the accessibility bus")


def walk(node, depth=0, out=None):
    line = "  " * depth + f"[{node.getRoleName()}] {node.name!r}"
    print(line) if out is None else out.append(line)
    for child in node:
        if child is not None:
            walk(child, depth + 1, out)


def find(node, role, name):
    if node.getRoleName() == role and node.name == name:
        return node
    for child in node:
        if child is None:
            continue
        hit = find(child, role, name)
        if hit is not None:
            return hit
    return None


def wait_for(app, role, name, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        hit = find(app, role, name)
        if hit is not None:
            return hit
        time.sleep(0.3)
    sys.exit(f"no {role} named {name!r} appeared")


def click(node):
    action = node.queryAction()
    index = 0
    for i in range(action.nActions):
        if action.getName(i) in ("click", "press", "activate", "Press"):
            index = i
            break
    try:
        action.doAction(index)
    except GLib.GError:
        # The application runs the action synchronously; when it opens a modal dialog the
        # reply only comes after that dialog closes, so the call times out. The click happened.
        pass


app = find_app(sys.argv[1] if len(sys.argv) > 1 else "brisko")
print("== main window ==")
walk(app)
click(wait_for(app, "menu item", "Configure actions..."))
prompt_ok = None
end = time.time() + 10
while prompt_ok is None and time.time() < end:
    for title in ("No Password Set", "Enter Password"):
        dialog = find(app, "dialog", title)
        if dialog is not None:
            prompt_ok = find(dialog, "push button", "OK")
    time.sleep(0.3)
if prompt_ok is None:
    sys.exit("the password prompt did not appear")
click(prompt_ok)
editor = wait_for(app, "dialog", "Brisko Event File Workflow Settings")
print("== actions list editor ==")
walk(editor)
INTERACTIVE = {"push button", "check box", "radio button", "combo box", "text", "spin button", "password text"}


def unnamed(node, out):
    if node.getRoleName() in INTERACTIVE and node.getState().contains(pyatspi.STATE_SHOWING) and not node.name:
        out.append(f"{node.getRoleName()} in {node.parent.getRoleName()} {node.parent.name!r}")
    for child in node:
        if child is not None:
            unnamed(child, out)


if find(editor, "push button", "Edit") is not None and any(c.getRoleName() == "table cell" for c in find(editor, "tree", "Actions")):
    click(find(editor, "push button", "Edit"))
    modify = wait_for(app, "dialog", "Modify Action")
    print("== Modify Action ==")
    walk(modify)
    missing = []
    unnamed(modify, missing)
    click(find(modify, "push button", "Cancel"))
    if missing:
        sys.exit("controls without a name: " + "; ".join(missing))
click(find(editor, "push button", "Cancel"))
print("OK: opened and closed the actions list editor by name")
