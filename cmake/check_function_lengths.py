#!/usr/bin/env python3
"""Lists the functions of a source folder longer than a limit, from Universal Ctags' line spans.

Usage: check_function_lengths.py LIMIT SRC_DIR. Prints each function over LIMIT lines, longest
first, and exits 1 when there is any; exits 77 (skipped) where ctags is not installed.
"""
import pathlib
import shutil
import subprocess
import sys


def spans(folder):
    files = sorted(str(p) for p in pathlib.Path(folder).rglob('*') if p.suffix in ('.cpp', '.h'))
    if not files:
        return []
    out = subprocess.run(['ctags', '--languages=C++', '--c++-kinds=f', '--fields=+ne', '-o', '-', *files],
                         check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        parts = line.split('\t')
        fields = dict(p.split(':', 1) for p in parts[3:] if ':' in p)
        if 'line' in fields and 'end' in fields:
            start, end = int(fields['line']), int(fields['end'])
            found.append((end - start + 1, f'{parts[1]}:{start}', parts[0]))
    return found


def main():
    if not shutil.which('ctags'):
        print('ctags not installed: function lengths not checked')
        return 77
    limit = int(sys.argv[1])
    root = pathlib.Path(sys.argv[2]).resolve()
    over = sorted((s for s in spans(root) if s[0] > limit), reverse=True)
    for length, where, name in over:
        print(f'{pathlib.Path(where).relative_to(root.parent)}: {name} is {length} lines')
    print(f'{len(over)} function(s) over {limit} lines' if over else f'no function over {limit} lines')
    return 1 if over else 0


if __name__ == '__main__':
    sys.exit(main())
