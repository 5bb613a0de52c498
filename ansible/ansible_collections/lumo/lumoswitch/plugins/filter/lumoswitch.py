# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Filters the lumoswitch role uses to decide and to report a rollout.

Their documentation is in the YAML file of each filter beside this one
(ansible-doc -t filter lumo.lumoswitch.NAME).
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import xml.etree.ElementTree as ET

from ansible.errors import AnsibleFilterError
from ansible.module_utils.common.text.converters import to_bytes, to_native

UNNAMED = '-'


def package_versions(descriptor):
    """Firmware version per component ID of a package descriptor (package.xml text).

    A Device element's own version attribute wins; otherwise the package's
    vendorVersion applies to every component it lists.
    """
    try:
        root = ET.fromstring(to_bytes(descriptor))
    except ET.ParseError as e:
        raise AnsibleFilterError('package.xml does not parse: %s' % to_native(e))
    default = root.get('vendorVersion') or ''
    versions = {}
    for device in root.findall('./SupportedDevices/Device'):
        component = device.get('componentID')
        version = device.get('version') or default
        if component and version:
            versions[component] = version
    return versions


def host_reports(reports_dir, host):
    """The folder of a host's reports: <reports_dir>/<host>.

    The host name comes from the inventory, which may be built from names
    others chose: one that is not a plain file name (a slash, "." or "..", a
    control character) could put reports, or remove them, outside the
    reports folder, and is refused.
    """
    host = to_native(host)
    if (not host or host in ('.', '..') or '/' in host
            or any(ord(c) < 0x20 or ord(c) == 0x7f for c in host)):
        raise AnsibleFilterError('host name %r is not a plain file name: its reports would not '
                                 'stay in %s' % (host, reports_dir))
    return os.path.join(to_native(reports_dir), host)


def pending(switches, versions):
    """The switches of an inventory whose version differs from the package's."""
    return [s for s in switches if s.get('result') and s.get('component_id') in versions
            and s.get('version') != versions[s['component_id']]]


def _row(host, switch, result):
    return dict(host=host,
                switch=switch.get('serial') or switch.get('display') or UNNAMED,
                display=switch.get('display') or '',
                component_id=switch.get('component_id') or '',
                version_before=switch.get('version') or '',
                version_after=switch.get('version_after') or switch.get('version') or '',
                result=result)


def _text(switch, update):
    state = switch.get('state') or ''
    if state == 'updated':
        return ('updated, power cycle staged' if update.get('reboot_required')
                else 'updated, power cycle the system manually')
    if state == 'failed':
        return 'failed: %s' % (switch.get('message') or 'no message')
    if state == 'pending power cycle':
        return ('power cycle pending: staged earlier' if update.get('reboot_required')
                else 'power cycle pending: power cycle the system manually')
    if state == 'needs update':
        return 'failed: %s' % update.get('msg') if update.get('failed') else 'not updated'
    return state or 'listed'


def outcome(update, host=''):
    """One row per switch of a host, from the module's update result: version
    before and after, and what happened to it. A host the update says
    nothing of by switch (no switch, no usable library, a refused package
    file, no package folder in check mode) gets one row that says why."""
    update = update or {}
    switches = update.get('switches') or []
    if switches:
        return [_row(host, s, _text(s, update)) for s in switches]
    if update.get('failed'):
        result = 'failed: %s' % (update.get('msg') or 'no message')
    elif update.get('no_switches'):
        result = 'no switch found'
    elif update.get('skipped'):
        result = 'not run'
    else:
        result = update.get('msg') or 'nothing reported'
    return [dict(host=host, switch=UNNAMED, display='', component_id='', version_before='',
                 version_after='', result=result)]


class FilterModule(object):
    def filters(self):
        return {
            'package_versions': package_versions,
            'host_reports': host_reports,
            'pending': pending,
            'outcome': outcome,
        }
