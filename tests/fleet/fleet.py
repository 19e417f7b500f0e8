#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The fleet gate: the lanecam.camera collection's playbooks against real
stacks, one "ok - WHAT" or "not ok - WHAT" line per check.

A stack is tools/stack's: a private dbus-daemon with the fake camera on
it, lanecamd on its own transfer socket and its own copy of the sample
configuration, and lanecam-httpd on a port of its own, all in a temporary
directory. The programs come from LANECAMD_BUILD_DIR (build/ at the top of
the tree).
Twenty stacks are a site's survey, read through the collection's inventory
plugin; two more are a camera that refuses the exposure setting and one
whose camera is slow.
"""

import configparser
import csv
import glob
import importlib.machinery
import importlib.util
import io
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import urllib.request

import yaml

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
BUILD = os.path.abspath(os.environ.get('LANECAMD_BUILD_DIR', os.path.join(SOURCE, 'build')))
COLLECTIONS = os.path.join(SOURCE, 'ansible')
COLLECTION = os.path.join(COLLECTIONS, 'ansible_collections', 'lanecam', 'camera')
EXAMPLES = os.path.join(COLLECTIONS, 'examples')
COMMISSION, DRIFT = (os.path.join(EXAMPLES, p) for p in ('commission.yml', 'drift.yml'))
KEYS = (('road_offset', 'roadOffset'), ('car_distance', 'carDistance'),
        ('camera_height', 'cameraHeight'), ('car_speed', 'carSpeed'))
# Each speed's host variable and unit, and the metres per second in one of
# it, stated here apart from the collection's own table.
SPEEDS = (('car_speed_kmh', 'km/h', 1 / 3.6), ('car_speed_mph', 'mph', 0.44704), ('car_speed', 'm/s', 1.0))
NOT_TAKEN = ('The scene was stored, but the camera did not take all settings. Run the task again with force: true '
             'to send them again.')


def survey(count):
    """A site of count cameras, each (name, scene, no fake-camera
    arguments): every unit in turn, every scene apart from the sample
    configuration's and inside its intervals."""
    return [('cam-%02d' % i, {'road_offset': -9.5 + i % 20, 'car_distance': 15 + i % 90, 'camera_height': 4.5 + i % 5,
                              SPEEDS[i % 3][0]: (50 + 5 * (i % 20), 30 + 2 * (i % 20), 12.5 + i % 20 / 2)[i % 3]}, ())
            for i in range(1, count + 1)]


SURVEY = survey(20)


def load_launcher():
    loader = importlib.machinery.SourceFileLoader('lanecamd_stack', os.path.join(SOURCE, 'tools', 'stack'))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


launcher = load_launcher()
read = launcher.read


class Stack(launcher.Stack):
    """One camera's stack, url its page's endpoint."""

    def __init__(self, name, scene, camera_args=()):
        self.name, self.scene = name, scene
        super().__init__(web=True, port=0, camera_args=camera_args, build=BUILD, prefix='lanecamd-fleet-')
        self.url += 'roadshotwizard.cgi'

    def stored_scene(self):
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = str
        parser.read(self.config)
        return dict((name, float(parser['ui_state'][key])) for name, key in KEYS)

    def wanted_scene(self):
        scene = dict((name, float(self.scene.get(name, 0))) for name, key in KEYS[:-1])
        scene['car_speed'] = [self.scene[v] * ms for v, unit, ms in SPEEDS if v in self.scene][0]
        return scene

    def commissioned(self):
        stored, wanted = self.stored_scene(), self.wanted_scene()
        return all(math.isclose(stored[k], wanted[k], rel_tol=1e-12) for k in wanted)

    def footprint(self):
        """What a run that changes nothing leaves as it was: the
        configuration file (its inode too, since a store replaces it), the
        camera's calls and the applies the daemon saw."""
        return (read(self.config), os.stat(self.config).st_ino, read(self.record),
                self.log('daemon').count('apply:1'))


def start_stacks(survey):
    stacks = []
    try:
        for row in survey:
            stacks.append(Stack(*row))
    except BaseException:
        stop_stacks(stacks)
        raise
    return stacks


def stop_stacks(stacks):
    for s in stacks:
        s.close()


