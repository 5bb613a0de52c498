# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Filters the lumoswitch role uses to decide and to report a rollout."""

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


def _supported(switches, versions):
    return [s for s in switches if s.get('result') and s.get('component_id') in versions]


def pending(switches, versions):
    """The switches of an inventory whose version differs from the package's."""
    return [s for s in _supported(switches, versions)
            if s.get('version') != versions[s['component_id']]]


def _row(host, switch, before, after, result):
    return dict(host=host,
                switch=switch.get('serial') or switch.get('display') or UNNAMED,
                display=switch.get('display') or '',
                component_id=switch.get('component_id') or '',
                version_before=before, version_after=after, result=result)


def _update_text(entry, reboot_required):
    if not entry.get('result'):
        return 'failed: %s' % (entry.get('message') or 'no message')
    if reboot_required:
        return 'updated, power cycle staged'
    return 'updated, power cycle the system manually'


def outcome(inventory, versions, update=None, host=''):
    """One row per switch of a host: version before and after, and what happened.

    `inventory` is the module's inventory result, `update` its update result
    (None or skipped when the host needed no update). The update report names a
    switch it could not update only by its message, so its entries are paired
    with the inventory's package switches in order, the order the tool handles
    them in; a report of another length is paired by serial instead.
    """
    inventory = inventory or {}
    switches = inventory.get('switches') or []
    rows = []
    for s in switches:
        if not s.get('result'):
            rows.append(_row(host, s, '', '', 'inventory failed: %s' % (s.get('message') or '')))
        elif s.get('component_id') not in versions:
            rows.append(_row(host, s, s.get('version', ''), s.get('version', ''), 'not in package'))
    supported = _supported(switches, versions)

    ran = bool(update) and not update.get('skipped') and 'switches' in update
    if not ran:
        for s in supported:
            up_to_date = s.get('version') == versions[s['component_id']]
            result = 'up to date' if up_to_date else 'not updated'
            if update and update.get('failed'):
                result = 'failed: %s' % update.get('msg', '')
            rows.append(_row(host, s, s['version'], s['version'], result))
        return rows

    entries = update.get('switches') or []
    reboot = bool(update.get('reboot_required'))
    if len(entries) == len(supported):
        pairs = list(zip(supported, entries))
    else:
        by_serial = dict((e.get('serial'), e) for e in entries if e.get('serial'))
        missing = {'result': False, 'message': update.get('msg', 'not in the update report')}
        pairs = [(s, by_serial.get(s.get('serial'), missing)) for s in supported]
    for s, entry in pairs:
        after = versions[s['component_id']] if entry.get('result') else s['version']
        rows.append(_row(host, s, s['version'], after, _update_text(entry, reboot)))
    return rows


def failures(rows):
    """What failed on a host, switch by switch, for a task message."""
    failed = [r for r in rows if r['result'].startswith(('failed', 'inventory failed'))]
    return '; '.join('switch %s (component %s): %s'
                     % (r['switch'], r['component_id'] or UNNAMED, r['result']) for r in failed)


class FilterModule(object):
    def filters(self):
        return {
            'package_versions': package_versions,
            'host_reports': host_reports,
            'pending': pending,
            'outcome': outcome,
            'failures': failures,
        }
