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
  - Runs C(<package_dir>/lumoswitch -i) (and, to update, C(-u)) on the managed host, from
    the package folder, with each report written to a temporary file, and returns the
    parsed reports.
  - C(action=update) takes an inventory first and compares each switch's version with the
    version the package brings for its component (the C(version) attribute of its
    C(Device) in C(package.xml), else the package's C(vendorVersion); component IDs
    compared as hexadecimal numbers, as the tool does). Only when a switch the package
    lists runs another version does the module run C(lumoswitch -u). The tool downloads
    into every switch the package lists, so on a host where only some switches need the
    package the others are sent their image again.
  - A host whose switches already hold this package's images, sent in the current boot
    and waiting for the power cycle, is left alone (C(changed=false),
    C(power_cycle_pending=true)) unless I(force=true). The tool records what an update
    left waiting in C(/var/lib/lumoswitch/pending-power-cycle) (the package descriptor's
    SHA-256, the switches with their versions, the kernel's boot ID); the module reads
    it, and believes it only when that folder and file are root's alone and the boot ID
    and C(package.xml) are still the same.
  - The task fails when the tool exits with a non-zero status (with the tool's own lines
    on standard error as the message, for example a refused package file, status 2, or a
    storage library that cannot be loaded, status 3), writes no report or one that does
    not parse, or reports a switch as failed. A failed switch is named by serial,
    component ID and display name, taken from the inventory when the update report
    leaves them out, with the tool's reason.
  - A host whose storage library works but shows no switch is not a failure
    (C(no_switches=true), C(switches=[]), C(changed=false)).
  - The tool gets the module's own environment unchanged, so settings a site relies on
    reach it. It must run as root, and the package folder must belong to root and not
    be writable by group or others.
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
      - C(update) takes the inventory, then downloads the packaged images
        (C(lumoswitch -u)) when a switch the package lists runs another version.
    type: str
    choices: [inventory, update]
    default: inventory
  force:
    description:
      - With C(action=update), run C(lumoswitch -u) even when every switch runs the
        package's version or already holds it, waiting for the power cycle.
    type: bool
    default: false
  descriptor:
    description:
      - The text of the C(package.xml) the rollout delivers, as the control node holds it.
        In check mode the versions are compared with it instead of the host's
        C(package.xml), since a check run copies nothing and the host may still hold an
        earlier package. Ignored in a real run, which compares with the host's
        C(package.xml), the one the tool uses.
    type: str
attributes:
  check_mode:
    support: full
    details:
      - The inventory runs as usual (it changes nothing) and the versions are compared;
        nothing is downloaded. C(changed) is what a real run would report.
      - The versions are compared with I(descriptor) when given (the package the
        rollout would copy), else with the host's C(package.xml).
      - A package that is not on the host yet (a fresh host, whose package copy did not
        happen in check mode) is not a failure; nothing can be compared, and C(changed)
        is false.
  diff_mode:
    support: full
    details:
      - Per switch the update changes (or would change), the version before and the
        version the package brings.
notes:
  - C(changed) is true only when C(update) downloaded an image into at least one switch
    (in check mode, when it would).
author:
  - lumoswitch maintainers (@lumoswitch)
'''

EXAMPLES = r'''
- name: List the switches and their firmware
  lumo.lumoswitch.lumoswitch_firmware:
    package_dir: /opt/lumoswitch
  register: inventory

- name: Update the switches that run another version than the package's
  lumo.lumoswitch.lumoswitch_firmware:
    package_dir: /opt/lumoswitch
    action: update
  register: update

- name: Show which switches wait for a power cycle
  ansible.builtin.debug:
    msg: "{{ update.switches | selectattr('state', 'in', ['updated', 'pending power cycle'])
             | map(attribute='serial') | list }}"
  when: update.power_cycle_pending