class Run:
    """An ansible run's status, output, per-host recap and failures."""

    def __init__(self, status, output, seconds):
        self.status, self.output, self.seconds = status, output, seconds
        self.recap = dict((m.group(1), dict((k, int(v)) for k, v in re.findall(r'(\w+)=(\d+)', m.group(2))))
                          for m in re.finditer(r'^(\S+)\s+: (ok=.*)$', output, re.M))
        self.failures = dict((m.group(1), json.loads(m.group(2)))
                             for m in re.finditer(r'^fatal: \[(\S+)\]: FAILED! => (\{.*\})$', output, re.M))

    def host(self, name, changed, failed):
        r = self.recap.get(name, {})
        return r.get('changed') == changed and r.get('failed') == failed

    def hosts(self, stacks, changed, failed):
        return all(self.host(s.name, changed, failed) for s in stacks)


def survey_csv(stacks, urls=None):
    """The survey of stacks as a spreadsheet writes it, the unit of each
    speed in its own column; urls (name: URL) in place of a stack's own."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator='\n')
    writer.writerow(['name', 'url'] + [k for k, key in KEYS] + ['speed_unit'])
    for s in stacks:
        speed, unit = [(s.scene[v], unit) for v, unit, ms in SPEEDS if v in s.scene][0]
        writer.writerow([s.name, (urls or {}).get(s.name, s.url)] + [s.scene[k] for k, key in KEYS[:-1]]
                        + [speed, unit])
    return out.getvalue()


class Ansible:
    """ansible-playbook and its kin with the collection from the tree, the
    survey of the stacks through the collection's inventory plugin, and a
    scratch directory with nothing of the machine's or the user's
    configuration."""

    def __init__(self, stacks, urls=None):
        self.dir = tempfile.mkdtemp(prefix='lanecamd-ansible-')
        self.survey = self.write('survey.csv', survey_csv(stacks, urls))
        self.inventory = self.write('site.yml', 'plugin: lanecam.camera.survey\nsurvey: survey.csv\n')
        config = self.write('ansible.cfg', '')
        scratch = dict((v, os.path.join(self.dir, v)) for v in ('ANSIBLE_HOME', 'ANSIBLE_LOCAL_TEMP',
                                                                'ANSIBLE_REMOTE_TEMP'))
        self.env = dict(os.environ, ANSIBLE_CONFIG=config, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS,
                        ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_FORKS='8', **scratch)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, 'w') as f:
            f.write(text)
        return path

    def run(self, *argv, cwd=None, **env):
        started = time.monotonic()
        r = subprocess.run(argv, cwd=cwd or self.dir, env=dict(self.env, **env), stdin=subprocess.DEVNULL, text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        return Run(r.returncode, r.stdout, time.monotonic() - started)

    def playbook(self, playbook, *args, inventory=None):
        return self.run('ansible-playbook', '-i', inventory or self.inventory, playbook, *args)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


failed = 0


def check(what, ok, detail=''):
    global failed
    print(('ok - ' if ok else 'not ok - ') + what)
    if not ok:
        failed += 1
        print('  ' + detail.rstrip().replace('\n', '\n  '))
    sys.stdout.flush()


def tooling(ansible):
    for kind, plugin in (('module', 'scene'), ('module', 'scene_info'), ('inventory', 'survey'),
                         ('filter', 'drift_report')):
        r = ansible.run('ansible-doc', '-t', kind, 'lanecam.camera.' + plugin)
        check('ansible-doc renders lanecam.camera.%s (%s)' % (plugin, kind),
              r.status == 0 and all(s in r.output for s in ('EXAMPLES', 'RETURN' if kind != 'inventory' else '')),
              r.output)
    r = ansible.run('ansible-galaxy', 'collection', 'build', COLLECTION, '--output-path', ansible.dir)
    tarball = os.path.join(ansible.dir, 'lanecam-camera-1.1.0.tar.gz')
    names = tarfile.open(tarball).getnames() if r.status == 0 and os.path.exists(tarball) else []
    wanted = ['examples/' + f for f in os.listdir(EXAMPLES) if f.endswith(('.yml', '.csv'))] + [
        'changelogs/config.yaml', 'changelogs/fragments/survey.yml', 'tests/sanity/ignore-2.14.txt',
        'tests/unit/plugins/inventory/test_survey.py', 'meta/runtime.yml']
    check('ansible-galaxy builds the collection with its examples, changelog and tests',
          len(wanted) > 10 and all(w in names for w in wanted), r.output + '\n'.join(names))
    sanity(ansible)
    r = ansible.run('ansible-inventory', '-i', os.path.join(EXAMPLES, 'site.yml'), '--list')
    csv_hosts = json.loads(r.output)['_meta']['hostvars'] if r.status == 0 else r.output
    r = ansible.run('ansible-inventory', '-i', os.path.join(EXAMPLES, 'site-yaml.yml'), '--list')
    check('the example surveys, CSV and YAML, give the same six cameras',
          r.status == 0 and len(csv_hosts) == 6 and json.loads(r.output)['_meta']['hostvars'] == csv_hosts,
          r.output + str(csv_hosts))
    r = ansible.playbook(COMMISSION, '--list-hosts', inventory=os.path.join(EXAMPLES, 'inventory.yml'))
    check('the example playbook takes the hand-written inventory', r.status == 0 and 'hosts (5)' in r.output,
          r.output)


def sanity(ansible):
    """Every sanity test of ansible-test, with the checkers of Debian's
    packages in place of the environments it would install from the package
    index, on the Python it runs on; but the changelog test, whose linter
    Debian does not package: the fragments are read here instead."""
    copy = os.path.join(ansible.dir, 'sanity', 'ansible_collections', 'lanecam', 'camera')
    shutil.copytree(COLLECTION, copy, ignore=shutil.ignore_patterns('__pycache__'))
    version = subprocess.run([ansible_python(), '-c', 'import sys; print("%d.%d" % sys.version_info[:2])'],
                             stdout=subprocess.PIPE, text=True).stdout.strip()
    r = ansible.run(os.path.join(os.path.dirname(__file__), 'ansible-test-sanity'), 'sanity', '--python', version,
                    '--skip-test', 'changelog', cwd=copy, HOME=ansible.dir)
    check('ansible-test sanity: every test but changelog, 31 of 32, on Debian\'s checkers',
          r.status == 0 and len(re.findall(r'^Running sanity test', r.output, re.M)) == 31, r.output[-3000:])
    with open(os.path.join(COLLECTION, 'changelogs', 'config.yaml')) as f:
        config = yaml.safe_load(f)
    sections = set(name for name, title in config['sections']) | {config['trivial_section_name']}
    problems = []
    for path in glob.glob(os.path.join(COLLECTION, 'changelogs', 'fragments', '*')):
        with open(path) as f:
            fragment = yaml.safe_load(f)
        if not path.endswith('.yml') or not isinstance(fragment, dict) or not fragment:
            problems.append(path)
            continue
        problems += ['%s: %s' % (path, k) for k, v in fragment.items() if not (
            k == config['prelude_section_name'] and isinstance(v, str) or k in sections and isinstance(v, list)
            and v and all(isinstance(e, str) for e in v))]
    check('the changelog fragments hold only the sections of changelogs/config.yaml, each a list of texts',
          problems == [], '\n'.join(problems))


def ansible_python():
    return read(shutil.which('ansible-test')).split('\n')[0][2:].strip()


def unit_tests(ansible):
    """The collection's own unit tests, by the standard library's runner:
    ansible-test units would install pytest from the package index."""
    for tests in sorted(glob.glob(os.path.join(COLLECTION, 'tests', 'unit', 'plugins', '*', ''))):
        r = ansible.run(ansible_python(), '-B', '-m', 'unittest', 'discover', '-v', '-s', tests)
        check('the unit tests in %s (python3 -m unittest)' % os.path.relpath(tests, COLLECTION),
              r.status == 0 and '\nOK' in r.output, r.output[-3000:])


# A survey line spoilt as a hand or a spreadsheet would spoil it: the line
# (row 1 is the header), the column, what it becomes, and what the failure
# must say.
SPOILT = (
    ('a typo in a column', 1, 'car_speed', 'car_sped', 'row 1: unknown column "car_sped"'),
    ('a missing value', 5, 'camera_height', '', 'row 5 (cam-04): camera_height has no value'),
    ('a decimal comma', 7, 'road_offset', '-3,5', 'row 7 has 8 cells, the header 7: in column road_offset, "-3,5"'),
    ('a unit after the number', 9, 'car_speed', '90 km/h', 'row 9 (cam-08): car_speed is "90 km/h", a number'),
)


def spoilt_surveys(ansible, stacks):
    columns = ['name', 'url'] + [k for k, key in KEYS]
    lines = read(ansible.survey).split('\n')
    before = [s.footprint() for s in stacks]
    for what, line, column, value, said in SPOILT:
        cells = lines[line - 1].split(',')
        cells[columns.index(column)] = value
        spoilt = lines[:line - 1] + [','.join(cells)] + lines[line:]
        ansible.write('spoilt.csv', '\n'.join(spoilt))
        inventory = ansible.write('spoilt.yml', 'plugin: lanecam.camera.survey\nsurvey: spoilt.csv\n')
        r = ansible.playbook(COMMISSION, inventory=inventory)
        check('a survey with %s fails before anything is sent, naming the row' % what,
              r.status != 0 and said in r.output.replace('\n', ' ') and list(r.recap) == ['localhost']
              and [s.footprint() for s in stacks] == before, r.output)


def commission(ansible, stacks, refusing):
    first = stacks[0]
    before = [s.footprint() for s in stacks]
    r = ansible.playbook(COMMISSION, '--check', '--diff')
    check('check mode reports each change, shows it, changes no file and calls no camera',
          r.status == 0 and r.hosts(stacks, 1, 0) and r.output.count('+++ after: ') == len(stacks)
          and [s.footprint() for s in stacks] == before, r.output)

    r = ansible.playbook(COMMISSION)
    check('a run commissions the 20 cameras of the survey, in km/h, mph and m/s',
          r.status == 0 and len(stacks) == 20 and r.hosts(stacks, 1, 0)
          and set(v for s in stacks for v, unit, ms in SPEEDS if v in s.scene) == set(v for v, u, m in SPEEDS)
          and all(s.commissioned() and 'Set MaxExposureTime' in read(s.record) for s in stacks), r.output)

    before = [s.footprint() for s in stacks]
    r = ansible.playbook(COMMISSION)
    check('a second run reports nothing changed and calls no camera',
          r.status == 0 and r.hosts(stacks, 0, 0) and [s.footprint() for s in stacks] == before, r.output)

    spoilt_surveys(ansible, stacks)

    # Written by hand: a camera that refuses the settings, and a line whose
    # speed has a typo in its name, for the first camera.
    inventory = ansible.write('by-hand.yml', json.dumps(dict(cameras=dict(hosts={
        refusing.name: dict(refusing.scene, camera_url=refusing.url),
        'cam-typo': dict(road_offset=1, car_distance=10, camera_height=3, car_sped_kmh=50, camera_url=first.url)}))))
    before = first.footprint()
    r = ansible.playbook(COMMISSION, inventory=inventory)
    check('a camera that refuses fails only its own host, saying the scene was stored',
          r.status != 0 and r.failures.get(refusing.name, {}).get('msg') == NOT_TAKEN
          and r.failures[refusing.name].get('stored') and refusing.commissioned(), r.output)
    check('a line by hand without a speed fails before anything is sent, saying what it lacks',
          'The survey line of cam-typo gives no speed (car_speed in m/s, car_speed_kmh or car_speed_mph); '
          'nothing was sent to the camera.' == r.failures.get('cam-typo', {}).get('msg')
          and first.footprint() == before, r.output)

    before = first.footprint(), first.log('daemon').count('->set')
    r = ansible.playbook(COMMISSION, '--limit', first.name, '-e', 'camera_height=25')
    check('an out-of-range value fails before anything is sent',
          r.status != 0 and r.failures.get(first.name, {}).get('msg')
          == 'camera_height 25.0 is outside its interval [0, 20] m'
          and (first.footprint(), first.log('daemon').count('->set')) == before, r.output)

    before = read(first.record)
    r = ansible.playbook(COMMISSION, '--limit', first.name, '-e', 'force_apply=true')
    check('force sends an unchanged scene to the camera again',
          r.status == 0 and r.host(first.name, 1, 0) and len(read(first.record)) > len(before), r.output)

    before = [s.footprint() for s in stacks]
    r = ansible.playbook(os.path.join(os.path.dirname(__file__), 'info.yml'))
    check('scene_info reports the scene, the intervals and the settings, changing nothing',
          r.status == 0 and r.hosts(stacks, 0, 0) and [s.footprint() for s in stacks] == before, r.output)


def drift(ansible, stacks):
    """One camera's scene changed by hand through its page's endpoint and
    one camera stopped: the drift report lists exactly these two, and
    check mode the same one as changed; neither changes anything."""
    changed, stopped, others = stacks[2], stacks[6], stacks[:2] + stacks[3:6] + stacks[7:]
    urllib.request.urlopen(page_apply(changed.url), timeout=30).read()
    stopped.close()
    alive = [s for s in stacks if s is not stopped]
    before = [s.footprint() for s in alive]
    r = ansible.playbook(DRIFT, '-e', 'drift_report=' + os.path.join(ansible.dir, 'drift'))
    with open(os.path.join(ansible.dir, 'drift.csv')) as f:
        rows = list(csv.DictReader(f))
    markdown = read(os.path.join(ansible.dir, 'drift.md'))
    # Both values of each, in the survey's unit.
    variable, unit, ms = [v for v in SPEEDS if v[0] in changed.scene][0]
    by_hand = dict(road_offset=1, car_distance=10, camera_height=3, car_speed=5 / ms)
    surveyed = dict(changed.scene, car_speed=changed.scene[variable])
    wanted = [dict(camera=changed.name, state='differs', value=k, unit=unit if k == 'car_speed' else 'm',
                   stored='%.10g' % by_hand[k], survey='%.10g' % surveyed[k], reason='') for k, key in KEYS]
    check('the drift report lists the camera changed by hand, with both values of each, and the stopped one',
          r.status != 0 and rows[:4] == wanted and [(x['camera'], x['state']) for x in rows[4:]]
          == [(stopped.name, 'not read')] + [(s.name, 'agrees') for s in others]
          and rows[4]['reason'].startswith('No answer from http://127.0.0.1:') and 's3cret' not in r.output
          and 'fieldcrew' not in markdown + r.output
          and '| %s | not read |' % stopped.name in markdown and markdown.count('| agrees |') == len(others), r.output
          + markdown)
    check('the drift report changes nothing on any camera', [s.footprint() for s in alive] == before, r.output)
    r = ansible.playbook(COMMISSION, '--check')
    check('check mode lists the same camera as changed, and fails the stopped one',
          r.status != 0 and [h for h in r.recap if r.recap[h].get('changed')] == [changed.name]
          and list(r.failures) == [stopped.name] and [s.footprint() for s in alive] == before, r.output)


def page_apply(url):
    """The request of the camera's page that applies a scene of its own."""
    body = json.dumps(dict(apiVersion='1.0', method='set', params=dict(
        apply=True, roadOffset=1, carDistance=10, cameraHeight=3, carSpeed=5))).encode()
    return urllib.request.Request(url, data=body, headers={'Content-Type': 'application/json'})


