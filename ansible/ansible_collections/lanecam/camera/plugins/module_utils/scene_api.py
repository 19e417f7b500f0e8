# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Talking to a camera's exposure service through its web server.

The service answers JSON requests posted to the camera's roadshotwizard.cgi:
``get`` gives the stored scene and the interval of each value, ``set``
previews the camera settings for a scene or, with apply, stores the scene
and sends the settings to the camera. This is the one place that turns what
came back (an error code, a busy reply, no answer) into the sentences the
camera's own page shows, so that a failed host reads the same as the page.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import time

from ansible.module_utils.common.text.converters import to_native
from ansible.module_utils.urls import fetch_url

# The scene's values: the option name of the modules, the service's key and
# the unit.
FIELDS = (
    ('road_offset', 'roadOffset', 'm'),
    ('car_distance', 'carDistance', 'm'),
    ('camera_height', 'cameraHeight', 'm'),
    ('car_speed', 'carSpeed', 'm/s'),
)

# The camera settings of a set reply: return name and the service's key.
SETTINGS = (
    ('max_gain', 'maxGain'),
    ('max_shutter', 'maxShutter'),
    ('wdr', 'wdr'),
    ('ir_cut', 'irCut'),
    ('iris_enabled', 'irisEnabled'),
    ('iris_position', 'irisPosition'),
)

KMH_PER_MS = 3.6

CONTEXT = 'lanecam.camera'
# Pauses before each new attempt after a busy reply; the last one repeats.
BUSY_PAUSES = (0.25, 0.5, 1.0, 2.0, 4.0)
BUSY_ATTEMPTS = 10

ERROR_SENTENCES = {
    1001: "The camera does not speak this page's protocol version. Reload the page; "
          "if that does not help, the page and the camera software do not match.",
    1002: "The camera does not know this request. The page and the camera software "
          "do not match.",
    1003: "The camera refused the values: one is missing or outside its range.",
    1004: "The camera could not read the request the page sent.",
}
INTERNAL_SENTENCES = {
    'apply': "The apply failed, and the stored scene could not be read back to tell "
             "whether it was stored.",
    'get': "The camera could not read its stored scene. The exposure service's log says why.",
    'preview': "The camera could not work out settings for this scene. The exposure "
               "service's log says why.",
}
APPLY_NOT_TAKEN = ("The scene was stored, but the camera did not take all settings. "
                   "Apply again to retry.")
APPLY_NOT_STORED = "The scene could not be stored; nothing was sent to the camera."
NO_ANSWER_SERVICE = ("The web server answered, but the exposure service behind it did not. "
                     "Check that the service is running.")
STAYED_BUSY = "The camera stayed busy with other requests. Try again in a moment."

# The options every module of the collection takes: where the camera is and
# how to reach it. fetch_url reads the URL options from the module's params.
CONNECTION_ARGS = dict(
    url=dict(type='str', required=True),
    url_username=dict(type='str', aliases=['user']),
    url_password=dict(type='str', no_log=True, aliases=['password']),
    force_basic_auth=dict(type='bool', default=False),
    validate_certs=dict(type='bool', default=True),
    use_proxy=dict(type='bool', default=True),
    timeout=dict(type='int', default=30),
)


class ApiError(Exception):
    """A request that gave no usable data; ``code`` is the error reply's code."""

    def __init__(self, message, code=None):
        super(ApiError, self).__init__(message)
        self.code = code


def sentence_for_code(code, what):
    """The sentence for an error reply to a get, a preview or an apply."""
    if code == 1000:
        return INTERNAL_SENTENCES.get(what, INTERNAL_SENTENCES['preview'])
    if code in ERROR_SENTENCES:
        return ERROR_SENTENCES[code]
    return 'The camera answered with an error this module does not know (code %s).' % code