'''

RETURN = r'''
msg:
  description:
    - What happened, in one line. On failure, why; the tool's own lines on standard
      error and each failed switch with its reason.
  returned: always
  type: str
  sample: "switch PX1620SW2 (component 104102, LUMO Switch SW2): ERROR: Failed to Update Firmware"
switches:
  description:
    - One entry per switch, in the order the tool found them. With C(action=update),
      the switches of the inventory, each with what the update did (or would do) to it,
      followed by failures the update report names no switch for.
    - Empty when the tool found no switch, or did not run.
  returned: always
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
      description: Firmware version the switch ran when the inventory was taken (before any
        download of this task).
      type: str
      sample: 1.2.10.0
    package_version:
      description: Firmware version the package brings for the switch's component; empty
        when the package does not list it (or, with C(action=inventory), has no usable
        C(package.xml)).
      type: str
      sample: 1.3.0.0
    version_after:
      description: Firmware version the switch runs after its next power cycle, as far as
        this task knows (the package's when its image was taken or is waiting, else
        C(version)).
      type: str
      sample: 1.3.0.0
    state:
      description:
        - C(listed) (an inventory without a usable C(package.xml)), C(up to date),
          C(not in package), C(no package version) (the package lists the component
          without a version, so there is nothing to compare and the switch is sent its
          image only with I(force)), C(needs update) (inventory, the package brings
          another version),
          C(pending power cycle) (holds the package's image from an earlier run of this
          boot), C(would update) (check mode), C(updated), C(failed).
      type: str
      sample: updated
    result:
      description: Whether the inventory or update of this switch succeeded.
      type: bool
      sample: true
    message:
      description: The tool's message for this switch (empty in an inventory that
        succeeded).
      type: str
      sample: 'ERROR: Failed to Update Firmware'
  sample: []
no_switches:
  description: The tool ran with a working storage library and found no switch.
  returned: always
  type: bool
  sample: false
reboot_required:
  description: Whether a reboot activates the new firmware (the power cycle is staged with
    the management controller, by this run or an earlier one of this boot).
  returned: always
  type: bool
  sample: false
power_cycle_pending:
  description: Whether switches of this host hold the package's images waiting for a power
    cycle (sent by this task or, in the current boot, by an earlier one).
  returned: always
  type: bool
  sample: false
inventory_report:
  description: The inventory report exactly as the tool wrote it (C(action=update)).
  returned: when the update's inventory wrote a report
  type: str
  sample: <?xml version="1.0" encoding="UTF-8"?><SVMInventory lang="en"></SVMInventory>
update_report:
  description: The update report exactly as the tool wrote it (C(action=update), when
    C(lumoswitch -u) ran).
  returned: when the update ran and wrote a report
  type: str
  sample: <?xml version="1.0" encoding="UTF-8"?><SVMExecution lang="en"></SVMExecution>
report:
  description: The report of the tool's last run exactly as written (the inventory
    report, or the update report when the update ran).
  returned: when the tool wrote a report
  type: str
  sample: <?xml version="1.0" encoding="UTF-8"?><SVMInventory lang="en"></SVMInventory>
rc:
  description: Exit status of the tool's last run.
  returned: when the tool ran
  type: int
  sample: 0
stderr:
  description: What the tool wrote on standard error (all its runs).
  returned: when the tool ran
  type: str
  sample: ""
