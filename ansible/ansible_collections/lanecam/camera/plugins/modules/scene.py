# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: scene
short_description: Set the scene a traffic camera photographs vehicles in
description:
  - Stores the scene of a camera (where it stands beside the road, where
    vehicles are photographed and how fast they drive) and sends the camera
    settings that follow from it, exactly as the camera's own page does
    with I(Apply).
  - Reads the stored scene first. When it already equals the wanted one the
    module reports C(changed=false) and sends nothing that changes anything;
    it still asks for a preview, so that the settings are returned.
  - Each value is checked against the interval the camera reports, and the
    module fails before sending anything when one lies outside.
  - In check mode only a preview is asked for; nothing is stored and
    nothing reaches the camera. Diff mode shows the scene before and after.
version_added: 1.0.0
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
  - lanecam.camera.connection
options:
  road_offset:
    description:
      - Sideways offset between the camera and the vehicles' track, in metres.
      - Left out, the stored value is kept; likewise for the other values.
      - Each value is a plain number, or the text of one with a decimal point
        (C("3.5")). A text with a unit (C("3.5 m")) or a decimal comma
        (C("3,5")) fails the host before anything is sent, saying so; the
        option's name says the unit.
    type: raw
  car_distance:
    description:
      - Distance along the road from the camera to the capture point, in metres.
    type: raw
  camera_height:
    description:
      - Height of the camera above the vehicles, in metres.
    type: raw
  car_speed:
    description:
      - Speed of the vehicles, in metres per second.
      - At most one of I(car_speed), I(car_speed_kmh) and I(car_speed_mph).
    type: raw
  car_speed_kmh:
    description:
      - Speed of the vehicles, in kilometres per hour; stored as metres per
        second (I(car_speed_kmh) divided by 3.6).
    type: raw
  car_speed_mph:
    description:
      - Speed of the vehicles, in miles per hour; stored as metres per second
        (1 mph is 0.44704 m/s).
    type: raw
    version_added: 1.1.0
  force:
    description:
      - Apply even when the stored scene equals the wanted one.
      - After a failure saying that the scene was stored but the camera did
        not take all settings, the stored scene already equals the wanted one;
        a run with I(force=true) sends the settings again.
    type: bool
    default: false
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: posix
notes:
  - An error reply of the camera fails the host with a sentence that tells
    what the camera's page tells of it, worded for the playbook's operator.
    After an apply that the camera answered with
    an internal error, the module reads the stored scene again and says
    whether the scene was stored (and the camera did not take all settings)
    or nothing was stored; when it cannot read the scene back, it says so.
seealso:
  - module: lanecam.camera.scene_info
author:
  - lanecamd developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Commission a camera from the site survey
  lanecam.camera.scene:
    url: "https://{{ inventory_hostname }}/local/lanecam/roadshotwizard.cgi"
    url_username: commissioning
    url_password: "{{ vault_camera_password }}"
    road_offset: 3.5
    car_distance: 25
    camera_height: 6
    car_speed_kmh: 130
  delegate_to: localhost

- name: Reach the site's cameras the same way, set once for every module of the collection
  module_defaults:
    group/lanecam.camera.camera:
      url: "{{ camera_url }}"
      url_username: commissioning
      url_password: "{{ vault_camera_password }}"
      ca_path: /etc/ssl/certs/site-ca.pem
  delegate_to: localhost
  block:
    - name: Commission a camera surveyed in miles per hour
      lanecam.camera.scene:
        road_offset: 2
        car_distance: 30
        camera_height: 7
        car_speed_mph: 55

- name: Only the speed changes; the other values stay as stored
  lanecam.camera.scene:
    url: http://127.0.0.1:8080/roadshotwizard.cgi
    car_speed: 22.2
  delegate_to: localhost

- name: Send the settings again after the camera did not take them
  lanecam.camera.scene:
    url: "{{ camera_url }}"
    road_offset: 3.5
    car_distance: 25
    camera_height: 6
    car_speed_kmh: 130
    force: true
  delegate_to: localhost
'''

RETURN = r'''
scene:
  description:
    - The scene as stored after the run (in check mode, as it would be).
    - Lengths in metres, the speed in metres per second, kilometres per hour and miles per hour.
  returned: success
  type: dict
  sample:
    road_offset: 3.5
    car_distance: 25.0
    camera_height: 6.0
    car_speed: 36.11111111111111
    car_speed_kmh: 130.0
    car_speed_mph: 80.778255
previous:
  description: The scene that was stored before the run.
  returned: success
  type: dict
  sample:
    road_offset: 3.0
    car_distance: 20.0
    camera_height: 4.0
    car_speed: 10.0
    car_speed_kmh: 36.0
    car_speed_mph: 22.369363
settings:
  description: The camera settings the exposure service computed for the scene.
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
      sample: 1141.7830810546875
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
stored:
  description:
    - Whether the wanted scene is stored on the camera. Also returned when an
      apply failed, after the module read the stored scene again.
  returned: always
  type: bool
  sample: true
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.lanecam.camera.plugins.module_utils.scene_api import (
    CONNECTION_ARGS, FIELDS, POLICY, SPEED_OPTIONS, ApiError, Camera, out_of_range, say, scene_options,
    scene_result, scene_text, wanted_scene)


def main():
    argument_spec = dict(CONNECTION_ARGS)
    # Numbers, read by scene_options so that a text with a unit fails with a
    # sentence that says so.
    argument_spec.update((name, dict(type='raw')) for name in [f[0] for f in FIELDS[:-1]] + list(SPEED_OPTIONS))
    argument_spec.update(force=dict(type='bool', default=False))
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           mutually_exclusive=[SPEED_OPTIONS])
    result = dict(changed=False, stored=False)

    try:
        camera = Camera(module)  # sends nothing, and takes the credentials out of url first
        given, speed = scene_options(module.params)
        stored, intervals = camera.get()
    except ApiError as e:
        module.fail_json(msg=str(e), **result)
    wanted = wanted_scene(given, stored)
    refused = out_of_range(wanted, intervals, speed)
    if refused:
        module.fail_json(msg=refused, intervals=intervals, **result)

    result.update(previous=scene_result(stored), scene=scene_result(wanted))
    result['changed'] = wanted != stored or module.params['force']
    if module._diff and wanted != stored:
        result['diff'] = dict(before=scene_text(stored), after=scene_text(wanted),
                              before_header=camera.url, after_header=camera.url)
    result['stored'] = wanted == stored
    apply = result['changed'] and not module.check_mode
    try:
        result['settings'] = camera.set(wanted, apply)
    except ApiError as e:
        message = str(e)
        if apply:
            # Whether the scene was stored is told by the stored scene alone.
            try:
                now = camera.get()[0]
            except ApiError:
                now = None
            result['stored'] = now == wanted
            result['changed'] = result['stored'] and wanted != stored
            # Without the stored scene, the error's own sentence says that
            # it could not be told.
            if e.code == POLICY['internalCode'] and now is not None:
                message = say(POLICY['readBack']['stored' if result['stored'] else 'notStored'])
        module.fail_json(msg=message, **result)
    result['stored'] = result['stored'] or apply
    module.exit_json(**result)


if __name__ == '__main__':
    main()
