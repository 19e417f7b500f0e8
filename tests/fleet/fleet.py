#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The fleet gate: the lanecam.camera collection's playbooks against real
stacks, one "ok - WHAT" or "not ok - WHAT" line per check.

A stack is a private dbus-daemon with the fake camera on it, lanecamd on its
own transfer socket and its own copy of the sample configuration, and
lanecam-httpd on a port of its own, all in a temporary directory. The
programs come from LANECAMD_BUILD_DIR (build/ at the top of the tree).
"""

import configparser
import ctypes
import glob
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
KEYS = (('road_offset', 'roadOffset'), ('car_distance', 'carDistance'),
        ('camera_height', 'cameraHeight'), ('car_speed', 'carSpeed'))
NOT_TAKEN = 'The scene was stored, but the camera did not take all settings. Apply again to retry.'

# Name, scene, extra fake-camera arguments; every scene differs from the
# sample configuration's.
SURVEY = (
    ('cam-north', dict(road_offset=3.5, car_distance=25, camera_height=6, car_speed_kmh=130), ()),
    ('cam-south', dict(road_offset=-4, car_distance=40, camera_height=8, car_speed=22.2), ()),
    ('cam-ramp', dict(road_offset=1.2, car_distance=18, camera_height=5.5, car_speed_kmh=60), ()),
    ('cam-refusing', dict(road_offset=2.5, car_distance=30, camera_height=7, car_speed_kmh=80),
     ('--fail', 'MaxExposureTime')),
)


def die_with_parent():
    # A stack never outlives the run that started it, however that run ends.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def read(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        return f.read()


class Stack:
    """One camera's chain of processes in its own directory."""

    def __init__(self, name, scene, camera_args=()):
        self.name, self.scene, self.procs = name, scene, []
        self.dir = tempfile.mkdtemp(prefix='lanecamd-fleet-')
        self.config, self.record = os.path.join(self.dir, 'lanecamd.conf'), os.path.join(self.dir, 'calls')
        shutil.copy(os.path.join(SOURCE, 'data', 'lanecamd.conf'), self.config)
        open(self.record, 'w').close()
        socket = os.path.join(self.dir, 'transfer')
        bus = self.part('bus', ['dbus-daemon', '--config-file=' + os.path.join(SOURCE, 'tests', 'bus.conf'),
                                '--nofork', '--nosyslog', '--print-address',
                                '--address=unix:path=' + os.path.join(self.dir, 'bus')], r'^(unix:\S+)$')
        env = dict(DBUS_SYSTEM_BUS_ADDRESS=bus.group(1))
        self.part('camera', [os.path.join(BUILD, 'tests', 'fake-camera', 'fake-camera'), '--record', self.record]
                  + list(camera_args), r'^ready$', env)
        self.part('daemon', [os.path.join(BUILD, 'lanecamd'), '--no-daemon', '--debug'], r'transfer socket',
                  dict(env, LANECAMD_CONFIG=self.config, LANECAMD_TRANSFER_SOCKET=socket))
        httpd = self.part('httpd', [os.path.join(BUILD, 'httpd', 'lanecam-httpd'), '--listen', '127.0.0.1:0',
                                    '--root', os.path.join(SOURCE, 'web'), '--socket', socket],
                          r'listening on (http://\S+?)/?$')
        self.url = httpd.group(1) + '/roadshotwizard.cgi'

    def log(self, part):
        return read(os.path.join(self.dir, part + '.log'))

    def part(self, name, argv, ready, env=None):
        """Starts one program and returns the match of ready in its output."""
        with open(os.path.join(self.dir, name + '.log'), 'wb') as out:
            self.procs.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                               env=dict(os.environ, **(env or {})), preexec_fn=die_with_parent))
        for _ in range(1500):
            m = re.search(ready, self.log(name), re.M)
            if m or self.procs[-1].poll() is not None:
                break
            time.sleep(0.01)
        if not m:
            self.stop()
            raise RuntimeError('%s of %s did not start:\n%s' % (name, self.name, self.log(name)))
        return m

    def stop(self):
        for p in reversed(self.procs):
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
        scene = dict((name, float(self.scene.get(name, 0))) for name, key in KEYS)
        if 'car_speed_kmh' in self.scene:
            scene['car_speed'] = self.scene['car_speed_kmh'] / 3.6
        return scene

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
        s.stop()


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


