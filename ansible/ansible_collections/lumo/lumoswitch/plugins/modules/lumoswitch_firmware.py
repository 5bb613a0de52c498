#!/usr/bin/python
# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: lumoswitch_firmware
short_description: Inventory or update the switch board's PCIe switches with lumoswitch
version_added: 1.0.0
description:
  - Runs C(<package_dir>/lumoswitch -i) or C(-u) on the managed host, from the package
    folder, with the report written to a temporary file, and returns the parsed report.
  - The tool gets the module's own environment unchanged, so settings a site relies on
    reach it.
  - The task fails when the tool exits with a non-zero status, writes no report, writes a
    report that does not parse, or reports a switch as failed; the failure message is the
    tool's own text. The parsed data is returned with the failure too.
  - The tool must run as root, and the package folder must belong to root and not be
    writable by group or others.
options:
  package_dir:
    description:
      - The package folder on the managed host, holding C(lumoswitch), C(package.xml),
        C(payload/) and C(libstorelibit.so).
    type: path
    required: true
  action:
    description:
      - C(inventory) lists the switches and their firmware versions (C(lumoswitch -i)).
      - C(update) downloads the packaged images into the switches (C(lumoswitch -u)).
    type: str
    choices: [inventory, update]
    default: inventory
notes:
  - In check mode an inventory runs as usual (it changes nothing); an update is not run.
  - C(changed) is true only when C(update) downloaded an image into at least one switch.
author:
  - lumoswitch maintainers (@lumoswitch)
'''

EXAMPLES = r'''
- name: List the switches and their firmware
  lumo.lumoswitch.lumoswitch_firmware:
    package_dir: /opt/lumoswitch
  register: inventory

- name: Download the packaged firmware
  lumo.lumoswitch.lumoswitch_firmware:
    package_dir: /opt/lumoswitch
    action: update
  register: update

- name: Show which switches wait for a power cycle
  ansible.builtin.debug:
    msg: "{{ update.switches | selectattr('result') | map(attribute='serial') | list }}"
  when: update.reboot_required
'''

RETURN = r'''
switches:
  description:
    - One entry per switch in the report, in report order.
    - A switch the tool reports as failed without naming it has empty C(component_id),
      C(display), C(serial) and C(version).
  returned: when the tool wrote a report that parses
  type: list
  elements: dict
  contains:
    component_id:
      description: Component ID of the switch, as the package names it.
      type: str
      sample: "104101"
    display:
      description: Display name of the switch.
      type: str
      sample: LUMO Switch SW1
    serial:
      description: Platform serial number of the switch.
      type: str
      sample: PX1620SW1
    version:
      description: Firmware version the switch runs.
      type: str
      sample: 1.2.10.0
    result:
      description: Whether the inventory or update of this switch succeeded.
      type: bool
      sample: true
    message:
      description: The tool's message for this switch (empty in an inventory that succeeded).
      type: str
      sample: 'ERROR: Failed to Update Firmware'
  sample: []
reboot_required:
  description: Whether the report asks for a reboot to activate the new firmware.
  returned: always
  type: bool
  sample: false
report:
  description: The report exactly as the tool wrote it.
  returned: when the tool wrote a report
  type: str
  sample: <?xml version="1.0" encoding="UTF-8"?><SVMInventory lang="en"></SVMInventory>
rc:
  description: Exit status of the tool.
  returned: when the tool ran
  type: int
  sample: 0
stderr:
  description: What the tool wrote on standard error.
  returned: when the tool ran
  type: str
  sample: ""