class Camera:
    """One camera's exposure service, reached through the module's URL options."""

    def __init__(self, module):
        self.module = module
        self.url = module.params['url']

    def _exchange(self, body):
        """One HTTP exchange: None on a busy reply, else the parsed reply."""
        resp, info = fetch_url(self.module, self.url, data=body, method='POST',
                               headers={'Content-Type': 'application/json'},
                               timeout=self.module.params['timeout'])
        status = info.get('status', -1)
        if status == -1:
            raise ApiError(self._no_answer(info.get('msg')))
        if status == 503:
            return None
        if status in (502, 504):
            raise ApiError('%s (HTTP %s from %s)' % (NO_ANSWER_SERVICE, status, self.url))
        if status != 200:
            # What the web server said, in its own first line when it gave one.
            said = to_native(info.get('body') or b'').strip().split('\n')[0] or info.get('msg')
            raise ApiError('The camera\'s web server refused the request (HTTP %s from %s): %s'
                           % (status, self.url, said))
        try:
            reply = json.loads(resp.read())
        except ValueError:
            reply = None
        except Exception as e:  # a read that timed out or was cut off
            raise ApiError(self._no_answer(to_native(e)))
        if not isinstance(reply, dict):
            raise ApiError("The camera's answer could not be read (from %s)." % self.url)
        return reply

    def _no_answer(self, reason):
        return 'No answer from %s: %s' % (self.url, reason)

    def call(self, method, params, what):
        """Sends one request, retrying busy replies with a growing pause.
        Returns the reply's data; raises ApiError."""
        request = dict(apiVersion='1.0', context=CONTEXT, method=method)
        if params is not None:
            request['params'] = params
        body = json.dumps(request, allow_nan=False).encode('utf-8')
        for attempt in range(BUSY_ATTEMPTS):
            reply = self._exchange(body)
            if reply is not None:
                error = reply.get('error')
                if isinstance(error, dict):
                    raise ApiError(sentence_for_code(error.get('code'), what), error.get('code'))
                data = reply.get('data')
                if not isinstance(data, dict):
                    raise ApiError("The camera's answer could not be read.")
                return data
            if attempt + 1 < BUSY_ATTEMPTS:
                time.sleep(BUSY_PAUSES[min(attempt, len(BUSY_PAUSES) - 1)])
        raise ApiError(STAYED_BUSY)

    def get(self):
        """The stored scene (option names) and the interval of each value."""
        data = self.call('get', None, 'get')
        scene, intervals = {}, {}
        try:
            for name, key, unit in FIELDS:
                scene[name] = float(data[key])
                low, high = data[key + 'Interval']
                intervals[name] = [int(low), int(high)]
        except (KeyError, TypeError, ValueError):
            raise ApiError("The camera's answer could not be read.")
        return scene, intervals

    def set(self, scene, apply):
        """The camera settings for a scene; with apply, the scene is also
        stored and the settings sent to the camera."""
        params = dict(apply=apply)
        for name, key, unit in FIELDS:
            params[key] = scene[name]
        data = self.call('set', params, 'apply' if apply else 'preview')
        return dict((name, data.get(key)) for name, key in SETTINGS)


def wanted_scene(params, stored):
    """The scene the module's options ask for; a value left out keeps the
    stored one, a speed in km/h is turned into metres per second."""
    scene = dict(stored)
    for name, key, unit in FIELDS:
        if params.get(name) is not None:
            scene[name] = float(params[name])
    if params.get('car_speed_kmh') is not None:
        scene['car_speed'] = float(params['car_speed_kmh']) / KMH_PER_MS
    return scene


def out_of_range(params, scene, intervals):
    """The message for the first value outside its interval, or None."""
    for name, key, unit in FIELDS:
        low, high = intervals[name]
        value = scene[name]
        # Written so that NaN counts as outside too.
        if low <= value <= high:
            continue
        if name == 'car_speed' and params.get('car_speed_kmh') is not None:
            return ('car_speed_kmh %s (%s m/s) is outside its interval [%g, %g] km/h ([%s, %s] m/s)'
                    % (params['car_speed_kmh'], value, _kmh(low), _kmh(high), low, high))
        return '%s %s is outside its interval [%s, %s] %s' % (name, value, low, high, unit)
    return None


def _kmh(ms):
    return round(ms * KMH_PER_MS, 6)


def scene_result(scene):
    """A scene as modules return it: the four values, and the speed in km/h too."""
    result = dict(scene)
    result['car_speed_kmh'] = _kmh(scene['car_speed'])
    return result


def scene_text(scene):
    """A scene as lines for diff mode, the speed in km/h too."""
    lines = ['%s: %r %s' % (name, scene[name], unit) for name, key, unit in FIELDS]
    lines[-1] += ' (%g km/h)' % _kmh(scene['car_speed'])
    return '\n'.join(lines) + '\n'
