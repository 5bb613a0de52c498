#!/usr/bin/python3
"""The collection's module and filters without hosts: report parsing, the
module's verdicts against stand-in tools, and the rollout's per-switch outcome."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

# Importing the plugins leaves no compiled files in the source tree.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.join(os.path.dirname(os.path.dirname(HERE)), 'ansible', 'ansible_collections',
                          'lumo', 'lumoswitch')
MODULE = os.path.join(COLLECTION, 'plugins', 'modules', 'lumoswitch_firmware.py')
DEPLOY = os.path.join(COLLECTION, 'plugins', 'modules', 'lumoswitch_deploy.py')
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'modules'))
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'filter'))
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'callback'))

import lumoswitch as filters  # noqa: E402
from ansible.errors import AnsibleFilterError  # noqa: E402
import lumoswitch_firmware as module  # noqa: E402
import fleet_summary as summary  # noqa: E402

HEAD = '<?xml version="1.0" encoding="UTF-8"?>'
SUCCESS = ('The firmware update was successful. The new firmware will be activated on LUMO '
           'Switch upon power cycle of the device or system. Rebooting the system will perform '
           "Quillpath controller's power cycle action.")
INVENTORY = (HEAD + '<SVMInventory lang="en">'
             '<Device  componentID="104101" display="LUMO Switch SW1" enum = "Serial Number: '
             'PX1620SW1" ><Application componentType="FRMW" version="1.2.10.0" '
             'display="LUMO PCIe Switch"/></Device>'
             '<Device  componentID="104102" display="LUMO Switch SW2" enum = "Serial Number: '
             'PX1620SW2" ><Application componentType="FRMW" version="1.3.0.0" '
             'display="LUMO PCIe Switch"/></Device>'
             '<Device  componentID="000000" display="" enum = "Serial Number: OTHER" >'
             '<Application componentType="FRMW" version="9.9.9.9" display="x"/></Device>'
             '<SPStatus result ="false" ><Message id="7" >Err</Message></SPStatus>'
             '</SVMInventory>')
UPDATE_ONE_FAILED = (HEAD + '<SVMExecution lang="en">'
                     '<Device  componentID="104101" display="LUMO Switch SW1" enum = "Serial '
                     'Number: PX1620SW1" ><Application componentType="FRMW" version="1.2.10.0" '
                     'display="LUMO PCIe Switch" ><SPStatus result = "true" ><Message id="0" >'
                     + SUCCESS + '</Message></SPStatus></Application></Device>'
                     '<SPStatus result = "false" ><Message id="0" >ERROR: Failed to Update '
                     'Firmware</Message></SPStatus><RebootRequired>1</RebootRequired>'
                     '</SVMExecution>')

UPDATE_ALL_FAILED = (HEAD + '<SVMExecution lang="en">'
                     '<Device  componentID="104101" display="LUMO Switch SW1" enum = "Serial '
                     'Number: PX1620SW1" ><Application componentType="FRMW" version="1.2.10.0" '
                     'display="LUMO PCIe Switch" ><SPStatus result = "false" ><Message id="0" >'
                     'ERROR: Failed to Update Firmware</Message></SPStatus></Application>'
                     '</Device><SPStatus result = "false" ><Message id="0" >ERROR: Failed to '
                     'Update Firmware</Message></SPStatus></SVMExecution>')
UPDATE_NO_DEVICE = (HEAD + '<SVMExecution lang="en"><SPStatus result = "false" ><Message id="1" >'
                    'Device not found</Message></SPStatus></SVMExecution>')


def sw(component, serial, version, result=True, message=''):
    return dict(component_id=component, display='', serial=serial, version=version,
                result=result, message=message)


class ParseReport(unittest.TestCase):
    def test_reports(self):
        cases = [
            ('inventory with a failure element', INVENTORY, False, [
                ('104101', 'PX1620SW1', '1.2.10.0', True, ''),
                ('104102', 'PX1620SW2', '1.3.0.0', True, ''),
                ('000000', 'OTHER', '9.9.9.9', True, ''),
                ('', '', '', False, 'Err')]),
            ('update with a bare failure', UPDATE_ONE_FAILED, True, [
                ('104101', 'PX1620SW1', '1.2.10.0', True, SUCCESS),
                ('', '', '', False, 'ERROR: Failed to Update Firmware')]),
            ('update without devices', UPDATE_NO_DEVICE, False,
             [('', '', '', False, 'Device not found')]),
            ('empty inventory', HEAD + '<SVMInventory lang="en"></SVMInventory>', False, []),
        ]
        for name, text, reboot, expected in cases:
            with self.subTest(name):
                switches, reboot_required = module.parse_report(text.encode())
                self.assertEqual(reboot, reboot_required)
                self.assertEqual(expected, [(s['component_id'], s['serial'], s['version'],
                                             s['result'], s['message']) for s in switches])

    def test_reports_that_do_not_parse(self):
        cases = [
            # The tool writes values unescaped: an ampersand breaks the report.
            ('unescaped ampersand', INVENTORY.replace('LUMO Switch SW1', 'A & B')),
            ('truncated', UPDATE_ONE_FAILED[:200]),
            ('another document', HEAD + '<html/>'),
            ('empty', ''),
        ]
        for name, text in cases:
            with self.subTest(name):
                with self.assertRaises(ValueError):
                    module.parse_report(text.encode())


FAKE_TOOL = """#!/bin/sh
# Stand-in for lumoswitch: $1 is -i or -u, $3 the report file. FAKE_<FLAG>_*
# say what each run writes, prints and returns; every run is noted in calls.
flag=${1#-}
echo "$1" >>"$FAKE_DIR/calls"
pwd >"$FAKE_DIR/cwd"
eval "report=\\$FAKE_${flag}_REPORT status=\\${FAKE_${flag}_STATUS:-0} said=\\$FAKE_${flag}_SAID"
if [ -n "$report" ]; then printf '%s' "$report" | sed "s/SITE/$SITE_SETTING/" >"$3"; fi
if [ -n "$said" ]; then echo "$said" >&2; fi
exit "$status"
"""

TOOL_PACKAGE = ('<SoftwareComponent vendorVersion="1.3.0.0"><SupportedDevices>'
                '<Device componentID="104101"/><Device componentID="104102"/>'
                '</SupportedDevices></SoftwareComponent>')
INVENTORY_OLD = INVENTORY.replace('version="1.3.0.0"', 'version="1.2.10.0"').replace(
    '<SPStatus result ="false" ><Message id="7" >Err</Message></SPStatus>', '').replace(
    '<Device  componentID="000000" display="" enum = "Serial Number: OTHER" >'
    '<Application componentType="FRMW" version="9.9.9.9" display="x"/></Device>', '')
INVENTORY_NEW = INVENTORY_OLD.replace('version="1.2.10.0"', 'version="1.3.0.0"')
INVENTORY_NONE = HEAD + '<SVMInventory lang="en"></SVMInventory>'
UPDATE_BOTH = (HEAD + '<SVMExecution lang="en">' + ''.join(
    '<Device  componentID="10410%d" display="LUMO Switch SW%d" enum = "Serial Number: PX1620SW%d" >'
    '<Application componentType="FRMW" version="1.2.10.0" display="LUMO PCIe Switch" >'
    '<SPStatus result = "true" ><Message id="0" >%s</Message></SPStatus></Application></Device>'
    % (n, n, n, SUCCESS) for n in (1, 2)) + '<RebootRequired>1</RebootRequired></SVMExecution>')
UPDATE_SECOND_FAILED = UPDATE_ONE_FAILED
UPDATE_BOTH_FAILED = (HEAD + '<SVMExecution lang="en">' + '<SPStatus result = "false" >'
                      '<Message id="0" >ERROR: Failed to Update Firmware</Message></SPStatus>' * 2
                      + '</SVMExecution>')
BOOT = '0e7c2a5e-7f6b-4d8a-9a51-3f1c2b6d9e10'


def pending_record(package=TOOL_PACKAGE, boot=BOOT, staged=True, serials=('PX1620SW1', 'PX1620SW2')):
    """The record the tool leaves after an update, as bytes."""
    import hashlib
    lines = ['lumoswitch-pending-power-cycle 1', 'boot ' + boot,
             'package %s /opt/lumoswitch' % hashlib.sha256(package.encode()).hexdigest(),
             'power-cycle ' + ('staged' if staged else 'manual')]
    for n, serial in enumerate(serials):
        lines.append('switch 10410%d 1.2.10.0 1.3.0.0 %s' % (n + 1, serial))
    return ('\n'.join(lines) + '\n').encode()


# The module as Ansible runs it, but with its state folder and boot ID where
# the test puts them.
RUNNER = """import sys
sys.dont_write_bytecode = True
sys.path.insert(0, %r)
import lumoswitch_firmware as m
m.STATE_FOLDER = %r
m.BOOT_ID = %r
m.main()
"""

ALWAYS = ('changed', 'msg', 'switches', 'no_switches', 'reboot_required', 'power_cycle_pending')


class ModuleRun(unittest.TestCase):
    """The module as Ansible runs it, against a stand-in tool."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)
        self.state = os.path.join(self.scratch.name, 'state')
        os.mkdir(self.state, 0o700)
        self.boot = os.path.join(self.scratch.name, 'boot_id')
        with open(self.boot, 'w') as f:
            f.write(BOOT + '\n')
        self.package = os.path.join(self.scratch.name, 'package')
        os.mkdir(self.package, 0o755)
        tool = os.path.join(self.package, 'lumoswitch')
        with open(tool, 'w') as f:
            f.write(FAKE_TOOL)
        os.chmod(tool, 0o755)
        with open(os.path.join(self.package, 'package.xml'), 'w') as f:
            f.write(TOOL_PACKAGE)

    def record(self, data):
        path = os.path.join(self.state, 'pending-power-cycle')
        with open(path, 'wb') as f:
            f.write(data)
        os.chmod(path, 0o600)

    def calls(self):
        path = os.path.join(self.scratch.name, 'calls')
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().split()

    def run_module(self, action, tool, check=False, diff=False, force=False, env=None,
                   package=None, descriptor=None):
        """`tool`: {flag: (report, status, stderr line)} for -i and -u."""
        args = os.path.join(self.scratch.name, 'args.json')
        with open(args, 'w') as f:
            json.dump({'ANSIBLE_MODULE_ARGS': {
                'package_dir': package or self.package, 'action': action, 'force': force,
                '_ansible_check_mode': check, '_ansible_diff': diff,
                'descriptor': descriptor}}, f)
        runner = os.path.join(self.scratch.name, 'runner.py')
        with open(runner, 'w') as f:
            f.write(RUNNER % (os.path.dirname(MODULE), self.state, self.boot))
        run_env = dict(os.environ, FAKE_DIR=self.scratch.name)
        for flag, (report, status, said) in tool.items():
            run_env.update({'FAKE_%s_REPORT' % flag: report, 'FAKE_%s_STATUS' % flag: str(status),
                            'FAKE_%s_SAID' % flag: said})
        run_env.update(env or {})
        for name in ('calls', 'cwd'):
            if os.path.exists(os.path.join(self.scratch.name, name)):
                os.remove(os.path.join(self.scratch.name, name))
        out = subprocess.run([sys.executable, runner, args], env=run_env,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        result = json.loads(out)
        cwd = os.path.join(self.scratch.name, 'cwd')
        if os.path.exists(cwd):
            with open(cwd) as f:
                self.assertEqual(os.path.realpath(package or self.package),
                                 os.path.realpath(f.read().strip()))
        for key in ALWAYS:
            self.assertIn(key, result, result)
        return result

    def test_verdicts(self):
        inventory_ok = INVENTORY.replace('<SPStatus result ="false" ><Message id="7" >Err'
                                         '</Message></SPStatus>', '')
        no_library = ('lumoswitch: cannot load the storage library: ./libstorelibit.so: the file '
                      'is missing; libstorelibit.so.07: cannot open shared object file')
        refused = ('lumoswitch: Refusing package file ./package.xml: its folder . is writable by '
                   'group or others')
        old = {'i': (INVENTORY_OLD, 0, '')}
        cases = [
            # name, action, tool, failed, changed, calls, message part, states
            ('inventory', 'inventory', {'i': (inventory_ok, 0, '')}, False, False, ['-i'],
             '3 switch(es) listed', ['needs update', 'up to date', 'not in package']),
            ('update', 'update', dict(old, u=(UPDATE_BOTH, 0, '')), False, True, ['-i', '-u'],
             '2 switch(es) updated, power cycle staged', ['updated', 'updated']),
            ('up to date', 'update', {'i': (INVENTORY_NEW, 0, '')}, False, False, ['-i'],
             'runs its version', ['up to date', 'up to date']),
            ('a switch failed', 'update', dict(old, u=(UPDATE_SECOND_FAILED, 0, '')), True, True,
             ['-i', '-u'], 'switch PX1620SW2 (component 104102, LUMO Switch SW2): ERROR: Failed '
             'to Update Firmware', ['updated', 'failed']),
            # An update that downloaded nothing changed nothing.
            ('every switch failed', 'update', dict(old, u=(UPDATE_BOTH_FAILED, 0, '')), True,
             False, ['-i', '-u'], 'switch PX1620SW1 (component 104101, LUMO Switch SW1): ERROR: '
             'Failed to Update Firmware; switch PX1620SW2', ['failed', 'failed']),
            ('no switch found', 'update', {'i': (INVENTORY_NONE, 0, '')}, False, False, ['-i'],
             'no switch found', []),
            ('no switch, inventory', 'inventory', {'i': (INVENTORY_NONE, 0, '')}, False, False,
             ['-i'], 'no switch found', []),
            ('no library', 'update', {'i': (INVENTORY_NONE, 3, no_library)}, True, False, ['-i'],
             'lumoswitch -i failed with exit status 3: ' + no_library, []),
            ('refused package file', 'inventory', {'i': (inventory_ok, 2, refused)}, True, False,
             ['-i'], 'lumoswitch -i failed with exit status 2: ' + refused, None),
            ('failed inventory entry', 'inventory', {'i': (INVENTORY, 0, '')}, True, False, ['-i'],
             'inventory failed: Err', None),
            ('no report', 'update', {'i': ('', 0, 'cannot open the storage library')}, True, False,
             ['-i'], 'wrote no report: cannot open the storage library', []),
            ('truncated report', 'update', dict(old, u=(UPDATE_BOTH[:150], 0, '')), True, False,
             ['-i', '-u'], 'the report does not parse', None),
            ('update refused', 'update', dict(old, u=(UPDATE_SECOND_FAILED, 2, refused)), True,
             True, ['-i', '-u'], 'failed with exit status 2: %s; switch PX1620SW2' % refused,
             ['updated', 'failed']),
        ]
        for name, action, tool, failed, changed, calls, message, states in cases:
            with self.subTest(name):
                result = self.run_module(action, tool)
                self.assertEqual(failed, bool(result.get('failed')), result)
                self.assertEqual(changed, result['changed'], result)
                self.assertEqual(calls, self.calls())
                self.assertIn(message, result['msg'])
                if states is not None:
                    self.assertEqual(states, [s['state'] for s in result['switches']], result)
                self.assertEqual(name.startswith('no switch'), result['no_switches'])
                # The report of the last run, as the tool wrote it.
                self.assertEqual(tool['u' if calls[-1] == '-u' else 'i'][0],
                                 result.get('report', ''))

    def test_an_update_result_says_each_switchs_versions(self):
        result = self.run_module('update', {'i': (INVENTORY_OLD, 0, ''),
                                            'u': (UPDATE_SECOND_FAILED, 0, '')})
        self.assertEqual([('PX1620SW1', '1.2.10.0', '1.3.0.0', '1.3.0.0'),
                          ('PX1620SW2', '1.2.10.0', '1.3.0.0', '1.2.10.0')],
                         [(s['serial'], s['version'], s['package_version'], s['version_after'])
                          for s in result['switches']])
        self.assertEqual(['LUMO Switch SW1', 'LUMO Switch SW2'],
                         [s['display'] for s in result['switches']])
        self.assertTrue(result['reboot_required'])
        self.assertTrue(result['power_cycle_pending'])
        self.assertEqual(INVENTORY_OLD, result['inventory_report'])

    def test_check_mode_compares_and_sends_nothing(self):
        newer = TOOL_PACKAGE.replace('1.3.0.0', '1.4.0.0')
        cases = [
            # name, inventory, package the rollout would copy, changed, states, diff
            ('needs update', INVENTORY_OLD, None, True, ['would update'] * 2,
             ('PX1620SW1 (104101): 1.2.10.0\nPX1620SW2 (104102): 1.2.10.0\n',
              'PX1620SW1 (104101): 1.3.0.0\nPX1620SW2 (104102): 1.3.0.0\n')),
            ('up to date', INVENTORY_NEW, None, False, ['up to date'] * 2, None),
            # The host still holds the package before: compared with the new one.
            ('a newer package not copied yet', INVENTORY_NEW, newer, True,
             ['would update'] * 2,
             ('PX1620SW1 (104101): 1.3.0.0\nPX1620SW2 (104102): 1.3.0.0\n',
              'PX1620SW1 (104101): 1.4.0.0\nPX1620SW2 (104102): 1.4.0.0\n')),
        ]
        for name, inventory, descriptor, changed, states, diff in cases:
            with self.subTest(name):
                result = self.run_module('update', {'i': (inventory, 0, ''),
                                                    'u': (UPDATE_BOTH, 0, '')},
                                         check=True, diff=True, descriptor=descriptor)
                self.assertFalse(result.get('failed'), result)
                self.assertEqual(changed, result['changed'])
                self.assertEqual(['-i'], self.calls())
                self.assertEqual(states, [s['state'] for s in result['switches']])
                if diff:
                    self.assertEqual(diff, (result['diff']['before'], result['diff']['after']))
                else:
                    self.assertNotIn('diff', result)
        # A real run compares with the package the tool will use, the host's.
        result = self.run_module('update', {'i': (INVENTORY_NEW, 0, '')}, descriptor=newer)
        self.assertEqual((False, ['up to date'] * 2),
                         (result['changed'], [s['state'] for s in result['switches']]))
        # A fresh host: no package folder yet, nothing to compare, no failure.
        result = self.run_module('update', {}, check=True,
                                 package=os.path.join(self.scratch.name, 'absent'))
        self.assertFalse(result.get('failed'), result)
        self.assertFalse(result['changed'])
        self.assertIn('not on the host yet', result['msg'])
        self.assertEqual([], self.calls())

    def test_a_package_waiting_for_the_power_cycle_is_not_sent_again(self):
        tool = {'i': (INVENTORY_OLD, 0, ''), 'u': (UPDATE_BOTH, 0, '')}
        other = TOOL_PACKAGE.replace('1.3.0.0', '1.3.0.0" x="')
        cases = [
            # name, record, force, runs the update
            ('this package, this boot', pending_record(), False, False),
            ('forced', pending_record(), True, True),
            ('staged by hand', pending_record(staged=False), False, False),
            ('another boot', pending_record(boot=BOOT.replace('0e7c', 'ffff')), False, True),
            ('another package', pending_record(package=other), False, True),
            ('one switch not in it', pending_record(serials=('PX1620SW1',)), False, True),
            ('not a record', b'lumoswitch-pending-power-cycle 2\n', False, True),
        ]
        for name, record, force, runs in cases:
            with self.subTest(name):
                self.record(record)
                result = self.run_module('update', tool, force=force)
                self.assertFalse(result.get('failed'), result)
                self.assertEqual(['-i', '-u'] if runs else ['-i'], self.calls())
                self.assertEqual(runs, result['changed'])
                self.assertTrue(result['power_cycle_pending'])
                if not runs:
                    self.assertEqual(['pending power cycle'] * 2,
                                     [s['state'] for s in result['switches']])
                    self.assertEqual(['1.3.0.0'] * 2,
                                     [s['version_after'] for s in result['switches']])
                    self.assertEqual(name != 'staged by hand', result['reboot_required'])
        # After the power cycle the switches run the package's version: done.
        self.record(pending_record())
        result = self.run_module('update', {'i': (INVENTORY_NEW, 0, '')})
        self.assertEqual((False, False), (result['changed'], result['power_cycle_pending']))

    def test_the_tool_gets_the_modules_environment(self):
        report = INVENTORY_OLD.replace('LUMO Switch SW1', 'SITE')
        result = self.run_module('inventory', {'i': (report, 0, '')},
                                 env={'SITE_SETTING': 'from-the-site'})
        self.assertFalse(result.get('failed'), result)
        self.assertEqual('from-the-site', result['switches'][0]['display'])

    def test_missing_tool_fails_naming_the_folder(self):
        os.remove(os.path.join(self.package, 'lumoswitch'))
        result = self.run_module('inventory', {})
        self.assertTrue(result['failed'])
        self.assertEqual('package folder %s has no executable lumoswitch' % self.package,
                         result['msg'])


NOBODY = ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']


class PendingRecord(unittest.TestCase):
    """What the module believes of the pending-power-cycle record."""

    def test_only_a_record_of_roots_own_is_believed(self):
        if os.geteuid() != 0:
            self.skipTest('needs root: the record is root\'s')
        good = pending_record()

        def own(state):
            os.mkdir(state, 0o700)
            with open(os.path.join(state, 'pending-power-cycle'), 'wb') as f:
                f.write(good)

        def as_nobody(script):
            def arrange(state):
                subprocess.run(NOBODY + ['/bin/sh', '-c', script, 'x', state,
                                         good.decode()], check=True)
            return arrange

        def chmod(mode, name=''):
            def arrange(state):
                own(state)
                os.chmod(os.path.join(state, name), mode)
            return arrange

        def linked(state):
            os.mkdir(state, 0o700)
            os.mkdir(state + '.real', 0o700)
            with open(os.path.join(state + '.real', 'record'), 'wb') as f:
                f.write(good)
            os.symlink(os.path.join(state + '.real', 'record'),
                       os.path.join(state, 'pending-power-cycle'))

        cases = [
            ('root\'s own', own, None),
            # Nobody got to make the folder first (in a sticky folder such as /tmp).
            ('folder made by another user',
             as_nobody('mkdir -m 700 "$1" && printf %s "$2" > "$1/pending-power-cycle"'),
             'is not owned by root'),
            ('folder open to others', chmod(0o755), 'is open to other users'),
            ('record writable by others', chmod(0o666, 'pending-power-cycle'),
             'is writable by group or others'),
            ('record is a link', linked, 'is a symbolic link'),
        ]
        for name, arrange, why in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as top:
                os.chmod(top, 0o1777)
                state = os.path.join(top, 'lumoswitch')
                arrange(state)
                record, reason = module.read_pending(state)
                if why is None:
                    self.assertEqual(BOOT, record['boot'], reason)
                    self.assertEqual(2, len(record['switches']))
                else:
                    self.assertIsNone(record)
                    self.assertIn(why, reason)
        # A folder above that others may write to (not sticky): not believed.
        with tempfile.TemporaryDirectory() as top:
            os.chmod(top, 0o777)
            own(os.path.join(top, 'lumoswitch'))
            record, reason = module.read_pending(os.path.join(top, 'lumoswitch'))
            self.assertIsNone(record)
            self.assertIn('may be changed by other users', reason)


def run_deploy(**params):
    with tempfile.NamedTemporaryFile('w', suffix='.json') as args:
        json.dump({'ANSIBLE_MODULE_ARGS': params}, args)
        args.flush()
        out = subprocess.run([sys.executable, DEPLOY, args.name], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
    return json.loads(out)


@unittest.skipUnless(os.geteuid() == 0, 'the package folder is root\'s: needs root')
class Deploy(unittest.TestCase):
    """The deploy module on folders of its own under /run (root's alone, as /opt is)."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix='lumo-deploy-', dir='/run')
        os.chmod(self.base, 0o755)
        self.dest = os.path.join(self.base, 'opt', 'lumoswitch')
        self.addCleanup(subprocess.run, ['rm', '-rf', self.base])

    def deploy(self, files):
        """Stages, fills with files (relative path -> content, None: folder) and installs."""
        staged = run_deploy(dest=self.dest, state='staged')
        self.assertFalse(staged.get('failed'), staged)
        staging = staged['staging']
        self.assertEqual(0o700, os.stat(staging).st_mode & 0o777)
        for rel, content in files.items():
            path = os.path.join(staging, rel)
            if content is None:
                os.makedirs(path)
            else:
                with open(path, 'w') as f:
                    f.write(content)
        return run_deploy(dest=self.dest, staging=staging, state='installed')

    def test_the_folder_holds_what_the_package_ships_and_nothing_else(self):
        first = self.deploy({'payload': None, 'package.xml': 'one', 'payload/a.bin': 'a'})
        self.assertTrue(first['changed'], first)
        # An earlier package's file, and one put in by hand, go with the next.
        with open(os.path.join(self.dest, 'old.sh'), 'w') as f:
            f.write('from before')
        second = self.deploy({'payload': None, 'package.xml': 'two', 'payload/a.bin': 'a'})
        self.assertTrue(second['changed'], second)
        self.assertEqual(['package.xml', 'payload'], sorted(os.listdir(self.dest)))
        with open(os.path.join(self.dest, 'package.xml')) as f:
            self.assertEqual('two', f.read())
        for path, mode in ((self.dest, 0o755), (os.path.join(self.dest, 'payload'), 0o755),
                           (os.path.join(self.dest, 'package.xml'), 0o644)):
            st = os.lstat(path)
            self.assertEqual((0, 0, mode), (st.st_uid, st.st_gid, st.st_mode & 0o7777), path)
        # The same package again changes nothing.
        third = self.deploy({'payload': None, 'package.xml': 'two', 'payload/a.bin': 'a'})
        self.assertFalse(third['changed'], third)
        # Nothing of the deployment is left beside the folder.
        self.assertEqual(['lumoswitch'], os.listdir(os.path.dirname(self.dest)))

    def test_a_link_in_the_package_is_never_followed(self):
        victim = os.path.join(self.base, 'victim')
        with open(victim, 'w') as f:
            f.write('precious')
        os.chown(victim, 65534, 65534)
        os.chmod(victim, 0o600)
        staged = run_deploy(dest=self.dest, state='staged')
        os.symlink(victim, os.path.join(staged['staging'], 'NOTES'))
        result = run_deploy(dest=self.dest, staging=staged['staging'], state='installed')
        self.assertFalse(result.get('failed'), result)
        st = os.stat(victim)
        self.assertEqual((65534, 0o600), (st.st_uid, st.st_mode & 0o7777))

    def test_a_folder_others_could_change_fails_and_stays_as_it_was(self):
        cases = [
            ('package folder of another user', lambda: os.chown(self.dest, 65534, 65534),
             'is not owned by root (uid 65534)'),
            ('package folder others may write', lambda: os.chmod(self.dest, 0o775),
             'is writable by group or others (mode 0775)'),
            ('parent others may write', lambda: os.chmod(os.path.dirname(self.dest), 0o1777),
             'opt is writable by group or others (mode 1777)'),
        ]
        for name, spoil, why in cases:
            with self.subTest(name):
                subprocess.run(['rm', '-rf', os.path.dirname(self.dest)], check=True)
                os.makedirs(self.dest, mode=0o755)
                with open(os.path.join(self.dest, 'doRPM.sh'), 'w') as f:
                    f.write('theirs')
                spoil()
                before = [(os.lstat(p).st_uid, os.lstat(p).st_mode)
                          for p in (self.dest, os.path.dirname(self.dest))]
                result = run_deploy(dest=self.dest, state='staged')
                self.assertTrue(result.get('failed'), result)
                self.assertIn(why, result['msg'])
                self.assertEqual(before, [(os.lstat(p).st_uid, os.lstat(p).st_mode)
                                          for p in (self.dest, os.path.dirname(self.dest))])
                self.assertEqual(['lumoswitch'], os.listdir(os.path.dirname(self.dest)))
                self.assertEqual(['doRPM.sh'], os.listdir(self.dest))

    def test_what_a_cut_short_run_left_is_cleared_by_the_next(self):
        self.deploy({'package.xml': 'one'})
        parent = os.path.dirname(self.dest)
        for leftover in ('.lumoswitch.new-abc123', '.lumoswitch.old-def456'):
            os.makedirs(os.path.join(parent, leftover, 'payload'))
        result = self.deploy({'package.xml': 'one'})
        self.assertFalse(result['changed'], result)
        self.assertEqual(['lumoswitch'], os.listdir(parent))


PACKAGE = ('<SoftwareComponent vendorVersion="2.0.0.0"><SupportedDevices>'
           '<Device componentID="104101" version="1.3.0.0"/>'
           '<Device componentID="104102"/>'
           '</SupportedDevices></SoftwareComponent>')


class Filters(unittest.TestCase):
    def test_package_versions(self):
        self.assertEqual({'104101': '1.3.0.0', '104102': '2.0.0.0'},
                         filters.package_versions(PACKAGE))
        self.assertEqual({}, filters.package_versions(
            '<SoftwareComponent><SupportedDevices><Device componentID="1"/></SupportedDevices>'
            '</SoftwareComponent>'))

    def test_host_reports_stay_in_the_reports_folder(self):
        self.assertEqual('/srv/reports/web-01.example.com',
                         filters.host_reports('/srv/reports', 'web-01.example.com'))
        self.assertEqual('/srv/reports/2001:db8::1', filters.host_reports('/srv/reports',
                                                                          '2001:db8::1'))
        for name in ('../x', '..', '.', 'a/b', '/etc', '', 'x\x1b[2J', 'x\ny'):
            with self.subTest(name=name):
                with self.assertRaises(AnsibleFilterError) as raised:
                    filters.host_reports('/srv/reports', name)
                self.assertIn('is not a plain file name', str(raised.exception))

    def test_pending_leaves_out_current_foreign_and_failed_switches(self):
        versions = {'104101': '1.3.0.0', '104102': '1.3.0.0'}
        switches = [sw('104101', 'A', '1.2.10.0'), sw('104102', 'B', '1.3.0.0'),
                    sw('000000', 'C', '0.0.0.1'), sw('', '', '', False, 'Err')]
        self.assertEqual(['A'], [s['serial'] for s in filters.pending(switches, versions)])

    def test_outcome(self):
        def entry(serial, state, before='1.2.10.0', after='1.3.0.0', message=''):
            return dict(component_id='10410' + serial[-1], display='SW' + serial[-1],
                        serial=serial, version=before, version_after=after, state=state,
                        result=state != 'failed', message=message)

        def rows(update):
            return [(r['host'], r['switch'], r['version_before'], r['version_after'],
                     r['result']) for r in filters.outcome(update, 'h')]

        cases = [
            ('one failed', {'failed': True, 'reboot_required': True, 'switches': [
                entry('A1', 'updated'),
                entry('B2', 'failed', after='1.2.10.0', message='ERROR: Failed to Update Firmware')]},
             [('h', 'A1', '1.2.10.0', '1.3.0.0', 'updated, power cycle staged'),
              ('h', 'B2', '1.2.10.0', '1.2.10.0', 'failed: ERROR: Failed to Update Firmware')]),
            ('staged by hand', {'reboot_required': False, 'switches': [entry('A1', 'updated')]},
             [('h', 'A1', '1.2.10.0', '1.3.0.0', 'updated, power cycle the system manually')]),
            ('waiting, not sent again', {'reboot_required': True, 'power_cycle_pending': True,
                                         'switches': [entry('A1', 'pending power cycle'),
                                                      entry('B2', 'up to date', '1.3.0.0')]},
             [('h', 'A1', '1.2.10.0', '1.3.0.0', 'power cycle pending: staged earlier'),
              ('h', 'B2', '1.3.0.0', '1.3.0.0', 'up to date')]),
            ('check mode', {'changed': True, 'switches': [entry('A1', 'would update')]},
             [('h', 'A1', '1.2.10.0', '1.3.0.0', 'would update')]),
            ('update that left no report', {'failed': True, 'msg': 'lumoswitch -u wrote no report',
                                            'switches': [entry('A1', 'needs update', after='')]},
             [('h', 'A1', '1.2.10.0', '1.2.10.0', 'failed: lumoswitch -u wrote no report')]),
            ('no switch', {'no_switches': True, 'switches': [], 'msg': 'no switch found'},
             [('h', '-', '', '', 'no switch found')]),
            ('no library', {'failed': True, 'switches': [], 'no_switches': False,
                            'msg': 'lumoswitch -i failed with exit status 3: lumoswitch: cannot '
                                   'load the storage library: x'},
             [('h', '-', '', '', 'failed: lumoswitch -i failed with exit status 3: lumoswitch: '
                                 'cannot load the storage library: x')]),
        ]
        for name, update, expected in cases:
            with self.subTest(name):
                self.assertEqual(expected, rows(update))


class SummaryTable(unittest.TestCase):
    def test_what_a_host_returned_cannot_drive_the_terminal_or_add_lines(self):
        # A compromised host's serial and message: escape sequences that clear
        # the screen, and a line break that would print a row of another host.
        rows = [dict(host='host1', switch='A', version_before='1.2', version_after='1.3',
                     result='updated, power cycle staged'),
                dict(host='host2', switch='B\x1b[2J\x1b]0;owned\x07', version_before='1.2',
                     version_after='1.2', result='failed: x\r\nhost3  C  1.2  1.3  updated\u202e')]
        text = summary.table(rows)
        lines = text.split('\n')
        self.assertEqual(3, len(lines), text)
        self.assertEqual([], [c for c in text if c != '\n' and not c.isprintable()])
        self.assertTrue(lines[1].startswith('host1  A  '), text)
        self.assertIn('B\\x1b[2J\\x1b]0;owned\\x07', lines[2])
        self.assertIn('failed: x\\x0d\\x0ahost3  C  1.2  1.3  updated\\u202e', lines[2])


if __name__ == '__main__':
    unittest.main()
