#!/usr/bin/env python3
"""Checks every #include under a source folder against the layer table (cmake/layers.txt).

Usage: check_includes.py LAYERS_TXT SRC_DIR. Prints one line per wrong include and exits 1
when there is any, so a call up or sideways the layers fails the build's tests.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def read_table(path):
    rows, only = {}, []
    for line in pathlib.Path(path).read_text().splitlines():
        line = line.split('#', 1)[0].strip()
        if not line:
            continue
        if line.startswith('only '):
            folders, prefixes = line[5:].split(':', 1)
            only.append((set(folders.split()), prefixes.split()))
        else:
            row = len(set(rows.values()))  # top row 0
            for folder in line.split():
                rows[folder] = row
    return rows, only


def folder_of(parts, rows):
    """The longest leading run of path parts that names a folder of the table (engine/runs before engine)."""
    for n in range(len(parts), 0, -1):
        name = '/'.join(parts[:n])
        if name in rows:
            return name
    return None


def check(rows, only, src):
    faults = []
    for file in sorted(src.rglob('*')):
        if file.suffix not in ('.h', '.cpp') or not file.is_file():
            continue
        parts = file.relative_to(src).parts[:-1]
        folder = folder_of(parts, rows)
        where = file.relative_to(src.parent)
        if folder is None:
            faults.append(f'{where}: folder {"/".join(parts)} is not in the layer table')
            continue
        for number, line in enumerate(file.read_text(errors='replace').splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            quote, name = m.groups()
            target = folder_of(name.split('/')[:-1], rows)
            if quote == '"' and target in rows and target != folder and rows[target] <= rows[folder]:
                way = 'up' if rows[target] < rows[folder] else 'sideways'
                faults.append(f'{where}:{number}: includes "{name}", {way} from {folder} to {target}')
            if quote == '<':
                for owners, prefixes in only:
                    if folder not in owners and any(name.startswith(p) for p in prefixes):
                        faults.append(f'{where}:{number}: includes <{name}>, which only '
                                      f'{" and ".join(sorted(owners))} may')
    return faults


def main():
    rows, only = read_table(sys.argv[1])
    faults = check(rows, only, pathlib.Path(sys.argv[2]).resolve())
    for fault in faults:
        print(fault)
    print(f'{len(faults)} wrong include(s)' if faults else 'every include follows the layer table')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
