# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Talking to a camera's exposure service through its web server.

The service answers JSON requests posted to the camera's roadshotwizard.cgi:
``get`` gives the stored scene and the interval of each value, ``set``
previews the camera settings for a scene or, with apply, stores the scene
and sends the settings to the camera. This is the one place that turns what
came back (an error code, a busy reply, no answer) into a sentence for the
playbook's operator; what each reply means (client_policy.py) is what the
camera's own page takes it to mean.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import contextlib
import json
import math
import re
import signal
import time
from urllib.error import HTTPError
from urllib.parse import urljoin, urlsplit, urlunsplit

from ansible.module_utils.common.text.converters import to_native
from ansible.module_utils.urls import open_url
from ansible_collections.lanecam.camera.plugins.module_utils.client_policy import POLICY

# The scene's values: the option name of the modules, the service's key and
# the unit.
FIELDS = (
    ('road_offset', 'roadOffset', 'm'),
    ('car_distance', 'carDistance', 'm'),
    ('camera_height', 'cameraHeight', 'm'),
    ('car_speed', 'carSpeed', 'm/s'),
)

# What each reply must carry: the service's key and the JSON type, for the
# settings of a set reply with the name the modules return them under.
GET_MEMBERS = tuple((k, kind) for name, key, unit in FIELDS
                    for k, kind in ((key, 'a number'), (key + 'Interval', 'an array of two integers')))
SETTINGS = (
    ('max_gain', 'maxGain', 'a number'),
    ('max_shutter', 'maxShutter', 'a number'),
    ('wdr', 'wdr', 'true or false'),
    ('ir_cut', 'irCut', 'a string'),
    ('iris_enabled', 'irisEnabled', 'true or false'),
    ('iris_position', 'irisPosition', 'an integer'),
)


def _number(value):
    try:
        return not isinstance(value, bool) and math.isfinite(value)
    except (TypeError, OverflowError):
        return False


KINDS = {
    'a number': _number,
    'an array of two integers': lambda v: isinstance(v, list) and len(v) == 2 and all(type(x) is int for x in v),
    'true or false': lambda v: isinstance(v, bool),
    'a string': lambda v: isinstance(v, str),
    'an integer': lambda v: type(v) is int,
}

# The units a speed may be given in, with how many of each make a metre per
# second, and the option of the modules that takes a speed in it.
SPEED_UNITS = (
    ('m/s', 1.0, 'car_speed'),
    ('km/h', 3.6, 'car_speed_kmh'),
    ('mph', 3600 / 1609.344, 'car_speed_mph'),
)
SPEED_OPTIONS = tuple(option for unit, per_ms, option in SPEED_UNITS)

# A number as a survey or a template writes it; a decimal comma, and a number
# followed by a unit, to refuse with a sentence that says so.
NUMBER = re.compile(r'[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$')
DECIMAL_COMMA = re.compile(r'[+-]?\d*,\d+$')
WITH_UNIT = re.compile(r'[+-]?(\d+[.,]?\d*|[.,]\d+)\s*([^\d\s.,+-].*)$')

CONTEXT = 'lanecam.camera'
# The service's replies are under 1 KiB; a reply is read up to this and no further.
MAX_REPLY = 64 * 1024
# Redirects followed on the camera's own scheme, host and port, the POST sent
# again as it was; a redirect anywhere else is refused.
REDIRECTS = (301, 302, 303, 307, 308)
MAX_REDIRECTS = 5
DEFAULT_PORTS = dict(http=80, https=443)

# The sentence for each key of the policy, for the operator of a playbook;
# the page's catalogues say the same to a person at the page.
SENTENCES = {
    'code1001': "The camera does not speak this collection's protocol version: the lanecam.camera "
                "collection and the camera software do not match.",
    'code1002': "The camera does not know this request: the lanecam.camera collection and the "
                "camera software do not match.",
    'code1003': "The camera refused the values: one is missing or outside its range.",
    'code1004': "The camera could not read the request the module sent.",
    'codeUnknown': "The camera answered with an error this module does not know (code {code}).",
    'applyUnknown': "The apply failed, and the stored scene could not be read back to tell "
                    "whether it was stored.",
    'getFailed': "The camera could not read its stored scene. The exposure service's log says why.",
    'previewFailed': "The camera could not work out settings for this scene. The exposure "
                     "service's log says why.",
    'storedNotTaken': "The scene was stored, but the camera did not take all settings. Run the "
                      "task again with force: true to send them again.",
    'notStored': "The scene could not be stored; nothing was sent to the camera.",
    'noService': "The web server answers, but the exposure service behind it does not. "
                 "Check that the service is running.",
    'lateServiceSaid': "The web server says the exposure service behind it did not answer in time. "
                       "Check that the service is running.",
    'unreadableStatus': "The camera's web server refused the request (HTTP {status} from {url}): {said}",
    'stayedBusy': "The camera stayed busy with other requests. Try again in a moment.",
}

