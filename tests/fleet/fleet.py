#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Commissioning a fleet of cameras with the lanecam.camera collection,
against real stacks.

  tests/fleet/fleet.py check               the fleet gate: one "ok - WHAT" or
                                           "not ok - WHAT" line per check
  tests/fleet/fleet.py bench [N] [FORKS]   times the example playbook over N
                                           stacks (16) with FORKS forks (8)

A stack is a private dbus-daemon with the fake camera on it, lanecamd on its
own transfer socket and its own copy of the sample configuration, and
lanecam-httpd on a port of its own, all in a temporary directory. The
programs come from LANECAMD_BUILD_DIR (build/ at the top of the tree); the
playbooks are the collection's example and this directory's.
"""

import configparser
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
BUILD = os.path.abspath(os.environ.get('LANECAMD_BUILD_DIR', os.path.join(SOURCE, 'build')))
COLLECTIONS = os.path.join(SOURCE, 'ansible')
COLLECTION = os.path.join(COLLECTIONS, 'ansible_collections', 'lanecam', 'camera')
COMMISSION = os.path.join(COLLECTIONS, 'examples', 'commission.yml')
HERE = os.path.dirname(os.path.abspath(__file__))
READY_SECONDS = 15
KEYS = (('road_offset', 'roadOffset'), ('car_distance', 'carDistance'),
        ('camera_height', 'cameraHeight'), ('car_speed', 'carSpeed'))
NOT_TAKEN = 'The scene was stored, but the camera did not take all settings. Apply again to retry.'

# The gate's survey: name, scene, extra fake-camera arguments. Every scene
# differs from the sample configuration's.
SURVEY = (
    ('cam-north', dict(road_offset=3.5, car_distance=25, camera_height=6, car_speed_kmh=130), ()),
    ('cam-south', dict(road_offset=-4, car_distance=40, camera_height=8, car_speed=22.2), ()),
    ('cam-ramp', dict(road_offset=1.2, car_distance=18, camera_height=5.5, car_speed_kmh=60), ()),
    ('cam-refusing', dict(road_offset=2.5, car_distance=30, camera_height=7, car_speed_kmh=80),
     ('--fail', 'MaxExposureTime')),
)


def die_with_parent():
    # A stack never outlives the run that started it, however that run ends.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Stack:
    """One camera's chain of processes in its own directory."""

    def __init__(self, name, scene, camera_args=()):
        self.name, self.scene, self.camera_args = name, scene, list(camera_args)
        self.dir = tempfile.mkdtemp(prefix='lanecamd-fleet-')
        self.config = os.path.join(self.dir, 'lanecamd.conf')
        self.record = os.path.join(self.dir, 'camera.calls')
        shutil.copy(os.path.join(SOURCE, 'data', 'lanecamd.conf'), self.config)
        open(self.record, 'w').close()
        self.procs = []
        self.url = None

    def log(self, part):
        return os.path.join(self.dir, part + '.log')

    def read(self, path):
        with open(path, encoding='utf-8', errors='replace') as f:
            return f.read()

    def spawn(self, part, argv, env=None):
        with open(self.log(part), 'wb') as out:
            self.procs.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                               stderr=subprocess.STDOUT, env=dict(os.environ, **(env or {})),
                                               preexec_fn=die_with_parent))

    def wait(self, part, pattern):
        """The first match of pattern in the part's output; raises when the
        part ends or stays silent."""
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline:
            m = re.search(pattern, self.read(self.log(part)), re.M)
            if m:
                return m
            if self.procs[-1].poll() is not None and not re.search(pattern, self.read(self.log(part)), re.M):
                break
            time.sleep(0.02)
        raise RuntimeError('%s of %s did not start:\n%s' % (part, self.name, self.read(self.log(part))))

    # The parts in the order of starting; each stage is begun for every
    # stack before any is waited for, so that many stacks start at once.
    def stages(self):
        bus_env = {}

        def bus():
            self.spawn('bus', ['dbus-daemon', '--config-file=' + os.path.join(SOURCE, 'tests', 'bus.conf'),
                               '--nofork', '--nosyslog', '--address=unix:path=' + os.path.join(self.dir, 'bus'),
                               '--print-address'])
            yield
            bus_env['DBUS_SYSTEM_BUS_ADDRESS'] = self.wait('bus', r'^(unix:\S+)$').group(1)

        def camera():
            self.spawn('camera', [os.path.join(BUILD, 'tests', 'fake-camera', 'fake-camera'),
                                  '--record', self.record] + self.camera_args, bus_env)
            yield
            self.wait('camera', r'^ready$')

        def daemon():
            self.spawn('daemon', [os.path.join(BUILD, 'lanecamd'), '--no-daemon', '--debug'],
                       dict(bus_env, LANECAMD_CONFIG=self.config,
                            LANECAMD_TRANSFER_SOCKET=os.path.join(self.dir, 'transfer')))
            yield
            self.wait('daemon', r'transfer socket')

        def httpd():
            self.spawn('httpd', [os.path.join(BUILD, 'httpd', 'lanecam-httpd'), '--listen', '127.0.0.1:0',
                                 '--root', os.path.join(SOURCE, 'web'),
                                 '--socket', os.path.join(self.dir, 'transfer')])
            yield
            self.url = self.wait('httpd', r'listening on (http://\S+?)/?$').group(1) + '/roadshotwizard.cgi'

        return [bus, camera, daemon, httpd]

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def stored_scene(self):
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = str
        parser.read(self.config)
        return dict((name, float(parser['ui_state'][key])) for name, key in KEYS)

    def wanted_scene(self):
        scene = dict((name, float(self.scene[name])) for name, key in KEYS[:3])
        scene['car_speed'] = (float(self.scene['car_speed']) if 'car_speed' in self.scene
                              else self.scene['car_speed_kmh'] / 3.6)
        return scene

    def camera_calls(self):
        return self.read(self.record).count('\n')

    def footprint(self):
        """What a run that changes nothing leaves as it was: the
        configuration file (content and inode, since a store replaces it),
        the camera's calls and the applies the daemon saw."""
        st = os.stat(self.config)
        return (self.read(self.config), st.st_ino, st.st_mtime_ns, self.camera_calls(),
                self.read(self.log('daemon')).count('apply:1'))

    def set_requests(self):
        return self.read(self.log('daemon')).count('->set:')


