# SPDX-License-Identifier: MIT
"""The modules against hostile web servers on 127.0.0.1: each row a peer
that main's module believed, read without end or showed the URL's
credentials to, and what the module must do instead."""

import contextlib
import io
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Run from a checkout: the directory that holds ansible_collections.
sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), *['..'] * 7)))

from ansible.module_utils import basic  # noqa: E402
from ansible_collections.lanecam.camera.plugins.module_utils.scene_api import POLICY, SENTENCES  # noqa: E402
from ansible_collections.lanecam.camera.plugins.modules import scene, scene_info  # noqa: E402

STORED = dict(roadOffset=3.0, roadOffsetInterval=[-20, 20], carDistance=20.0, carDistanceInterval=[0, 200],
              cameraHeight=4.0, cameraHeightInterval=[0, 20], carSpeed=10.0, carSpeedInterval=[0, 70])
SETTINGS = dict(maxGain=24.0, maxShutter=1141.78, wdr=False, irCut='auto', irisEnabled=True, irisPosition=0)
APPLY = dict(road_offset=3.5, car_distance=25, camera_height=6, car_speed=22.2)


def send(handler, status, body, headers=(), padding=0, drip=0):
    """One reply, padding spaces after its body, or all of it a byte per drip seconds."""
    head = 'HTTP/1.0 %d Answer\r\nContent-Length: %d\r\n' % (status, len(body) + padding)
    reply = (head + ''.join(h + '\r\n' for h in headers) + '\r\n').encode() + body
    for chunk in [reply[i:i + 1] for i in range(len(reply))] if drip else [reply] + [b' ' * 65536] * (padding >> 16):
        handler.wfile.write(chunk)
        time.sleep(drip)


def camera(get=None, set=None, redirect=None, tls=False, error=None, **reply):
    """A camera's web server: the data of a get or a set reply to a POST that
    asks for one (with error, an error reply), 400 to anything else; redirect
    (status, Location) for a set on the camera's own path; with tls, HTTPS
    with a certificate of the site's CA, asking for the client's."""
    def answer(handler, body):
        method = (json.loads(body) if handler.command == 'POST' else {}).get('method')
        if method == 'set' and redirect and handler.path == '/roadshotwizard.cgi':
            return send(handler, redirect[0], b'', ['Location: ' + redirect[1] % dict(other=other.server_port)])
        if method not in ('get', 'set'):
            return send(handler, 400, b'not a request\n')
        data = (STORED if get is None else get) if method == 'get' else (SETTINGS if set is None else set)
        said = dict(data=data) if error is None else dict(error=error)
        send(handler, 200, json.dumps(dict(apiVersion='1.0', method=method, **said)).encode(), **reply)
    answer.tls = tls
    return answer


def site_ca(folder):
    """A CA, a certificate it signed for 127.0.0.1 and one for a client, made
    by openssl in folder: the file names of the CA, the server's and the
    client's certificate and key."""
    def make(name, *args):
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
                        '-nodes', '-days', '2', '-subj', '/CN=' + name, '-keyout', name + '.key',
                        '-out', name + '.pem'] + list(args), cwd=folder, check=True, capture_output=True)
        return os.path.join(folder, name + '.pem'), os.path.join(folder, name + '.key')
    ca = make('ca')[0]
    signed = ('-CA', 'ca.pem', '-CAkey', 'ca.key')
    return ca, make('camera', '-addext', 'subjectAltName=IP:127.0.0.1', *signed), make('client', *signed)


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length') or 0))
        self.server.requests.append((self.command, self.path, body))
        try:
            self.server.answer(self, body)
        except OSError:  # the module hung up before the reply's end
            self.server.cut = True

    do_GET = do_POST

    def log_message(self, *args):
        pass


class Peer(ThreadingHTTPServer):
    daemon_threads = False  # so that stop() waits for every answer to end

    def __init__(self, answer, host='127.0.0.1'):
        ThreadingHTTPServer.__init__(self, (host, 0), Handler)
        self.answer, self.requests, self.cut = answer, [], False
        if answer.tls:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH, cafile=CA)
            context.load_cert_chain(*SERVER)
            context.verify_mode = ssl.CERT_REQUIRED
            self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def stop(self):
        self.shutdown()
        self.server_close()

    def handle_error(self, request, client_address):
        pass  # a handshake the module ended is the row's to judge


