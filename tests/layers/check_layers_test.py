#!/usr/bin/env python3
"""Tests of scripts/check-layers.py on small fixture trees."""

import importlib.util
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, '..', '..', 'scripts', 'check-layers.py')
spec = importlib.util.spec_from_file_location('check_layers', SCRIPT)
check_layers = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_layers)

# A sound tree of three layers: base < middle < top, and a program folder.
SOUND = {
    'CMakeLists.txt': 'set(CVIE_SUBSYSTEMS base middle top)\n',
    'src/base/CMakeLists.txt': 'cvie_add_subsystem(base DEPS Threads::Threads)\n',
    'src/base/b.h': '#pragma once\n#include <string>\n',
    'src/middle/CMakeLists.txt': 'cvie_add_subsystem(middle DEPS cvie_base)\n',
    'src/middle/m.cc': '#include "middle/m.h"\n#include "base/b.h"\n',
    'src/middle/m.h': '#pragma once\n',
    'src/top/CMakeLists.txt': 'cvie_add_subsystem(top DEPS cvie_middle\n  cvie_base)\n',
    'src/top/t.cc': '#include "base/b.h"\n#include "middle/m.h"\n',
    'src/platform/files.h': '#pragma once\nnamespace cvie::platform {\n}\n',
    'src/platform/urlmon.h': '#pragma once\nnamespace cvie {\n}\n',
    'app/road/r.h': '#pragma once\n',
    'app/main.cc': '#include "top/t.h"\n',
}

# Each case changes one file of the sound tree and names the fault expected.
CASES = [
    ('upward include', 'src/base/b.h', '#pragma once\n#include "top/t.h"\n',
     'src/base/b.h:2: includes top/t.h, but top sits above base'),
    ('program header', 'src/middle/m.h', '#pragma once\n#include "road/r.h"\n',
     'src/middle/m.h:2: includes road/r.h, a header of the program, from middle'),
    ('dependency above', 'src/middle/CMakeLists.txt',
     'cvie_add_subsystem(middle DEPS cvie_base cvie_top)\n',
     'src/middle/CMakeLists.txt: depends on cvie_top, which sits above middle'),
    ('dependency not listed', 'src/top/CMakeLists.txt',
     'cvie_add_subsystem(top DEPS cvie_middle)\n',
     'src/top/CMakeLists.txt: includes base headers but does not list cvie_base among its DEPS'),
    ('dependency not used', 'src/middle/m.cc', '#include "middle/m.h"\n',
     'src/middle/CMakeLists.txt: lists cvie_base among its DEPS but includes none of its headers'),
    ('platform service outside its namespace', 'src/platform/files.h',
     '#pragma once\nnamespace cvie {\n}\n',
     'src/platform/files.h: declares its names in namespace cvie, not cvie::platform'),
    ('interface vocabulary moved into the platform namespace', 'src/platform/urlmon.h',
     '#pragma once\nnamespace cvie::platform {\n}\n',
     'src/platform/urlmon.h: declares its names in namespace cvie::platform, not cvie'),
]


def write_tree(root, files):
    for name, text in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w', encoding='utf-8') as f:
            f.write(text)


class CheckLayersTest(unittest.TestCase):
    def test_sound_tree_has_no_fault(self):
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, SOUND)
            self.assertEqual(check_layers.find_faults(root), [])
            self.assertEqual(check_layers.main(['check-layers', root]), 0)

    def test_each_fault_is_named(self):
        for title, name, text, expected in CASES:
            with self.subTest(title), tempfile.TemporaryDirectory() as root:
                write_tree(root, dict(SOUND, **{name: text}))
                self.assertEqual(check_layers.find_faults(root), [expected])
                self.assertEqual(check_layers.main(['check-layers', root]), 1)

    def test_tree_without_layer_list_is_an_error(self):
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, dict(SOUND, **{'CMakeLists.txt': 'project(x)\n'}))
            self.assertEqual(check_layers.main(['check-layers', root]), 2)


if __name__ == '__main__':
    unittest.main()
