# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
# The options every module of the collection takes to reach a camera.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r'''
options:
  url:
    description:
      - The camera's C(roadshotwizard.cgi), for example C(https://10.20.12.11/local/lanecam/roadshotwizard.cgi).
      - HTTP or HTTPS. The request is a POST of JSON, as the camera's own page sends it.
    type: str
    required: true
  url_username:
    description:
      - The user name for the camera's web server.
      - Basic and digest authentication work as in every other module that
        uses Ansible's URL handling; see I(force_basic_auth).
    type: str
    aliases: [user]
  url_password:
    description:
      - The password for I(url_username).
    type: str
    aliases: [password]
  force_basic_auth:
    description:
      - Send basic authentication with the first request instead of waiting
        for the web server's challenge.
    type: bool
    default: false
  validate_certs:
    description:
      - Check the camera's HTTPS certificate. Turn off only for a camera
        whose self-signed certificate you know.
    type: bool
    default: true
  use_proxy:
    description:
      - Use the proxy of the environment variables, if any.
    type: bool
    default: true
  timeout:
    description:
      - Seconds to wait for each answer of the camera.
      - A busy camera (HTTP 503) is asked again with a growing pause, up to
        ten times, whatever this says.
    type: int
    default: 30
notes:
  - >-
    The module runs where Ansible runs and reaches the camera over the
    network; use it with C(connection: local) or C(delegate_to: localhost).
'''
