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
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'modules'))
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'filter'))

import lumoswitch as filters  # noqa: E402
import lumoswitch_firmware as module  # noqa: E402

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


if __name__ == '__main__':
    unittest.main()
