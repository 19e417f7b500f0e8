# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
name: survey
short_description: The cameras of a site survey, read from a CSV or YAML file
description:
  - Makes one host per row of a site survey, with the address of the camera's page and the scene
    measured on site as host variables, ready for C(lanecam.camera.scene).
  - The survey is a CSV file (as a spreadsheet exports it, with commas, semicolons or tabs between
    cells) or a YAML file holding a list of rows, each a mapping of the same columns.
  - "The columns: C(name) (the inventory host name), C(url) (the camera's C(roadshotwizard.cgi),
    http or https), C(road_offset), C(car_distance), C(camera_height) (metres), C(car_speed), and
    the speed's unit, C(km/h), C(mph) or C(m/s): in the header (C(car_speed (km/h))) for every row,
    or in a column C(speed_unit) for each. A length column may say C((m)) in its header too."
  - Every row must give every column. A row with a missing value, a number it cannot read (a decimal
    comma, a unit after the number, a text), an unknown unit, an unknown column or a name that
    another row has fails the whole inventory, naming the row (as a spreadsheet numbers it, the
    header being row 1) and the column; no host is made, so nothing is sent to any camera.
  - Each camera gets the host variables C(camera_url), C(road_offset), C(car_distance),
    C(camera_height), and the speed as C(car_speed) (m/s), C(car_speed_kmh) or C(car_speed_mph),
    the variable that names the survey's unit, each a number as the survey gives it.
extends_documentation_fragment:
  - constructed
options:
  plugin:
    description: Marks the file as this plugin's configuration.
    required: true
    choices: [lanecam.camera.survey]
  survey:
    description:
      - The survey file, C(.csv), C(.yml) or C(.yaml); a relative path is taken from the directory
        of this configuration file.
    type: str
    required: true
  group:
    description: The group every camera of the survey joins.
    type: str
    default: cameras
author:
  - lanecamd developers (!UNKNOWN)
version_added: 1.1.0
'''

EXAMPLES = r'''
# site.yml, beside survey.csv:
#   ansible-inventory -i site.yml --graph
#   ansible-playbook -i site.yml commission.yml
plugin: lanecam.camera.survey
survey: survey.csv