# The options every module of the collection takes: where the camera is and
# how to reach it.
CONNECTION_ARGS = dict(
    url=dict(type='str', required=True),
    url_username=dict(type='str', aliases=['user']),
    url_password=dict(type='str', no_log=True, aliases=['password']),
    force_basic_auth=dict(type='bool', default=False),
    validate_certs=dict(type='bool', default=True),
    use_proxy=dict(type='bool', default=True),
    ca_path=dict(type='path'),
    client_cert=dict(type='path'),
    client_key=dict(type='path', no_log=False),
    # A camera on the site network answers within a second; one that has not
    # answered in 10 s is not going to, and should not hold its fork longer.
    timeout=dict(type='int', default=10),
)


class ApiError(Exception):
    """A request that gave no usable data; ``code`` is the error reply's code."""

    def __init__(self, message, code=None):
        super(ApiError, self).__init__(message)
        self.code = code


class _Deadline(BaseException):
    """The request's time is up. Not an Exception, so that no handler in the
    URL code takes it for a network error of its own."""


@contextlib.contextmanager
def _deadline(seconds):
    """Raises _Deadline when seconds have passed, wherever the request then
    is: connecting, reading a reply that trickles in, or pausing after a busy
    one. A signal, so only in the main thread, where a module runs."""
    def expire(signum, frame):
        raise _Deadline()
    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def split_user_info(url):
    """The URL without its user information, the user name and the password
    (None when the URL has none)."""
    parts = urlsplit(url)
    if '@' not in parts.netloc:
        return url, None, None
    user_info, host = parts.netloc.rsplit('@', 1)
    user, password = (user_info.split(':', 1) + [''])[:2]
    return urlunsplit(parts._replace(netloc=host)), user, password


def _origin(url):
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    return scheme, parts.hostname, parts.port or DEFAULT_PORTS.get(scheme)


def say(key, **values):
    """The sentence of a key of the policy, with its values in place."""
    return SENTENCES[key].format(**values)


def sentence_for_code(code, what):
    """The sentence for an error reply to a get, a preview or an apply."""
    if code == POLICY['internalCode']:
        return say(POLICY['internal'].get(what, POLICY['internal']['preview']))
    # A code that is no number (a list, an object) names no sentence either.
    key = POLICY['codes'].get(code) if isinstance(code, (int, float)) else None
    return say(key) if key else say(POLICY['unknownCode'], code=code)


