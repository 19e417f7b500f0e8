# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""The drift report: one table of the cameras whose stored scene differs
from their survey line, those that could not be read, and those that agree,
from what lanecam.camera.scene answered each in check mode."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import csv
import io

from ansible.errors import AnsibleFilterError
from ansible_collections.lanecam.camera.plugins.module_utils.scene_api import FIELDS, SPEED_UNITS

COLUMNS = ('camera', 'state', 'value', 'unit', 'stored', 'survey', 'reason')
STATES = ('differs', 'not read', 'agrees')


def _number(value):
    return '%.10g' % value


def camera_rows(name, hostvars):
    """The report's rows for one camera: one per value that differs, or one
    saying that it agrees or why it could not be read."""
    survey, scene = hostvars.get('lanecam_survey') or {}, hostvars.get('lanecam_scene') or {}
    for failed in (survey, scene):
        if failed.get('failed'):
            return [(name, 'not read', '', '', '', '', failed.get('msg') or 'no reason given')]
    if not scene:
        return [(name, 'not read', '', '', '', '', 'the camera was not asked')]
    before, after = scene.get('previous') or {}, scene.get('scene') or {}
    # Each value in the unit of the survey line: the speed in the one its
    # variable names.
    shown = dict((n, (unit, n)) for n, key, unit in FIELDS[:-1])
    shown['car_speed'] = ([(u, o) for u, f, o in SPEED_UNITS if o in hostvars] or [('m/s', 'car_speed')])[0]
    rows = [(name, 'differs', n, shown[n][0], _number(before[shown[n][1]]), _number(after[shown[n][1]]), '')
            for n, key, unit in FIELDS if scene.get('changed') and before[n] != after[n]]
    return rows or [(name, 'agrees', '', '', '', '', '')]


def drift_report(hosts, hostvars, form='md'):
    """The report of hosts (inventory names) as Markdown (md) or CSV (csv)."""
    if form not in ('md', 'csv'):
        raise AnsibleFilterError('drift_report writes md or csv, not %s' % form)
    rows = [r for h in hosts for r in camera_rows(h, hostvars[h])]
    rows.sort(key=lambda r: (STATES.index(r[1]), r[0]))
    if form == 'csv':
        out = io.StringIO()
        writer = csv.writer(out, lineterminator='\n')
        writer.writerow(COLUMNS)
        writer.writerows(rows)
        return out.getvalue()
    counts = tuple(len(set(r[0] for r in rows if r[1] == s)) for s in STATES)
    lines = ['# Drift report', '',
             '%d cameras: %d differing from the survey, %d not read, %d in agreement.'
             % ((len(set(r[0] for r in rows)),) + counts), '',
             '| %s |' % ' | '.join(COLUMNS), '|%s' % ('---|' * len(COLUMNS))]
    for row in rows:
        lines.append('| %s |' % ' | '.join(c.replace('|', '\\|').replace('\n', ' ') for c in row))
    return '\n'.join(lines) + '\n'


class FilterModule(object):

    def filters(self):
        return dict(drift_report=drift_report)