'''

import errno
import hashlib
import os
import shutil
import stat
import tempfile
import xml.etree.ElementTree as ET

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_native, to_text
from ansible.module_utils.six.moves.urllib.parse import unquote_to_bytes

ENUM_PREFIX = 'Serial Number: '
STATE_FOLDER = '/var/lib/lumoswitch'
PENDING_FILE = 'pending-power-cycle'
PENDING_HEADER = 'lumoswitch-pending-power-cycle 1'
BOOT_ID = '/proc/sys/kernel/random/boot_id'
MAX_PENDING_BYTES = 65536


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


def _component_key(component):
    """A component ID as the tool compares them: a hexadecimal number."""
    try:
        return int(component, 16)
    except (TypeError, ValueError):
        return component


def package_versions(descriptor):
    """Firmware version per component ID of a package descriptor (bytes).

    A Device element's own version attribute wins; otherwise the package's
    vendorVersion applies. Raises ValueError when it does not parse.
    """
    try:
        root = ET.fromstring(descriptor)
    except ET.ParseError as e:
        raise ValueError('package.xml does not parse: %s' % to_native(e))
    default = root.get('vendorVersion') or ''
    versions = {}
    for device in root.findall('./SupportedDevices/Device'):
        component = device.get('componentID')
        if component:
            versions[component] = device.get('version') or default
    return versions


def version_for(versions, component):
    """The package's version for a switch's component ID: None when the
    package does not list it, '' when it lists it without a version."""
    key = _component_key(component)
    for listed, version in versions.items():
        if _component_key(listed) == key:
            return version
    return None


def _untrusted(info, expect_dir):
    if stat.S_ISLNK(info.st_mode):
        return 'is a symbolic link'
    if expect_dir != stat.S_ISDIR(info.st_mode) or not (expect_dir or stat.S_ISREG(info.st_mode)):
        return 'is not a %s' % ('folder' if expect_dir else 'regular file')
    if info.st_uid not in (0, os.geteuid()):
        return 'is not owned by root'
    if info.st_mode & (0o077 if expect_dir else 0o022):
        return 'is open to other users' if expect_dir else 'is writable by group or others'
    return None


def parse_pending(text):
    """The tool's pending-power-cycle record (bytes) as a dict, or None."""
    lines = text.decode('ascii', 'replace').splitlines()
    if not lines or lines[0] != PENDING_HEADER:
        return None

    def word(w):
        return to_text(unquote_to_bytes(w), errors='surrogate_or_replace')

    record = dict(boot='', package='', folder='', staged=False, switches=[])
    for line in lines[1:]:
        words = [word(w) for w in line.split(' ')]
        if words[0] == 'boot' and len(words) == 2:
            record['boot'] = words[1]
        elif words[0] == 'package' and len(words) == 3:
            record['package'], record['folder'] = words[1], words[2]
        elif words[0] == 'power-cycle' and len(words) == 2:
            record['staged'] = words[1] == 'staged'
        elif words[0] == 'switch' and len(words) == 5:
            record['switches'].append(dict(component_id=words[1], version=words[2],
                                           package_version=words[3], serial=words[4]))
        else:
            return None
    return record


def read_pending(folder=None):
    """(record, why): the pending-power-cycle record when it may be believed.

    The folder and the file must be root's alone, not links; every folder
    above root's and writable by nobody else (unless sticky), so that no
    other user could have put the record there or changed it.
    """
    folder = folder or STATE_FOLDER
    path = os.path.join(folder, PENDING_FILE)
    parent = os.path.dirname(folder)
    while True:
        try:
            info = os.lstat(parent)
        except OSError as e:
            return None, '%s: %s' % (parent, to_native(e.strerror))
        if (not stat.S_ISDIR(info.st_mode) or info.st_uid not in (0, os.geteuid())
                or (info.st_mode & 0o022 and not info.st_mode & stat.S_ISVTX)):
            return None, '%s may be changed by other users' % parent
        if parent == os.path.dirname(parent):
            break
        parent = os.path.dirname(parent)
    try:
        why = _untrusted(os.lstat(folder), True)
    except OSError:
        return None, 'no record'
    if why:
        return None, '%s %s' % (folder, why)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as e:
        return None, '%s is a symbolic link' % path if e.errno == errno.ELOOP else 'no record'
    try:
        info = os.fstat(fd)
        why = _untrusted(info, False)
        if why:
            return None, '%s %s' % (path, why)
        if info.st_size > MAX_PENDING_BYTES:
            return None, '%s is too large' % path
        data = os.read(fd, MAX_PENDING_BYTES + 1)
    finally:
        os.close(fd)
    record = parse_pending(data)
    return record, None if record else '%s is not a record of the tool' % path


def boot_id():
    try:
        with open(BOOT_ID) as f:
            return f.read().strip()
    except (IOError, OSError):
        return ''


def pending_covers(record, boot, digest, needing):
    """Whether the record speaks for every switch in `needing` in this boot.

    `needing` are inventory switches (with package_version) that run another
    version than the package's.
    """
    if not record or not needing or not boot or record['boot'] != boot:
        return False
    if record['package'] != digest:
        return False
    held = set((_component_key(s['component_id']), s['serial'], s['package_version'])
               for s in record['switches'])
    return all((_component_key(s['component_id']), s['serial'], s['package_version']) in held
               for s in needing)


def describe(switch):
    """A switch by name and its reason, for a failure message."""
    name = switch.get('serial') or ''
    detail = ', '.join(x for x in ('component %s' % switch['component_id']
                                   if switch.get('component_id') else '',
                                   switch.get('display') or '') if x)
    if name and detail:
        name = '%s (%s)' % (name, detail)
    else:
        name = name or detail
    text = switch.get('message') or 'no message'
    return 'switch %s: %s' % (name, text) if name else text


def pair_update(inventory, entries):
    """Update report entries matched with the inventory switches they stand for.

    The tool reports a switch it could not update without its name, in the
    order it handled the switches: the inventory's switches the package lists.
    Returns (pairs, unmatched entries).
    """
    if len(entries) == len(inventory):
        return list(zip(inventory, entries)), []
    by_serial = dict((e['serial'], e) for e in entries if e.get('serial'))
    pairs = []
    for s in inventory:
        if s['serial'] in by_serial:
            pairs.append((s, by_serial.pop(s['serial'])))
    named = set(id(e) for _, e in pairs)
    return pairs, [e for e in entries if id(e) not in named]


class Tool(object):
    def __init__(self, module, package_dir):
        self.module = module
        self.package_dir = package_dir
        self.stderr = ''
        self.rc = None

    def run(self, flag):
        """Runs the tool; (rc, stdout, stderr, report bytes or None)."""
        workdir = tempfile.mkdtemp(prefix='lumoswitch-', dir=self.module.tmpdir)
        report_path = os.path.join(workdir, 'report.xml')
        try:
            # run_command hands the tool os.environ as it is (it only drops the
            # module's own PYTHONPATH entries).
            rc, out, err = self.module.run_command(
                [os.path.join(self.package_dir, 'lumoswitch'), flag, '-o', report_path],
                cwd=self.package_dir)
            report = None
            if os.path.exists(report_path):
                with open(report_path, 'rb') as f:
                    report = f.read()
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        self.rc = rc
        self.stderr += err or ''
        return rc, out, err, report


class Run(object):
    """One task: the result it builds and the ways it ends."""

    def __init__(self, module):
        self.module = module
        self.result = dict(changed=False, msg='', switches=[], no_switches=False,
                           reboot_required=False, power_cycle_pending=False)

    def fail(self, msg):
        self.result['msg'] = msg
        self.module.fail_json(**self.result)

    def done(self, msg):
        self.result['msg'] = msg
        self.module.exit_json(**self.result)

    def report(self, tool, flag):
        """Runs the tool with `flag`: (switches or None, reboot flag, problem or None).

        The problem is what ends the task: a non-zero status with the tool's
        own lines, no report, a report that does not parse.
        """
        rc, out, err, report = tool.run(flag)
        self.result['rc'] = tool.rc
        self.result['stderr'] = tool.stderr
        text = (err or out or '').strip()
        said = '; '.join(line.strip() for line in text.splitlines() if line.strip())
        if report is not None:
            self.result['report'] = to_text(report, errors='surrogate_or_replace')
        problem = None
        if rc != 0:
            problem = 'lumoswitch %s failed with exit status %d' % (flag, rc)
            problem = '%s: %s' % (problem, said) if said else problem
        switches, reboot_required = None, False
        if not report:
            if problem is None:
                problem = 'lumoswitch %s wrote no report' % flag
                problem = '%s: %s' % (problem, said) if said else problem
            return None, False, problem
        try:
            switches, reboot_required = parse_report(report)
        except ValueError as e:
            if problem is None:
                problem = 'lumoswitch %s: %s' % (flag, to_native(e))
                problem = '%s; the tool said: %s' % (problem, said) if said else problem
        return switches, reboot_required, problem


def _entry(switch, **changes):
    entry = dict(switch)
    entry.setdefault('package_version', '')
    entry.setdefault('version_after', switch['version'])
    entry.setdefault('state', 'listed' if switch['result'] else 'failed')
    entry.update(changes)
    return entry


def read_descriptor(package_dir):
    """package.xml's bytes, read as the tool reads it: root's own regular file,
    not a link, in a folder of root's that nobody else may write. Raises
    ValueError saying why not."""
    path = os.path.join(package_dir, 'package.xml')
    info = os.lstat(package_dir)
    if (stat.S_ISLNK(info.st_mode) or info.st_uid not in (0, os.geteuid())
            or info.st_mode & 0o022):
        raise ValueError('its folder %s may be changed by other users' % package_dir)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as e:
        raise ValueError(to_native(e.strerror))
    try:
        why = _untrusted(os.fstat(fd), False)
        if why:
            raise ValueError('it %s' % why)
        chunks = []
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
            if sum(len(c) for c in chunks) > 16 << 20:
                raise ValueError('it is larger than 16 MiB')
        return b''.join(chunks)
    finally:
        os.close(fd)


def diff_of(entries):
    before = ''.join('%s (%s): %s\n' % (e['serial'], e['component_id'], e['version'])
                     for e in entries)
    after = ''.join('%s (%s): %s\n' % (e['serial'], e['component_id'], e['version_after'])
                    for e in entries)
    return dict(before_header='switch firmware before', after_header='switch firmware after',
                before=before, after=after)


def take_inventory(run, tool, package_dir, need_package, expected=None):
    """The inventory, compared with the package: the entries of the switches
    found and the package's descriptor (None when it cannot be used and the
    task does not need it). `expected` (bytes), when given, stands for the
    host's package.xml."""
    switches, _, problem = run.report(tool, '-i')
    if switches is not None:
        run.result['switches'] = [_entry(s) for s in switches]
        run.result['no_switches'] = not switches and problem is None
    if problem:
        run.fail(problem)
    failed = [s for s in switches if not s['result']]
    if failed:
        run.fail('inventory failed: ' + '; '.join(describe(s) for s in failed))
    try:
        descriptor = expected if expected is not None else read_descriptor(package_dir)
        versions = package_versions(descriptor)
    except (OSError, ValueError) as e:
        if need_package:
            where = 'given' if expected is not None else 'in %s' % package_dir
            run.fail('package.xml %s cannot be used: %s' % (where, to_native(e)))
        return run.result['switches'], None

    entries = run.result['switches']
    for e in entries:
        wanted = version_for(versions, e['component_id'])
        e['package_version'] = wanted or ''
        e['state'] = ('not in package' if wanted is None else
                      'no package version' if not wanted else
                      'up to date' if wanted == e['version'] else 'needs update')
    needing = [e for e in entries if e['state'] == 'needs update']
    record, _ = read_pending()
    if pending_covers(record, boot_id(), hashlib.sha256(descriptor).hexdigest(), needing):
        for e in needing:
            e.update(state='pending power cycle', version_after=e['package_version'])
        run.result['power_cycle_pending'] = True
        run.result['reboot_required'] = bool(record['staged'])
    return entries, descriptor


def update(run, tool, package_dir, force):
    module = run.module
    expected = None
    if module.check_mode and module.params['descriptor'] is not None:
        expected = to_bytes(module.params['descriptor'], errors='surrogate_or_strict')
    entries, _ = take_inventory(run, tool, package_dir, True, expected)
    run.result['inventory_report'] = run.result.get('report')
    if not entries:
        run.done('no switch found')
    # What the tool downloads into: every switch the package lists.
    supported = [e for e in entries if e['state'] != 'not in package']
    if not supported:
        run.done('the package lists none of the switches')
    waiting = [e for e in supported if e['state'] == 'pending power cycle']
    if not force and not any(e['state'] == 'needs update' for e in supported):
        if waiting:
            run.done('the package waits for the power cycle in %d switch(es); nothing sent'
                     % len(waiting))
        if any(e['state'] == 'no package version' for e in supported):
            run.done('package.xml gives no version to compare with; nothing sent (force '
                     'sends it)')
        run.done('every switch the package lists runs its version')

    if module.check_mode:
        for e in supported:
            e.update(state='would update', version_after=e['package_version'])
        run.result['changed'] = True
        if module._diff:
            run.result['diff'] = diff_of(supported)
        run.done('check mode: %d switch(es) would be updated' % len(supported))

    run.result.pop('report', None)
    report_switches, reboot_required, problem = run.report(tool, '-u')
    if 'report' in run.result:
        run.result['update_report'] = run.result['report']
    report_switches = report_switches or []
    pairs, unmatched = pair_update(supported, report_switches)
    touched = set()
    for e, got in pairs:
        touched.add(id(e))
        if got['result']:
            e.update(state='updated', version_after=e['package_version'], result=True,
                     message=got['message'])
        else:
            e.update(state='failed', version_after=e['version'], result=False,
                     message=got['message'])
    if report_switches or problem is None:
        for e in supported:
            if id(e) not in touched:
                e.update(state='failed', version_after=e['version'], result=False,
                         message='not in the update report')
    failures = [_entry(u, state='failed') for u in unmatched]
    run.result['switches'] = entries + failures
    updated = [e for e in entries if e['state'] == 'updated']
    run.result['changed'] = bool(updated)
    run.result['reboot_required'] = reboot_required
    run.result['power_cycle_pending'] = bool(updated)
    if module._diff and updated:
        run.result['diff'] = diff_of(updated)
    failed = [e for e in run.result['switches'] if e['state'] == 'failed']
    reasons = ([problem] if problem else []) + [describe(e) for e in failed]
    if reasons:
        run.fail('; '.join(reasons))
    run.done('%d switch(es) updated, %s' % (
        len(updated), 'power cycle staged' if reboot_required
        else 'power cycle the system manually'))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package_dir=dict(type='path', required=True),
            action=dict(type='str', choices=['inventory', 'update'], default='inventory'),
            force=dict(type='bool', default=False),
            descriptor=dict(type='str'),
        ),
        supports_check_mode=True,
    )
    package_dir = module.params['package_dir']
    run = Run(module)
    executable = os.path.join(package_dir, 'lumoswitch')

    usable = os.path.isfile(executable) and os.access(executable, os.X_OK)
    if module.check_mode and not usable:
        # A check run copies nothing: the package is not on a fresh host yet.
        run.done('check mode: the package is not on the host yet (%s); nothing compared'
                 % package_dir)
    if not os.path.isdir(package_dir):
        run.fail('package folder %s does not exist' % package_dir)
    if not usable:
        run.fail('package folder %s has no executable lumoswitch' % package_dir)

    tool = Tool(module, package_dir)
    if module.params['action'] == 'update':
        update(run, tool, package_dir, module.params['force'])
    entries, _ = take_inventory(run, tool, package_dir, False)
    run.done('%d switch(es) listed' % len(entries) if entries else 'no switch found')


if __name__ == '__main__':
    main()
