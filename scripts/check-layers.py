#!/usr/bin/env python3
"""Checks that the subsystems under src/ form layers without cycles.

The layers are the list CVIE_SUBSYSTEMS in the top CMakeLists.txt, bottom to
top. A file in src/<sub>/ may include headers of <sub> itself and of the
subsystems listed before it, never one listed after it, and never a header of
the program (app/). Each subsystem's CMakeLists.txt must name, among its
DEPS, exactly the subsystems its files include (so none above it).

The platform layer's headers (src/platform/*.h) declare their names in
namespace cvie::platform, except the COM and URL-moniker vocabulary, which is
in cvie itself (see PLATFORM_VOCABULARY).

Usage: check-layers.py [SOURCE_ROOT]. Prints one line per fault and exits 1
when there is any, 0 otherwise.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SUBSYSTEMS = re.compile(r'set\(CVIE_SUBSYSTEMS\s+([^)]*)\)')
DEPS = re.compile(r'cvie_add_subsystem\(\s*(\w+)(.*?)\)', re.S)
SOURCE_SUFFIXES = ('.h', '.cc', '.cpp', '.hpp')
NAMESPACE = re.compile(r'^namespace\s+([\w:]+)\s*\{')
# Headers of src/platform that declare the system's COM and URL-moniker
# interfaces and records, which every layer implements, in namespace cvie.
PLATFORM_VOCABULARY = re.compile(r'^(com|com_registry|urlmon\w*|page_bind_options)\.h$')


def read_layers(root):
    with open(os.path.join(root, 'CMakeLists.txt'), encoding='utf-8') as f:
        match = SUBSYSTEMS.search(f.read())
    if not match:
        raise ValueError('CMakeLists.txt sets no CVIE_SUBSYSTEMS list')
    return match.group(1).split()


def declared_deps(root, sub):
    path = os.path.join(root, 'src', sub, 'CMakeLists.txt')
    if not os.path.exists(path):
        return None
    with open(path, encoding='utf-8') as f:
        match = DEPS.search(f.read())
    if not match:
        return None
    return set(re.findall(r'\bcvie_(\w+)', match.group(2)))


def program_folders(root):
    app = os.path.join(root, 'app')
    if not os.path.isdir(app):
        return set()
    return {d for d in os.listdir(app) if os.path.isdir(os.path.join(app, d))}


def platform_namespace_faults(root):
    folder = os.path.join(root, 'src', 'platform')
    if not os.path.isdir(folder):
        return []
    faults = []
    for name in sorted(os.listdir(folder)):
        if not name.endswith('.h'):
            continue
        expected = 'cvie' if PLATFORM_VOCABULARY.match(name) else 'cvie::platform'
        with open(os.path.join(folder, name), encoding='utf-8', errors='replace') as f:
            opened = [m.group(1) for m in map(NAMESPACE.match, f) if m]
        if opened and opened[0] != expected:
            faults.append(f'src/platform/{name}: declares its names in namespace '
                          f'{opened[0]}, not {expected}')
    return faults


def find_faults(root):
    layers = read_layers(root)
    rank = {sub: i for i, sub in enumerate(layers)}
    program = program_folders(root) - set(layers)
    faults = []
    for sub in layers:
        folder = os.path.join(root, 'src', sub)
        if not os.path.isdir(folder):
            continue
        included = set()
        for dirpath, _, files in os.walk(folder):
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                shown = os.path.relpath(path, root)
                with open(path, encoding='utf-8', errors='replace') as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match or '/' not in match.group(1):
                            continue
                        target = match.group(1).split('/')[0]
                        if target in program:
                            faults.append(f'{shown}:{number}: includes {match.group(1)}, '
                                          f'a header of the program, from {sub}')
                        elif target in rank and target != sub:
                            included.add(target)
                            if rank[target] > rank[sub]:
                                faults.append(f'{shown}:{number}: includes {match.group(1)}, '
                                              f'but {target} sits above {sub}')
        deps = declared_deps(root, sub)
        if deps is None:
            continue
        # An upward include or dependency is reported once, as such, and not
        # again as a missing or unused dependency.
        below = {other for other in rank if rank[other] < rank[sub]}
        for dep in sorted(deps & set(rank)):
            if rank[dep] > rank[sub]:
                faults.append(f'src/{sub}/CMakeLists.txt: depends on cvie_{dep}, '
                              f'which sits above {sub}')
        for missing in sorted((included & below) - deps):
            faults.append(f'src/{sub}/CMakeLists.txt: includes {missing} headers '
                          f'but does not list cvie_{missing} among its DEPS')
        for unused in sorted((deps & below) - included):
            faults.append(f'src/{sub}/CMakeLists.txt: lists cvie_{unused} among its DEPS '
                          f'but includes none of its headers')
    return faults + platform_namespace_faults(root)


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    try:
        faults = find_faults(root)
    except (OSError, ValueError) as error:
        print(f'check-layers: {error}', file=sys.stderr)
        return 2
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