# survey.csv:
#   name,url,road_offset,car_distance,camera_height,car_speed,speed_unit
#   a9-km12-north,https://10.20.12.11/local/lanecam/roadshotwizard.cgi,3.5,25,6,130,km/h
#   us-12-exit,https://10.20.40.3/local/lanecam/roadshotwizard.cgi,2,30,7,55,mph
'''

import csv
import os
import re

from ansible.errors import AnsibleParserError
from ansible.module_utils.common.text.converters import to_native
from ansible.plugins.inventory import BaseInventoryPlugin, Constructable
from ansible_collections.lanecam.camera.plugins.module_utils.scene_api import (
    FIELDS, SPEED_UNITS, WITH_UNIT, read_number)

LENGTHS = tuple(name for name, key, unit in FIELDS[:-1])
COLUMNS = ('name', 'url') + LENGTHS + ('car_speed', 'speed_unit')
# The host variable a speed goes to, by its unit.
SPEED_VARIABLES = dict((unit, option) for unit, per_ms, option in SPEED_UNITS)
HEADER = re.compile(r'\s*([^(]*?)\s*(?:\(\s*(.*?)\s*\)\s*)?$')


class SurveyError(Exception):
    """A survey that cannot be read, with the place and what is wrong."""


def header_units(columns):
    """The column names of a header and the unit each names:
    'car_speed (km/h)' is car_speed in km/h. Raises SurveyError for an
    unknown column or unit, a column twice or one missing."""
    names, units = [], {}
    for number, cell in enumerate(columns, 1):
        name, unit = HEADER.match(cell or '').groups()
        name = name.lower()
        if not name:
            raise SurveyError('column %d has no name' % number)
        if name not in COLUMNS:
            raise SurveyError('unknown column "%s"; the columns are %s' % (cell, ', '.join(COLUMNS)))
        if name in names:
            raise SurveyError('column %s is there twice' % name)
        if unit is not None:
            allowed = ('m',) if name in LENGTHS else tuple(SPEED_VARIABLES) if name == 'car_speed' else ()
            if unit.lower() not in allowed:
                raise SurveyError('column %s: unknown unit "%s" (%s)' % (
                    name, unit, 'it takes ' + ', '.join(allowed) if allowed else 'it takes none'))
            units[name] = unit.lower()
        names.append(name)
    needed = [c for c in COLUMNS if c not in names and not (c == 'speed_unit' and 'car_speed' in units)]
    if needed:
        raise SurveyError('no column %s' % ', '.join(needed))
    if 'car_speed' in units and 'speed_unit' in names:
        raise SurveyError("the speed's unit is both in the header of car_speed and in the column speed_unit")
    return names, units


def camera(row, units):
    """One camera's name and host variables from a row (column: value) and
    the units its header gives; raises SurveyError naming the column."""
    def value(column):
        v = row.get(column)
        if v is None or (isinstance(v, str) and not v.strip()):
            raise SurveyError('%s has no value; every camera needs every column' % column)
        return v.strip() if isinstance(v, str) else v

    def number(column, unit):
        try:
            return read_number(value(column))
        except ValueError as e:
            hint = ''
            if WITH_UNIT.match(str(row[column]).strip()):
                hint = ', with the unit in the header ("%s (%s)")' % (column, unit)
                if column == 'car_speed':
                    hint += ' or in the column speed_unit'
            raise SurveyError('%s %s%s' % (column, e, hint))

    name, url = str(value('name')), str(value('url'))
    if not re.match(r'https?://[^/\s]', url, re.I):
        raise SurveyError('url "%s" is not an http or https URL' % url)
    speed_unit = units.get('car_speed') or str(value('speed_unit')).lower()
    if speed_unit not in SPEED_VARIABLES:
        raise SurveyError('speed_unit "%s" is not a unit of speed; use %s'
                          % (speed_unit, ', '.join(SPEED_VARIABLES)))
    hostvars = dict((column, number(column, 'm')) for column in LENGTHS)
    hostvars[SPEED_VARIABLES[speed_unit]] = number('car_speed', speed_unit)
    hostvars['camera_url'] = url
    return name, hostvars


def csv_rows(text):
    """The rows of a CSV survey, each (where, column: value, units), blank
    ones left out; the header names the columns and may give units."""
    lines = text.splitlines()
    delimiter = max(',;\t', key=(lines[0] if lines else '').count)
    reader = csv.reader(lines, delimiter=delimiter)
    try:
        names, units = header_units(next(reader, []))
    except SurveyError as e:
        raise SurveyError('row 1: %s' % e)
    rows = []
    for cells in reader:
        where = 'row %d' % reader.line_num
        if not any(c.strip() for c in cells):
            continue
        if len(cells) > len(names):
            raise SurveyError('%s has %d cells, the header %d%s' % (
                where, len(cells), len(names), split_comma(names, cells)))
        rows.append((where, dict(zip(names, cells)), units))
    return rows


def split_comma(names, cells):
    """Where a decimal comma split a cell in two, said as the rest of a
    sentence, or ''."""
    for i, name in enumerate(names[:-1]):
        whole, fraction = cells[i].strip(), cells[i + 1].strip()
        if name in LENGTHS + ('car_speed',) and re.match(r'[+-]?\d+$', whole) and re.match(r'\d+$', fraction):
            return ': in column %s, "%s,%s" looks like a decimal comma; write %s.%s' % (
                name, whole, fraction, whole, fraction)
    return ''


def yaml_rows(data):
    """The rows of a YAML survey, each (where, column: value, units): a list
    of mappings, each with the columns of a CSV header as its keys."""
    if not isinstance(data, list) or not all(isinstance(r, dict) for r in data):
        raise SurveyError('a YAML survey is a list of rows, each a mapping of column to value')
    rows = []
    for index, row in enumerate(data, 1):
        where = 'row %d at line %s' % (index, getattr(row, 'ansible_pos', (None, '?'))[1])
        try:
            names, units = header_units([str(k) for k in row])
        except SurveyError as e:
            raise SurveyError('%s: %s' % (where, e))
        rows.append((where, dict(zip(names, row.values())), units))
    return rows


def survey_cameras(rows):
    """Every camera of the rows, (name, host variables), in survey order;
    raises SurveyError for the first row that fails, naming it."""
    cameras, seen = [], {}
    for where, row, units in rows:
        try:
            name, hostvars = camera(row, units)
        except SurveyError as e:
            named = str(row.get('name') or '').strip()
            raise SurveyError('%s%s: %s' % (where, ' (%s)' % named if named else '', e))
        if name in seen:
            raise SurveyError('%s: camera "%s" is on %s too' % (where, name, seen[name]))
        seen[name] = where
        cameras.append((name, hostvars))
    return cameras


class InventoryModule(BaseInventoryPlugin, Constructable):

    NAME = 'lanecam.camera.survey'

    def verify_file(self, path):
        return super(InventoryModule, self).verify_file(path) and path.endswith(('.yml', '.yaml'))

    def parse(self, inventory, loader, path, cache=True):
        super(InventoryModule, self).parse(inventory, loader, path, cache)
        self._read_config_data(path)
        survey = os.path.join(os.path.dirname(path), os.path.expanduser(self.get_option('survey')))
        try:
            cameras = self._read(survey, loader)
        except SurveyError as e:
            raise AnsibleParserError('The survey %s cannot be used: %s' % (survey, to_native(e)))
        group = self.inventory.add_group(self.get_option('group'))
        strict = self.get_option('strict')
        for name, hostvars in cameras:
            self.inventory.add_host(name, group=group)
            for key, value in hostvars.items():
                self.inventory.set_variable(name, key, value)
            self._set_composite_vars(self.get_option('compose'), hostvars, name, strict)
            self._add_host_to_composed_groups(self.get_option('groups'), hostvars, name, strict)
            self._add_host_to_keyed_groups(self.get_option('keyed_groups'), hostvars, name, strict)

    @staticmethod
    def _read(survey, loader):
        if survey.endswith(('.yml', '.yaml')):
            return survey_cameras(yaml_rows(loader.load_from_file(survey)))
        if not survey.endswith('.csv'):
            raise SurveyError('a survey is a .csv, .yml or .yaml file')
        try:
            with open(survey, encoding='utf-8-sig') as f:
                return survey_cameras(csv_rows(f.read()))
        except (OSError, UnicodeError) as e:
            raise SurveyError(to_native(e))