# Name, module, its options, the camera, what the result holds, a text of its
# message, whether the module hangs up before the reply's end (None: the
# module sends nothing at all).
ROWS = (
    ('a redirect to another host', scene, APPLY, camera(redirect=(302, 'http://127.0.0.2:%(other)d/x')),
     dict(failed=True, stored=False), 'redirected the request to http://127.0.0.2:%(other)d/x,', False),
    ('a redirect naming credentials', scene_info, {}, camera(redirect=(307, 'https://intruder:pw@127.0.0.1:1/x')),
     dict(failed=True), 'redirected the request to https://127.0.0.1:1/x,', False),
    ('a redirect on the same host', scene, APPLY, camera(redirect=(301, '/moved/roadshotwizard.cgi')),
     dict(changed=True, stored=True), '', False),
    ('an empty set reply', scene, APPLY, camera(set={}), dict(failed=True, stored=False), 'no member "maxGain"', False),
    ('a get reply without an interval', scene_info, {},
     camera(get=dict((k, v) for k, v in STORED.items() if k != 'carSpeedInterval')),
     dict(failed=True), 'no member "carSpeedInterval"', False),
    ('a set reply with a text for a number', scene_info, {}, camera(set=dict(SETTINGS, maxShutter='1141')),
     dict(failed=True), 'its member "maxShutter" is not a number', False),
    ('an error reply with a list for its code', scene_info, {}, camera(error=dict(code=[1003])), dict(failed=True),
     'an error this module does not know (code [1003])', False),
    ('a reply of 100 MiB', scene_info, {}, camera(padding=100 << 20), dict(failed=True), 'larger than 64 KiB', True),
    ('a reply a byte at a time', scene_info, dict(timeout=2), camera(drip=0.02), dict(failed=True),
     'within the timeout of 2 s', True),
    ('a sound camera in check mode with diff', scene, dict(APPLY, _ansible_check_mode=True, _ansible_diff=True),
     camera(), dict(changed=True, stored=False), '', False),
    ('a speed with its unit written after it', scene, dict(road_offset=3.5, car_speed_kmh='90 km/h'), camera(),
     dict(failed=True, stored=False),
     'car_speed_kmh is "90 km/h", a number followed by a unit: give the number alone (car_speed_kmh is in km/h).',
     None),
    ('a length with a decimal comma', scene, dict(APPLY, road_offset='3,5'), camera(), dict(failed=True),
     'road_offset is "3,5", with a decimal comma: write 3.5 (road_offset is in m).', None),
    ('a camera of the site CA that asks for a client certificate', scene_info,
     dict(ca_path='%(ca)s', client_cert='%(cert)s', client_key='%(key)s'), camera(tls=True),
     dict(failed=None, changed=False), '', False),
)


class HostilePeers(unittest.TestCase):
    def test_rows(self):
        global other, CA, SERVER
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        CA, SERVER, client = site_ca(folder.name)
        other = Peer(camera(), '127.0.0.2')
        self.addCleanup(other.stop)
        for name, module, args, answer, result, said, hung_up in ROWS:
            with self.subTest(name):
                peer = Peer(answer)
                url = '%s://fieldcrew:s3cret@127.0.0.1:%d/roadshotwizard.cgi' % (
                    'https' if answer.tls else 'http', peer.server_port)
                files = dict(ca=CA, cert=client[0], key=client[1])
                args = dict(((k, v % files if isinstance(v, str) else v) for k, v in args.items()),
                            url=url, force_basic_auth=True)
                basic._ANSIBLE_ARGS = json.dumps(dict(ANSIBLE_MODULE_ARGS=args)).encode()
                with contextlib.redirect_stdout(io.StringIO()) as out, self.assertRaises(SystemExit):
                    module.main()
                peer.stop()
                got = json.loads(out.getvalue())
                self.assertEqual(dict((k, got.get(k)) for k in result), result, out.getvalue())
                self.assertIn(said % dict(other=other.server_port), got.get('msg', ''))
                self.assertEqual(peer.cut if peer.requests else None, hung_up)
                self.assertEqual([s for s in ('fieldcrew', 's3cret', 'intruder') if s in out.getvalue()], [])
                self.assertEqual(other.requests, [])


class Sentences(unittest.TestCase):
    def test_one_for_each_key_of_the_policy_none_of_a_page(self):
        def keys(value, name=None):
            if isinstance(value, dict):
                return [k for n, v in value.items() for k in keys(v, n)]
            return [value] if isinstance(value, str) and name != 'kind' else []
        self.assertEqual(sorted(set(keys(POLICY))), sorted(SENTENCES))
        self.assertEqual([k for k, s in SENTENCES.items() if 'page' in s], [])


if __name__ == '__main__':
    unittest.main()
