# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: scene_info
short_description: Read the scene a traffic camera is set to
description:
  - Reads the scene stored on a camera, the interval the camera allows for
    each value, and the camera settings that a preview of the stored scene
    gives.
  - Never changes anything; the preview neither stores nor reaches the camera.
version_added: 1.0.0
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
  - lanecam.camera.connection
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    platforms: posix
seealso:
  - module: lanecam.camera.scene
author:
  - lanecamd developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Read what each camera is set to
  lanecam.camera.scene_info:
    url: "{{ camera_url }}"
  delegate_to: localhost
  register: camera

- name: Show the longest exposure
  ansible.builtin.debug:
    msg: "{{ camera.settings.max_shutter }} µs at {{ camera.scene.car_speed_kmh }} km/h"
'''

RETURN = r'''
scene:
  description:
    - The stored scene; lengths in metres, the speed in metres per second, kilometres per hour and miles per
      hour.
  returned: success
  type: dict
  sample:
    road_offset: 3.0
    car_distance: 20.0
    camera_height: 4.0
    car_speed: 10.0
    car_speed_kmh: 36.0
    car_speed_mph: 22.369363
intervals:
  description: The lowest and highest value the camera accepts for each scene value.
  returned: success
  type: dict
  sample:
    road_offset: [-20, 20]
    car_distance: [0, 200]
    camera_height: [0, 20]
    car_speed: [0, 70]
settings:
  description: The camera settings the exposure service computes for the stored scene.
  returned: success
  type: dict
  contains:
    max_gain:
      description: Highest sensor gain.
      type: float
      sample: 24.0
    max_shutter:
      description: Longest exposure, in microseconds.
      type: float
      sample: 4123.10546875
    wdr:
      description: Wide dynamic range on.
      type: bool
      sample: false
    ir_cut:
      description: IR-cut filter mode, C(on), C(off) or C(auto).
      type: str
      sample: auto
    iris_enabled:
      description: Automatic iris on.
      type: bool
      sample: true
    iris_position:
      description: Iris position used when the automatic iris is off.
      type: int
      sample: 0
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.lanecam.camera.plugins.module_utils.scene_api import (
    CONNECTION_ARGS, ApiError, Camera, scene_result)


def main():
    module = AnsibleModule(argument_spec=dict(CONNECTION_ARGS), supports_check_mode=True)
    try:
        camera = Camera(module)
        scene, intervals = camera.get()
        settings = camera.set(scene, False)
    except ApiError as e:
        module.fail_json(msg=str(e))
    module.exit_json(changed=False, scene=scene_result(scene), intervals=intervals,
                     settings=settings)


if __name__ == '__main__':
    main()