class Camera:
    """One camera's exposure service, reached through the module's URL options.
    ``url`` is the camera's URL without user information, the only form any
    message, diff or result shows."""

    def __init__(self, module):
        self.module = module
        params = module.params
        try:
            self.url, user, password = split_user_info(params['url'])
        except ValueError as e:
            raise ApiError('The url option is not a URL: %s' % to_native(e))
        # Credentials in the URL count as url_username and url_password,
        # which come first when given.
        if params['url_username']:
            user, password = params['url_username'], params['url_password']
        self.user, self.password = user, password
        if password:
            module.no_log_values.add(password)
        # The result echoes the module's options: the URL there without its
        # user information too.
        params['url'] = self.url
        self.timeout = params['timeout']
        if self.timeout <= 0:
            raise ApiError('timeout must be a number of seconds above 0, not %s.' % self.timeout)

    def _open(self, url, body, deadline):
        p = self.module.params
        try:
            return open_url(url, data=body, method='POST', headers={'Content-Type': 'application/json'},
                            timeout=max(deadline - time.monotonic(), 0.01), validate_certs=p['validate_certs'],
                            use_proxy=p['use_proxy'], url_username=self.user, url_password=self.password,
                            force_basic_auth=p['force_basic_auth'], follow_redirects='none',
                            ca_path=p['ca_path'], client_cert=p['client_cert'], client_key=p['client_key'],
                            http_agent='ansible-httpget')
        except HTTPError as e:
            return e  # an answer all the same, with its status, headers and body
        except Exception as e:  # refused, unreachable, TLS, a broken status line
            raise ApiError(self._no_answer(to_native(getattr(e, 'reason', e))))

    def _follow(self, url, location):
        """Where a redirect from url leads, when it stays on the camera's own
        scheme, host and port; raises ApiError otherwise."""
        if not location:
            raise ApiError("The camera's web server answered with a redirect that names no target (from %s)."
                           % self.url)
        try:
            target = split_user_info(urljoin(url, location))[0]
            same = _origin(target) == _origin(self.url)
        except ValueError:
            target, same = 'a target that is not a URL', False
        if not same:
            raise ApiError("The camera's web server redirected the request to %s, which is not on the scheme, "
                           "host and port of %s; the redirect was not followed." % (target, self.url))
        return target

    def _read(self, resp):
        """The reply's body, read up to MAX_REPLY and no further."""
        try:
            body = resp.read(MAX_REPLY + 1)
        except Exception as e:  # a read that failed or was cut off
            raise ApiError(self._no_answer(to_native(e)))
        if len(body) > MAX_REPLY:
            raise ApiError("The camera's answer is larger than %d KiB, far more than the exposure service "
                           "sends; it was not read (from %s)." % (MAX_REPLY >> 10, self.url))
        return body

    def _exchange(self, body, deadline):
        """One request, with the redirects it may follow: None on a busy
        reply, else the parsed reply."""
        url = self.url
        for hop in range(MAX_REDIRECTS + 1):
            resp = self._open(url, body, deadline)
            with contextlib.closing(resp):
                status = resp.status
                if status in REDIRECTS:
                    url = self._follow(url, resp.headers.get('Location'))
                    continue
                return self._reply(status, resp)
        raise ApiError("The camera's web server redirected the request more than %d times (from %s)."
                       % (MAX_REDIRECTS, self.url))

    def _reply(self, status, resp):
        if status == POLICY['busyStatus']:
            return None
        if status in POLICY['statuses']:
            raise ApiError('%s (HTTP %s from %s)' % (say(POLICY['statuses'][status]['key']), status, self.url))
        if status != 200:
            # What the web server said, in its own first line when it gave one.
            try:
                said = to_native(resp.read(MAX_REPLY)).strip().split('\n')[0][:200]
            except Exception:
                said = ''
            raise ApiError(say(POLICY['otherStatus']['key'], status=status, url=self.url,
                               said=said or to_native(resp.reason)))
        try:
            reply = json.loads(self._read(resp))
        except ValueError:
            reply = None
        if not isinstance(reply, dict):
            raise ApiError("The camera's answer could not be read (from %s)." % self.url)
        return reply

    def _no_answer(self, reason):
        return 'No answer from %s: %s' % (self.url, reason)

    def call(self, method, params, what, members):
        """Sends one request, retrying busy replies with a growing pause, all
        within the timeout. Returns the reply's data, which holds members
        (key, kind); raises ApiError."""
        request = dict(apiVersion='1.0', context=CONTEXT, method=method)
        if params is not None:
            request['params'] = params
        body = json.dumps(request, allow_nan=False).encode('utf-8')
        deadline = time.monotonic() + self.timeout
        try:
            with _deadline(self.timeout):
                # One attempt more than pauses: None after the last.
                for pause_ms in POLICY['busyPausesMs'] + [None]:
                    reply = self._exchange(body, deadline)
                    if reply is not None:
                        return self._data(reply, what, members)
                    if pause_ms is None or time.monotonic() + pause_ms / 1000 >= deadline:
                        break
                    time.sleep(pause_ms / 1000)
        except _Deadline:
            raise ApiError('No answer from %s within the timeout of %s s.' % (self.url, self.timeout))
        raise ApiError(say(POLICY['busyKey']))

    def _data(self, reply, what, members):
        error = reply.get('error')
        if isinstance(error, dict):
            raise ApiError(sentence_for_code(error.get('code'), what), error.get('code'))
        data = reply.get('data')
        if not isinstance(data, dict):
            raise self._unreadable('no object "data"')
        for key, kind in members:
            if key not in data:
                raise self._unreadable('no member "%s"' % key)
            if not KINDS[kind](data[key]):
                raise self._unreadable('its member "%s" is not %s' % (key, kind))
        return data

    def _unreadable(self, problem):
        return ApiError("The camera's answer could not be read: %s (from %s)." % (problem, self.url))

    def get(self):
        """The stored scene (option names) and the interval of each value."""
        data = self.call('get', None, 'get', GET_MEMBERS)
        scene = dict((name, float(data[key])) for name, key, unit in FIELDS)
        intervals = dict((name, data[key + 'Interval']) for name, key, unit in FIELDS)
        return scene, intervals

    def set(self, scene, apply):
        """The camera settings for a scene; with apply, the scene is also
        stored and the settings sent to the camera."""
        params = dict(apply=apply)
        for name, key, unit in FIELDS:
            params[key] = scene[name]
        data = self.call('set', params, 'apply' if apply else 'preview',
                         tuple((key, kind) for name, key, kind in SETTINGS))
        return dict((name, data[key]) for name, key, kind in SETTINGS)


