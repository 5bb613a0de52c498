#!/usr/bin/python3
"""The collection's module and filters without hosts: report parsing, the
module's verdicts against stand-in tools, and the rollout's per-switch outcome."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.join(os.path.dirname(os.path.dirname(HERE)), 'ansible', 'ansible_collections',
                          'lumo', 'lumoswitch')
MODULE = os.path.join(COLLECTION, 'plugins', 'modules', 'lumoswitch_firmware.py')
DEPLOY = os.path.join(COLLECTION, 'plugins', 'modules', 'lumoswitch_deploy.py')
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'modules'))
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'filter'))
sys.path.insert(0, os.path.join(COLLECTION, 'playbooks', 'callback_plugins'))

import lumoswitch as filters  # noqa: E402
from ansible.errors import AnsibleFilterError  # noqa: E402
import lumoswitch_firmware as module  # noqa: E402
import lumoswitch_fleet_summary as summary  # noqa: E402

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
# Stand-in for lumoswitch: $1 is -i or -u, $3 the report file.
case "$FAKE_MODE" in
  env) printf '%s' "$FAKE_REPORT" | sed "s/SITE/$SITE_SETTING/" >"$3" ;;
  none) echo "cannot open the storage library" >&2; exit 0 ;;
  status) printf '%s' "$FAKE_REPORT" >"$3"; echo "another instance is running" >&2; exit 1 ;;
  *) printf '%s' "$FAKE_REPORT" >"$3" ;;
esac
pwd >"$FAKE_CWD"
"""