def start_stacks(survey):
    stacks = [Stack(*row) for row in survey]
    try:
        pending = [[stage() for stage in s.stages()] for s in stacks]
        for i in range(4):
            for stages in pending:
                next(stages[i])
            for stages in pending:
                next(stages[i], None)
    except BaseException:
        stop_stacks(stacks)
        raise
    return stacks


def stop_stacks(stacks):
    for s in stacks:
        s.stop()


class Ansible:
    """ansible-playbook and its kin with the collection from the tree, in a
    scratch directory of their own."""

    def __init__(self, stacks):
        self.dir = tempfile.mkdtemp(prefix='lanecamd-ansible-')
        self.inventory = os.path.join(self.dir, 'inventory.yml')
        hosts = dict((s.name, dict(s.scene, camera_url=s.url)) for s in stacks)
        with open(self.inventory, 'w') as f:
            json.dump(dict(cameras=dict(hosts=hosts)), f, indent=1)  # JSON is YAML too
        # No configuration of the machine or the user counts, only this.
        config = os.path.join(self.dir, 'ansible.cfg')
        open(config, 'w').close()
        self.env = dict(os.environ, ANSIBLE_CONFIG=config, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS,
                        ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0',
                        ANSIBLE_LOCAL_TEMP=os.path.join(self.dir, 'tmp'), ANSIBLE_HOME=os.path.join(self.dir, 'home'))

    def run(self, *argv):
        started = time.monotonic()
        r = subprocess.run(list(argv), cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        return Run(r.returncode, r.stdout, time.monotonic() - started)

    def playbook(self, playbook, *args):
        return self.run('ansible-playbook', '-i', self.inventory, playbook, *args)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Run:
    """An ansible run's status, output, per-host recap and failures."""

    def __init__(self, status, output, seconds):
        self.status, self.output, self.seconds = status, output, seconds
        self.recap = dict((m.group(1), dict((k, int(v)) for k, v in re.findall(r'(\w+)=(\d+)', m.group(2))))
                          for m in re.finditer(r'^(\S+)\s+: (ok=.*)$', output, re.M))
        self.failures = {}
        for m in re.finditer(r'^fatal: \[(\S+)\]: FAILED! => (\{.*\})$', output, re.M):
            self.failures[m.group(1)] = json.loads(m.group(2))

    def host(self, name, changed, failed):
        r = self.recap.get(name, {})
        return r.get('changed') == changed and r.get('failed') == failed


class Checks:
    def __init__(self):
        self.failed = 0

    def check(self, what, ok, detail=''):
        if ok:
            print('ok - ' + what)
        else:
            self.failed += 1
            print('not ok - ' + what)
            if detail:
                print('  ' + detail.rstrip().replace('\n', '\n  '))
        sys.stdout.flush()


def sanity(checks, ansible):
    """ansible-test sanity on a copy of the collection: the tests that need
    nothing from a package index (the others install pinned packages into
    virtual environments of their own, which an offline machine cannot)."""
    copy = os.path.join(ansible.dir, 'sanity', 'ansible_collections', 'lanecam', 'camera')
    shutil.copytree(COLLECTION, copy, ignore=shutil.ignore_patterns('__pycache__', '*.tar.gz'))
    online = ('ansible-doc', 'import', 'pep8', 'pylint', 'runtime-metadata', 'validate-modules', 'yamllint')
    # The Python that ansible-test itself runs on, which has what it needs.
    with open(shutil.which('ansible-test')) as f:
        python = f.readline()[2:].strip()
    version = subprocess.run([python, '-c', 'import sys; print("%d.%d" % sys.version_info[:2])'],
                             stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    argv = ['ansible-test', 'sanity', '--python', version]
    for t in online:
        argv += ['--skip-test', t]
    r = subprocess.run(argv, cwd=copy, env=ansible.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=600)
    checks.check('ansible-test sanity (the tests that run offline)', r.returncode == 0, r.stdout[-3000:])


def gate():
    checks = Checks()
    stacks = start_stacks(SURVEY)
    ansible = Ansible(stacks)
    try:
        by_name = dict((s.name, s) for s in stacks)
        refusing = by_name['cam-refusing']
        takers = [s for s in stacks if s is not refusing]

        for module in ('scene', 'scene_info'):
            r = ansible.run('ansible-doc', 'lanecam.camera.' + module)
            checks.check('ansible-doc renders lanecam.camera.%s' % module,
                         r.status == 0 and 'OPTIONS' in r.output and 'RETURN VALUES' in r.output
                         and 'EXAMPLES' in r.output, r.output)
        r = ansible.run('ansible-galaxy', 'collection', 'build', COLLECTION, '--output-path', ansible.dir)
        checks.check('ansible-galaxy builds the collection',
                     r.status == 0 and os.path.exists(os.path.join(ansible.dir, 'lanecam-camera-1.0.0.tar.gz')),
                     r.output)
        sanity(checks, ansible)
        r = ansible.run('ansible-playbook', '-i', os.path.join(COLLECTIONS, 'examples', 'inventory.yml'),
                        COMMISSION, '--list-hosts')
        checks.check('the example playbook takes the example survey', r.status == 0 and 'hosts (5)' in r.output,
                     r.output)

        before = [s.footprint() for s in stacks]
        r = ansible.playbook(COMMISSION, '--check', '--diff')
        checks.check('check mode reports each change, shows it, changes no file and calls no camera',
                     r.status == 0 and all(r.host(s.name, 1, 0) for s in stacks)
                     and r.output.count('+++ after: ') == len(stacks)
                     and [s.footprint() for s in stacks] == before, r.output)

        r = ansible.playbook(COMMISSION)
        checks.check('a run applies each scene to the file and the camera',
                     all(r.host(s.name, 1, 0) and s.stored_scene() == s.wanted_scene()
                         and 'Set MaxExposureTime' in s.read(s.record) for s in takers), r.output)
        checks.check('a camera that refuses fails only its own host, saying the scene was stored',
                     r.status != 0 and list(r.failures) == [refusing.name]
                     and r.failures[refusing.name].get('msg') == NOT_TAKEN
                     and r.failures[refusing.name].get('stored') is True
                     and refusing.stored_scene() == refusing.wanted_scene(), r.output)

        before = [s.footprint() for s in stacks]
        r = ansible.playbook(COMMISSION)
        checks.check('a second run reports nothing changed and calls no camera',
                     r.status == 0 and all(r.host(s.name, 0, 0) for s in stacks)
                     and [s.footprint() for s in stacks] == before, r.output)

        north = by_name['cam-north']
        before = north.footprint(), north.set_requests()
        r = ansible.playbook(COMMISSION, '--limit', north.name, '-e', 'camera_height=25')
        checks.check('an out-of-range value fails before anything is sent',
                     r.status != 0 and r.failures.get(north.name, {}).get('msg')
                     == 'camera_height 25.0 is outside its interval [0, 20] m'
                     and (north.footprint(), north.set_requests()) == before, r.output)

        calls = north.camera_calls()
        r = ansible.playbook(COMMISSION, '--limit', north.name, '-e', 'force_apply=true')
        checks.check('force sends an unchanged scene to the camera again',
                     r.status == 0 and r.host(north.name, 1, 0) and north.camera_calls() > calls, r.output)

        before = [s.footprint() for s in stacks]
        r = ansible.playbook(os.path.join(HERE, 'info.yml'))
        checks.check('scene_info reports the scene, the intervals and the settings, changing nothing',
                     r.status == 0 and all(r.host(s.name, 0, 0) for s in stacks)
                     and [s.footprint() for s in stacks] == before, r.output)
    finally:
        ansible.cleanup()
        stop_stacks(stacks)
    busy(checks)
    return checks.failed


def busy(checks):
    """A camera whose two workers are both held by applies answers 503; the
    module asks again until it is served."""
    stacks = start_stacks([('cam-busy', {}, ('--delay', 'MaxExposureTime:6000'))])
    cam = stacks[0]
    ansible = Ansible(stacks)
    body = json.dumps(dict(apiVersion='1.0', method='set', params=dict(
        apply=True, roadOffset=1, carDistance=10, cameraHeight=3, carSpeed=5))).encode()
    holders = [threading.Thread(target=lambda: urllib.request.urlopen(urllib.request.Request(
        cam.url, data=body, headers={'Content-Type': 'application/json'}), timeout=30).read())
        for _ in range(2)]
    try:
        for t in holders:
            t.start()
        deadline = time.monotonic() + READY_SECONDS
        while cam.read(cam.record).count('MaxExposureTime') < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        r = ansible.run('ansible', 'localhost', '-m', 'lanecam.camera.scene_info', '-a', 'url=' + cam.url)
        # The two applies, the get and the preview, and at least one busy reply.
        handed = cam.read(cam.log('httpd')).count('-> lanecamd')
        checks.check('a busy camera is asked again until it answers',
                     r.status == 0 and handed >= 5, 'requests handed over: %d\n%s' % (handed, r.output))
        for t in holders:
            t.join()
    finally:
        ansible.cleanup()
        stop_stacks(stacks)


def bench(count, forks):
    """Wall time of the example playbook over count stacks, applying and
    then finding nothing to change."""
    survey = [('cam-%02d' % i, dict(road_offset=round(-10 + i * 0.7, 1), car_distance=15 + i, camera_height=4 + i % 5,
                                     car_speed_kmh=50 + 5 * i), ()) for i in range(count)]
    started = time.monotonic()
    stacks = start_stacks(survey)
    print('%d stacks started in %.1f s' % (count, time.monotonic() - started))
    ansible = Ansible(stacks)
    runs = (('apply', forks, ()), ('unchanged', forks, ()),
            ('apply', 1, ('-e', 'car_speed_kmh=45')),
            ('apply 1 camera', 1, ('-e', 'car_speed_kmh=40', '--limit', survey[0][0])))
    seconds = []
    try:
        for what, f, args in runs:
            r = ansible.playbook(COMMISSION, '--forks', str(f), *args)
            changed = sum(h.get('changed', 0) for h in r.recap.values())
            print('%-15s forks %d: %6.2f s wall, %5.3f s per camera (%d changed, %d failed)'
                  % (what, f, r.seconds, r.seconds / len(r.recap), changed,
                     sum(h.get('failed', 0) for h in r.recap.values())))
            if r.status != 0:
                print(r.output)
                return 1
            seconds.append(r.seconds)
        # What one more camera costs a serial run, without the playbook's start.
        print('each further camera, forks 1: %.3f s' % ((seconds[2] - seconds[3]) / (count - 1)))
    finally:
        ansible.cleanup()
        stop_stacks(stacks)
    return 0


def main(argv):
    if argv[:1] == ['check']:
        return 1 if gate() else 0
    if argv[:1] == ['bench']:
        return bench(int(argv[1]) if len(argv) > 1 else 16, int(argv[2]) if len(argv) > 2 else 8)
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