class Ansible:
    """ansible-playbook and its kin with the collection from the tree, an
    inventory of the stacks, and a scratch directory with nothing of the
    machine's or the user's configuration."""

    def __init__(self, stacks):
        self.dir = tempfile.mkdtemp(prefix='lanecamd-ansible-')
        self.inventory = os.path.join(self.dir, 'inventory.yml')
        with open(self.inventory, 'w') as f:  # JSON is YAML too
            json.dump(dict(cameras=dict(hosts=dict((s.name, dict(s.scene, camera_url=s.url)) for s in stacks))), f)
        config = os.path.join(self.dir, 'ansible.cfg')
        open(config, 'w').close()
        scratch = dict((v, os.path.join(self.dir, v)) for v in ('ANSIBLE_HOME', 'ANSIBLE_LOCAL_TEMP',
                                                                'ANSIBLE_REMOTE_TEMP'))
        self.env = dict(os.environ, ANSIBLE_CONFIG=config, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS,
                        ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0', **scratch)

    def run(self, *argv, cwd=None):
        started = time.monotonic()
        r = subprocess.run(argv, cwd=cwd or self.dir, env=self.env, stdin=subprocess.DEVNULL, text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        return Run(r.returncode, r.stdout, time.monotonic() - started)

    def playbook(self, playbook, *args):
        return self.run('ansible-playbook', '-i', self.inventory, playbook, *args)

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
    for module in ('scene', 'scene_info'):
        r = ansible.run('ansible-doc', 'lanecam.camera.' + module)
        check('ansible-doc renders lanecam.camera.' + module,
              r.status == 0 and all(s in r.output for s in ('OPTIONS', 'EXAMPLES', 'RETURN VALUES')), r.output)
    r = ansible.run('ansible-galaxy', 'collection', 'build', COLLECTION, '--output-path', ansible.dir)
    check('ansible-galaxy builds the collection',
          r.status == 0 and os.path.exists(os.path.join(ansible.dir, 'lanecam-camera-1.0.0.tar.gz')), r.output)
    # The sanity tests that need no package index: the others install pinned
    # packages into virtual environments of their own. On the Python that
    # ansible-test runs on, which has what it needs.
    copy = os.path.join(ansible.dir, 'sanity', 'ansible_collections', 'lanecam', 'camera')
    shutil.copytree(COLLECTION, copy, ignore=shutil.ignore_patterns('__pycache__'))
    python = ansible_python()
    version = subprocess.run([python, '-c', 'import sys; print("%d.%d" % sys.version_info[:2])'],
                             stdout=subprocess.PIPE, text=True).stdout.strip()
    skipped = ('ansible-doc', 'import', 'pep8', 'pylint', 'runtime-metadata', 'validate-modules', 'yamllint')
    r = ansible.run('ansible-test', 'sanity', '--python', version,
                    *[a for t in skipped for a in ('--skip-test', t)], cwd=copy)
    check('ansible-test sanity (the tests that run offline)', r.status == 0, r.output[-3000:])
    r = ansible.run('ansible-playbook', '-i', os.path.join(COLLECTIONS, 'examples', 'inventory.yml'),
                    COMMISSION, '--list-hosts')
    check('the example playbook takes the example survey', r.status == 0 and 'hosts (5)' in r.output, r.output)


def ansible_python():
    return read(shutil.which('ansible-test')).split('\n')[0][2:].strip()


def unit_tests(ansible):
    """The collection's own unit tests, by the standard library's runner:
    ansible-test units would install pytest from the package index."""
    for tests in sorted(glob.glob(os.path.join(COLLECTION, 'tests', 'unit', 'plugins', '*', ''))):
        r = ansible.run(ansible_python(), '-B', '-m', 'unittest', 'discover', '-v', '-s', tests)
        check('the unit tests in %s (python3 -m unittest)' % os.path.relpath(tests, COLLECTION),
              r.status == 0 and '\nOK' in r.output, r.output[-3000:])


def commission(ansible, stacks):
    north, refusing = stacks[0], stacks[-1]
    takers = stacks[:-1]

    before = [s.footprint() for s in stacks]
    r = ansible.playbook(COMMISSION, '--check', '--diff')
    check('check mode reports each change, shows it, changes no file and calls no camera',
          r.status == 0 and r.hosts(stacks, 1, 0) and r.output.count('+++ after: ') == len(stacks)
          and [s.footprint() for s in stacks] == before, r.output)

    r = ansible.playbook(COMMISSION)
    check('a run applies each scene to the file and the camera',
          r.hosts(takers, 1, 0) and all(s.stored_scene() == s.wanted_scene()
                                        and 'Set MaxExposureTime' in read(s.record) for s in takers), r.output)
    check('a camera that refuses fails only its own host, saying the scene was stored',
          r.status != 0 and list(r.failures) == [refusing.name]
          and r.failures[refusing.name].get('msg') == NOT_TAKEN and r.failures[refusing.name].get('stored')
          and refusing.stored_scene() == refusing.wanted_scene(), r.output)

    before = [s.footprint() for s in stacks]
    r = ansible.playbook(COMMISSION)
    check('a second run reports nothing changed and calls no camera',
          r.status == 0 and r.hosts(stacks, 0, 0) and [s.footprint() for s in stacks] == before, r.output)

    before = north.footprint(), north.log('daemon').count('->set')
    r = ansible.playbook(COMMISSION, '--limit', north.name, '-e', 'camera_height=25')
    check('an out-of-range value fails before anything is sent',
          r.status != 0 and r.failures.get(north.name, {}).get('msg')
          == 'camera_height 25.0 is outside its interval [0, 20] m'
          and (north.footprint(), north.log('daemon').count('->set')) == before, r.output)

    before = read(north.record)
    r = ansible.playbook(COMMISSION, '--limit', north.name, '-e', 'force_apply=true')
    check('force sends an unchanged scene to the camera again',
          r.status == 0 and r.host(north.name, 1, 0) and len(read(north.record)) > len(before), r.output)

    before = [s.footprint() for s in stacks]
    r = ansible.playbook(os.path.join(os.path.dirname(__file__), 'info.yml'))
    check('scene_info reports the scene, the intervals and the settings, changing nothing',
          r.status == 0 and r.hosts(stacks, 0, 0) and [s.footprint() for s in stacks] == before, r.output)


def busy(ansible, cam):
    """Two slow applies hold both of the daemon's workers (they take turns at
    the camera: one there, one waiting for it), so the module's first
    request gets a 503; it must ask again until it is served."""
    body = json.dumps(dict(apiVersion='1.0', method='set', params=dict(
        apply=True, roadOffset=1, carDistance=10, cameraHeight=3, carSpeed=5))).encode()
    request = urllib.request.Request(cam.url, data=body, headers={'Content-Type': 'application/json'})
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
    stacks = start_stacks(SURVEY + (('cam-busy', {}, ('--delay', 'MaxExposureTime:6000')),))
    ansible = Ansible(stacks[:-1])
    try:
        tooling(ansible)
        unit_tests(ansible)
        commission(ansible, stacks[:-1])
        busy(ansible, stacks[-1])
    finally:
        ansible.cleanup()
        stop_stacks(stacks)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
