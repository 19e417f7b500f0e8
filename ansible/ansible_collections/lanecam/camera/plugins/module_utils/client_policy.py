# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
# Written by tools/gen-client-policy from common/client-policy.toml, which
# says what each member means: change that file and run the command, never
# these lines.
"""What a reply from a camera's web server means, as the camera's page takes it too;
scene_api.py holds the sentences."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

POLICY = {
    'busyStatus': 503,
    'busyPausesMs': [250, 500, 1000, 2000, 4000, 4000, 4000, 4000, 4000],
    'busyKey': 'stayedBusy',
    'internalCode': 1000,
    'unknownCode': 'codeUnknown',
    'otherStatus': {'kind': 'unreadable', 'key': 'unreadableStatus'},
    'statuses': {
        502: {'kind': 'service', 'key': 'noService'},
        504: {'kind': 'service', 'key': 'lateServiceSaid'},
    },
    'codes': {1001: 'code1001', 1002: 'code1002', 1003: 'code1003', 1004: 'code1004'},
    'internal': {'get': 'getFailed', 'preview': 'previewFailed', 'apply': 'applyUnknown'},
    'readBack': {'stored': 'storedNotTaken', 'notStored': 'notStored'},
}
