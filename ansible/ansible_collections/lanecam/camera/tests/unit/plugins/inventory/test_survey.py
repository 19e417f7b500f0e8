# SPDX-License-Identifier: MIT
"""The survey inventory plugin, through Ansible's own plugin loader, on
survey files: each row a survey a spreadsheet or a hand could write, and the
hosts it makes or the place and reason it fails with, no host made."""

import os
import sys
import tempfile
import unittest

# Run from a checkout: the directory that holds ansible_collections.
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), *['..'] * 7))

from ansible.errors import AnsibleParserError  # noqa: E402
from ansible.inventory.data import InventoryData  # noqa: E402
from ansible.parsing.dataloader import DataLoader  # noqa: E402
from ansible.plugins.loader import inventory_loader  # noqa: E402
from ansible.utils.collection_loader._collection_finder import _AnsibleCollectionFinder  # noqa: E402

HEADER = 'name,url,road_offset,car_distance,camera_height,car_speed,speed_unit\n'
URL = 'https://10.20.12.11/local/lanecam/roadshotwizard.cgi'
A = dict(camera_url=URL, road_offset=3.5, car_distance=25.0, camera_height=6.0)

# Name, survey file name, its text, the hosts (name: host variables) or a
# text of the failure.
ROWS = (
    ('each unit in its column, a blank row at the end', 'survey.csv',
     HEADER + 'cam-a,%s,3.5,25,6,130,km/h\ncam-b,%s,-4,40,8,55,MPH\ncam-c,%s,0,12,4.5,22.2,m/s\n,,,,,,\n'
     % (URL, URL, URL),
     {'cam-a': dict(A, car_speed_kmh=130.0), 'cam-b': dict(A, road_offset=-4.0, car_distance=40.0,
                                                           camera_height=8.0, car_speed_mph=55.0),
      'cam-c': dict(A, road_offset=0.0, car_distance=12.0, camera_height=4.5, car_speed=22.2)}),
    ('semicolons, units in the header, a byte order mark', 'survey.csv',
     '\ufeffname;url;road_offset (m);car_distance;camera_height;Car_Speed (km/h)\ncam-a;%s;3.5;25;6;1.3e2\n' % URL,
     {'cam-a': dict(A, car_speed_kmh=130.0)}),
    ('a YAML survey, a unit in a key', 'survey.yml',
     '- {name: cam-a, url: "%s", road_offset: 3.5, car_distance: 25, camera_height: 6, car_speed (mph): 50}\n' % URL,
     {'cam-a': dict(A, car_speed_mph=50.0)}),
    ('a typo in a column', 'survey.csv', HEADER.replace('car_speed,', 'car_sped,'),
     'row 1: unknown column "car_sped"'),
    ('a missing value', 'survey.csv', HEADER + 'cam-a,%s,3.5,25,6,130,km/h\ncam-b,%s,3.5,25,,130,km/h\n' % (URL, URL),
     'row 3 (cam-b): camera_height has no value'),
    ('a decimal comma in its cell', 'survey.csv', HEADER.replace(',', ';') + 'cam-a;%s;3,5;25;6;130;km/h\n' % URL,
     'row 2 (cam-a): road_offset is "3,5", with a decimal comma: write 3.5'),
    ('a decimal comma that split a cell', 'survey.csv', HEADER + 'cam-a,%s,3,5,25,6,130,km/h\n' % URL,
     'row 2 has 8 cells, the header 7: in column road_offset, "3,5" looks like a decimal comma'),
    ('a unit after the number', 'survey.csv', HEADER + 'cam-a,%s,3.5,25,6,90 km/h,km/h\n' % URL,
     'row 2 (cam-a): car_speed is "90 km/h", a number followed by a unit: give the number alone, '
     'with the unit in the header ("car_speed (km/h)") or in the column speed_unit'),
    ('a unit after a number in YAML', 'survey.yml',
     '- name: cam-a\n  url: "%s"\n  road_offset: 3.5 m\n  car_distance: 25\n  camera_height: 6\n'
     '  car_speed: 90\n  speed_unit: km/h\n' % URL,
     'row 1 at line 1 (cam-a): road_offset is "3.5 m", a number followed by a unit'),
    ('an unknown unit', 'survey.csv', HEADER + 'cam-a,%s,3.5,25,6,90,kph\n' % URL,
     'row 2 (cam-a): speed_unit "kph" is not a unit of speed; use m/s, km/h, mph'),
    ('an unknown unit in the header', 'survey.csv', HEADER.replace('car_speed,speed_unit', 'car_speed (knots)'),
     'row 1: column car_speed: unknown unit "knots"'),
    ('a name twice', 'survey.csv', HEADER + 'cam-a,%s,3.5,25,6,90,km/h\ncam-a,%s,3,20,5,80,km/h\n' % (URL, URL),
     'row 3: camera "cam-a" is on row 2 too'),
    ('a YAML row without a value', 'survey.yml',
     '- {name: cam-a, url: "%s", road_offset: 3.5, car_distance: 25, car_speed: 90, speed_unit: km/h}\n' % URL,
     'row 1 at line 1: no column camera_height'),
)


class Survey(unittest.TestCase):
    def test_rows(self):
        _AnsibleCollectionFinder(paths=[ROOT])._install()
        for name, file_name, text, hosts in ROWS:
            with self.subTest(name), tempfile.TemporaryDirectory() as site:
                with open(os.path.join(site, file_name), 'w', encoding='utf-8') as f:
                    f.write(text)
                config = os.path.join(site, 'site.yml')
                with open(config, 'w') as f:
                    f.write('plugin: lanecam.camera.survey\nsurvey: %s\n' % file_name)
                inventory, plugin = InventoryData(), inventory_loader.get('lanecam.camera.survey')
                self.assertTrue(plugin.verify_file(config))
                if isinstance(hosts, str):
                    with self.assertRaises(AnsibleParserError) as failed:
                        plugin.parse(inventory, DataLoader(), config)
                    self.assertIn(hosts, str(failed.exception))
                    self.assertEqual(list(inventory.hosts), [])
                    continue
                plugin.parse(inventory, DataLoader(), config)
                self.assertEqual(sorted(h.name for h in inventory.groups['cameras'].hosts), sorted(hosts))
                got = dict((h, dict((k, v) for k, v in inventory.hosts[h].vars.items()
                                    if not k.startswith('inventory_'))) for h in hosts)
                self.assertEqual(got, hosts)


if __name__ == '__main__':
    unittest.main()