def read_number(value):
    """A number, or the text of one as a survey or a template writes it, as a
    float. Raises ValueError saying what is wrong with it, worded to follow
    the value's name ("road_offset is ...")."""
    if isinstance(value, str):
        text = value.strip()
        if not text:
            raise ValueError('has no value')
        if not NUMBER.match(text):
            if DECIMAL_COMMA.match(text):
                raise ValueError('is "%s", with a decimal comma: write %s' % (text, text.replace(',', '.')))
            if WITH_UNIT.match(text):
                raise ValueError('is "%s", a number followed by a unit: give the number alone' % text)
            raise ValueError('is "%s", not a number' % text)
        value = float(text)
    elif isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError('is %s, not a number' % json.dumps(value, default=str))
    if not math.isfinite(value):
        raise ValueError('is %s, not a finite number' % value)
    return float(value)


def scene_options(params):
    """The scene values the module's options give, lengths in metres and the
    speed in metres per second, and the speed option given (its name, unit
    and units per m/s), None when none is. Raises ApiError for an option that
    is not a plain number, before anything is sent."""
    given, speed = {}, None
    options = [(name, unit, 1.0) for name, key, unit in FIELDS[:-1]]
    for option, unit, per_ms in options + [(o, u, f) for u, f, o in SPEED_UNITS]:
        if params.get(option) is None:
            continue
        try:
            value = read_number(params[option])
        except ValueError as e:
            raise ApiError('%s %s (%s is in %s).' % (option, e, option, unit))
        if option in SPEED_OPTIONS:
            given['car_speed'], speed = value / per_ms, (option, unit, per_ms)
        else:
            given[option] = value
    return given, speed


def wanted_scene(given, stored):
    """The scene the module's options ask for: a value left out keeps the
    stored one."""
    return dict(stored, **given)


def out_of_range(scene, intervals, speed):
    """The message for the first value outside its interval, or None; the
    speed in the unit its option was given in."""
    for name, key, unit in FIELDS:
        low, high = intervals[name]
        value = scene[name]
        # Written so that NaN counts as outside too.
        if low <= value <= high:
            continue
        if name == 'car_speed' and speed and speed[1] != unit:
            option, in_unit, per_ms = speed
            return ('%s %s (%s m/s) is outside its interval [%g, %g] %s ([%s, %s] m/s)'
                    % (option, round(value * per_ms, 6), value, round(low * per_ms, 6), round(high * per_ms, 6),
                       in_unit, low, high))
        return '%s %s is outside its interval [%s, %s] %s' % (name, value, low, high, unit)
    return None


def scene_result(scene):
    """A scene as modules return it: the four values, and the speed in km/h
    and mph too."""
    result = dict(scene)
    for unit, per_ms, option in SPEED_UNITS[1:]:
        result[option] = round(scene['car_speed'] * per_ms, 6)
    return result


def scene_text(scene):
    """A scene as lines for diff mode, the speed in km/h and mph too."""
    lines = ['%s: %r %s' % (name, scene[name], unit) for name, key, unit in FIELDS]
    lines[-1] += ' (%s)' % ', '.join('%g %s' % (round(scene['car_speed'] * per_ms, 6), unit)
                                     for unit, per_ms, option in SPEED_UNITS[1:])
    return '\n'.join(lines) + '\n'