def busy(ansible, cam):
    """Two slow applies hold both of the daemon's workers (they take turns at
    the camera: one there, one waiting for it), so the module's first
    request gets a 503; it must ask again until it is served."""
    request = page_apply(cam.url)
    holders = [threading.Thread(target=lambda: urllib.request.urlopen(request, timeout=30).read())
               for _ in range(2)]
    for t in holders:
        t.start()
    for _ in range(1500):
        if 'MaxExposureTime' in read(cam.record) and cam.log('daemon').count('->set: apply:1') == 2:
            break
        time.sleep(0.01)
    r = ansible.run('ansible', 'localhost', '-m', 'lanecam.camera.scene_info', '-a', 'url=' + cam.url)
    # Handed to the daemon: the two applies, the get, the preview, and at
    # least one request that was answered busy.
    handed = cam.log('httpd').count('-> lanecamd')
    check('a busy camera is asked again until it answers', r.status == 0 and handed >= 5,
          'requests handed over: %d\n%s' % (handed, r.output))
    for t in holders:
        t.join()


def main():
    stacks = start_stacks(SURVEY + [
        ('cam-refusing', dict(road_offset=2.5, car_distance=30, camera_height=7, car_speed_kmh=80),
         ('--fail', 'MaxExposureTime')),
        ('cam-busy', {}, ('--delay', 'MaxExposureTime:6000'))])
    pids = [p.pid for s in stacks for p in s.procs.values()]
    site, (refusing, slow) = stacks[:len(SURVEY)], stacks[len(SURVEY):]
    # One camera's URL carries credentials, which no message may show.
    ansible = Ansible(site, {site[6].name: site[6].url.replace('http://', 'http://fieldcrew:s3cret@')})
    try:
        tooling(ansible)
        unit_tests(ansible)
        commission(ansible, site, refusing)
        drift(ansible, site)
        busy(ansible, slow)
    finally:
        ansible.cleanup()
        stop_stacks(stacks)
    left = [pid for pid in pids if os.path.exists('/proc/%d' % pid)] + [s.dir for s in stacks if os.path.exists(s.dir)]
    check('the stacks, once stopped, leave no process and no folder', left == [], str(left))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