class ModuleRun(unittest.TestCase):
    """The module as Ansible runs it, against a stand-in tool."""

    def run_module(self, action, mode, report, env=None):
        with tempfile.TemporaryDirectory() as package:
            tool = os.path.join(package, 'lumoswitch')
            with open(tool, 'w') as f:
                f.write(FAKE_TOOL)
            os.chmod(tool, 0o755)
            args = os.path.join(package, 'args.json')
            with open(args, 'w') as f:
                json.dump({'ANSIBLE_MODULE_ARGS': {'package_dir': package, 'action': action}}, f)
            cwd_file = os.path.join(package, 'cwd')
            run_env = dict(os.environ, FAKE_MODE=mode, FAKE_REPORT=report, FAKE_CWD=cwd_file)
            run_env.update(env or {})
            out = subprocess.run([sys.executable, MODULE, args], env=run_env,
                                 stdout=subprocess.PIPE, universal_newlines=True).stdout
            result = json.loads(out)
            if os.path.exists(cwd_file):
                with open(cwd_file) as f:
                    self.assertEqual(os.path.realpath(package), os.path.realpath(f.read().strip()))
            return result

    def test_verdicts(self):
        inventory_ok = INVENTORY.replace('<SPStatus result ="false" ><Message id="7" >Err'
                                         '</Message></SPStatus>', '')
        update_ok = UPDATE_ONE_FAILED.replace(
            '<SPStatus result = "false" ><Message id="0" >ERROR: Failed to Update Firmware'
            '</Message></SPStatus>', '')
        cases = [
            # name, action, mode, report, failed, changed, message part
            ('inventory', 'inventory', 'ok', inventory_ok, False, False, None),
            ('update', 'update', 'ok', update_ok, False, True, None),
            ('a switch failed', 'update', 'ok', UPDATE_ONE_FAILED, True, True,
             'ERROR: Failed to Update Firmware'),
            # An update that downloaded nothing changed nothing.
            ('every switch failed', 'update', 'ok', UPDATE_ALL_FAILED, True, False,
             'PX1620SW1: ERROR: Failed to Update Firmware'),
            ('no switch found', 'update', 'ok', UPDATE_NO_DEVICE, True, False,
             'Device not found'),
            ('failed inventory entry', 'inventory', 'ok', INVENTORY, True, False, 'Err'),
            ('no report', 'update', 'none', '', True, False,
             'wrote no report (exit status 0): cannot open the storage library'),
            ('truncated report', 'update', 'ok', update_ok[:150], True, False,
             'the report does not parse'),
            ('non-zero status', 'inventory', 'status', inventory_ok, True, False,
             'exited with status 1: another instance is running'),
        ]
        for name, action, mode, report, failed, changed, message in cases:
            with self.subTest(name):
                result = self.run_module(action, mode, report)
                self.assertEqual(failed, bool(result.get('failed')), result)
                self.assertEqual(changed, result['changed'], result)
                if message:
                    self.assertIn(message, result['msg'])
                if mode != 'none':
                    self.assertEqual(report, result['report'])

    def test_the_tool_gets_the_modules_environment(self):
        report = INVENTORY.replace('<SPStatus result ="false" ><Message id="7" >Err'
                                   '</Message></SPStatus>', '').replace('LUMO Switch SW1', 'SITE')
        result = self.run_module('inventory', 'env', report, {'SITE_SETTING': 'from-the-site'})
        self.assertFalse(result.get('failed'), result)
        self.assertEqual('from-the-site', result['switches'][0]['display'])

    def test_missing_tool_fails_naming_the_folder(self):
        with tempfile.TemporaryDirectory() as package:
            args = os.path.join(package, 'args.json')
            with open(args, 'w') as f:
                json.dump({'ANSIBLE_MODULE_ARGS': {'package_dir': package}}, f)
            out = subprocess.run([sys.executable, MODULE, args], stdout=subprocess.PIPE,
                                 universal_newlines=True).stdout
            result = json.loads(out)
            self.assertTrue(result['failed'])
            self.assertEqual('package folder %s has no executable lumoswitch' % package,
                             result['msg'])


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
        versions = {'104101': '1.3.0.0', '104102': '1.3.0.0'}
        inventory = {'switches': [sw('104101', 'A', '1.2.10.0'), sw('104102', 'B', '1.2.10.0')]}

        def results(update):
            return [(r['switch'], r['version_before'], r['version_after'], r['result'])
                    for r in filters.outcome(inventory, versions, update, 'h')]

        failed_second = {'failed': True, 'reboot_required': True, 'msg': 'x',
                         'switches': [sw('104101', 'A', '1.2.10.0', True, SUCCESS),
                                      sw('', '', '', False, 'ERROR: Failed to Update Firmware')]}
        self.assertEqual([('A', '1.2.10.0', '1.3.0.0', 'updated, power cycle staged'),
                          ('B', '1.2.10.0', '1.2.10.0',
                           'failed: ERROR: Failed to Update Firmware')], results(failed_second))
        manual = {'reboot_required': False,
                  'switches': [sw('104101', 'A', '1.2.10.0', True, 'manual'),
                               sw('104102', 'B', '1.2.10.0', True, 'manual')]}
        self.assertEqual(['updated, power cycle the system manually'] * 2,
                         [r[3] for r in results(manual)])
        # A run that left no usable report updates nothing in the summary.
        no_report = {'failed': True, 'msg': 'lumoswitch -u wrote no report', 'switches': []}
        self.assertEqual([('A', '1.2.10.0', '1.2.10.0', 'failed: lumoswitch -u wrote no report'),
                          ('B', '1.2.10.0', '1.2.10.0', 'failed: lumoswitch -u wrote no report')],
                         results(no_report))
        current = {'switches': [sw('104101', 'A', '1.3.0.0'), sw('104102', 'B', '1.3.0.0')]}
        self.assertEqual(['up to date'] * 2,
                         [r['result'] for r in filters.outcome(current, versions,
                                                               {'skipped': True}, 'h')])
        self.assertEqual('switch B (component 104102): failed: ERROR: Failed to Update Firmware',
                         filters.failures(filters.outcome(inventory, versions, failed_second,
                                                          'h')))


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