'''

import os
import shutil
import tempfile
import xml.etree.ElementTree as ET

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_native, to_text

ENUM_PREFIX = 'Serial Number: '


def _switch(component_id='', display='', serial='', version='', result=False, message=''):
    return dict(component_id=component_id, display=display, serial=serial,
                version=version, result=result, message=message)


def _status(element):
    """Result and message of an SPStatus element."""
    result = (element.get('result') or '').strip() == 'true'
    message = element.findtext('Message') or ''
    return result, message


def parse_report(data):
    """Switches and the reboot flag of an inventory or update report (bytes).

    Raises ValueError when the text is not a report of either kind.
    """
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        raise ValueError('the report does not parse: %s' % to_native(e))
    if root.tag not in ('SVMInventory', 'SVMExecution'):
        raise ValueError('the report is neither an inventory nor an update report (%s)' % root.tag)
    switches = []
    reboot_required = False
    for element in root:
        if element.tag == 'Device':
            enum = element.get('enum') or ''
            serial = enum[len(ENUM_PREFIX):] if enum.startswith(ENUM_PREFIX) else enum
            application = element.find('Application')
            version = ''
            result, message = True, ''
            if application is not None:
                version = application.get('version') or ''
                status = application.find('SPStatus')
                if status is not None:
                    result, message = _status(status)
            switches.append(_switch(element.get('componentID') or '', element.get('display') or '',
                                    serial, version, result, message))
        elif element.tag == 'SPStatus':
            result, message = _status(element)
            switches.append(_switch(result=result, message=message))
        elif element.tag == 'RebootRequired':
            reboot_required = (element.text or '').strip() == '1'
    return switches, reboot_required


def _describe(switch):
    name = switch['serial'] or switch['display'] or switch['component_id']
    return '%s: %s' % (name, switch['message']) if name else switch['message']


def run_tool(module, package_dir, flag):
    """Runs the tool and returns (rc, stdout, stderr, report bytes or None)."""
    workdir = tempfile.mkdtemp(prefix='lumoswitch-', dir=module.tmpdir)
    report_path = os.path.join(workdir, 'report.xml')
    try:
        # run_command hands the tool os.environ as it is (it only drops the
        # module's own PYTHONPATH entries).
        rc, out, err = module.run_command([os.path.join(package_dir, 'lumoswitch'), flag,
                                           '-o', report_path], cwd=package_dir)
        report = None
        if os.path.exists(report_path):
            with open(report_path, 'rb') as f:
                report = f.read()
        return rc, out, err, report
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package_dir=dict(type='path', required=True),
            action=dict(type='str', choices=['inventory', 'update'], default='inventory'),
        ),
        supports_check_mode=True,
    )
    package_dir = module.params['package_dir']
    action = module.params['action']
    tool = os.path.join(package_dir, 'lumoswitch')

    if not os.path.isdir(package_dir):
        module.fail_json(msg='package folder %s does not exist' % package_dir)
    if not os.path.isfile(tool) or not os.access(tool, os.X_OK):
        module.fail_json(msg='package folder %s has no executable lumoswitch' % package_dir)
    if action == 'update' and module.check_mode:
        module.exit_json(changed=False, switches=[], reboot_required=False,
                         msg='check mode: update not run')

    flag = '-u' if action == 'update' else '-i'
    rc, out, err, report = run_tool(module, package_dir, flag)
    result = dict(changed=False, rc=rc, stderr=err, switches=[], reboot_required=False)
    tool_text = (err or out or '').strip()

    if report is not None:
        result['report'] = to_text(report, errors='surrogate_or_replace')
    if not report:
        msg = 'lumoswitch %s wrote no report (exit status %d)' % (flag, rc)
        module.fail_json(msg='%s: %s' % (msg, tool_text) if tool_text else msg, **result)
    try:
        switches, reboot_required = parse_report(report)
    except ValueError as e:
        msg = 'lumoswitch %s: %s' % (flag, to_native(e))
        module.fail_json(msg='%s; the tool said: %s' % (msg, tool_text) if tool_text else msg,
                         **result)

    result['switches'] = switches
    result['reboot_required'] = reboot_required
    # Only a switch that took its image changes anything.
    result['changed'] = action == 'update' and any(s['result'] for s in switches)

    failed = [s for s in switches if not s['result']]
    if rc != 0:
        msg = 'lumoswitch %s exited with status %d' % (flag, rc)
        module.fail_json(msg='%s: %s' % (msg, tool_text) if tool_text else msg, **result)
    if failed:
        module.fail_json(msg='; '.join(_describe(s) for s in failed), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
