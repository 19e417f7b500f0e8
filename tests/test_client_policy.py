#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The clients' copies of common/client-policy.toml are what
# tools/gen-client-policy writes from it, and the busy schedule is the one
# it says.
import importlib.machinery
import importlib.util
import os
import sys
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
sys.dont_write_bytecode = True  # no cache beside the tools
loader = importlib.machinery.SourceFileLoader('gen', os.path.join(ROOT, 'tools', 'gen-client-policy'))
gen = importlib.util.module_from_spec(importlib.util.spec_from_loader('gen', loader))
loader.exec_module(gen)


class ClientPolicy(unittest.TestCase):
    def test_copies_are_as_written(self):
        differ = []
        for path, text in gen.copies(ROOT):
            with open(os.path.join(ROOT, path)) as f:
                if f.read() != text:
                    differ.append(path)
        self.assertEqual(differ, [], 'changed by hand, or the policy changed since: run tools/gen-client-policy')

    def test_busy_pauses(self):
        # Ten attempts are nine pauses; the doubling stops at the longest,
        # also when that is no double of the first.
        for first, longest, attempts, pauses in ((250, 4000, 10, [250, 500, 1000, 2000, 4000, 4000, 4000, 4000, 4000]),
                                                  (250, 600, 4, [250, 500, 600]), (100, 100, 1, [])):
            self.assertEqual(list(gen.busy_pauses(first, longest, attempts)), pauses)


if __name__ == '__main__':
    unittest.main()
