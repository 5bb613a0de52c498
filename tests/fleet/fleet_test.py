#!/usr/bin/python3
"""Rolls a firmware package across eight simulated hosts with the Ansible collection.

Each host is an overlay root of this machine (tests/e2e/overlay_root.sh) reached
through the community.general.chroot connection, with its own simulated
switches (storage-library topology) and management controller (IPMI preload
and script). Everything that makes a host different lives in files inside its
root; the environment that points the simulators at those files is the same
for every host, and the role and module see nothing of the test.

    fleet_test.py --program BIN --storelib LIB --preload LIB --scratch DIR [unittest args]

Needs root; the whole run happens in a private mount namespace.
"""

import argparse
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
COLLECTIONS = os.path.join(REPO, 'ansible')
PLAYBOOK = os.path.join(COLLECTIONS, 'ansible_collections', 'lumo', 'lumoswitch', 'playbooks',
                        'rollout.yml')
OVERLAY_ROOT = os.path.join(REPO, 'tests', 'e2e', 'overlay_root.sh')
MAKE_PACKAGE = os.path.join(REPO, 'scripts', 'make-package.sh')
SERIAL_TABLE = os.path.join(REPO, 'cm_LUMOSwitch', 'data', 'platform_serials.csv')

HOSTS = ['host%d' % i for i in range(1, 9)]
BATCHES = [1, 3, 4]
OLD_VERSION = '1.2.10.0'
NEW_VERSION = '1.3.0.0'
CONTROLLER_ID = 0x05000000
SWITCHES = (8, 9)  # device IDs of the two switches of every host
IMAGE_SIZES = (100000, 65536)

# Inside every root.
SIM_DIR = '/etc/lumosim'
STATE_DIR = '/var/lib/lumosim'
PRELOAD_IN_ROOT = '/usr/lib/lumosim/libsimipmi_preload.so'
STANDINS = ('lsmod', 'modprobe', 'rmmod', 'insmod', 'depmod', 'udevadm', 'udevcontrol', 'rpm',
            'umount', 'esxcli', 'esxcfg-scsidevs', 'esxcfg-rescan')

HEALTHY_CONTROLLER = """generation 30
repository 00
access enabled
handle 1234
partition static 0 COR001 attached
"""
NO_DEVICE_CONTROLLER = "devices none\n"

ARGS = None


def table_serials():
    """The first two switch keys of the built-in table, with their component IDs."""
    rows = []
    with open(SERIAL_TABLE) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith('#'):
                key, component = line.split(',')
                rows.append((key, component))
    return rows[:2]


def images():
    data = []
    for n, size in enumerate(IMAGE_SIZES):
        seed = (n + 1) * 7919
        data.append(bytes((i * seed + i // 97) & 0xFF for i in range(size)))
    return data


class Host(object):
    """One simulated host: an overlay root with its own switches and controller."""

    def __init__(self, name, scratch, version=OLD_VERSION, controller=HEALTHY_CONTROLLER,
                 fault='', switches=True):
        self.name = name
        self.scratch = scratch
        self.root = os.path.join(scratch, 'root')
        os.makedirs(scratch)
        shell('overlay_root_mount "$1"', scratch)
        for tool in STANDINS:
            shell('overlay_root_standin "$1" "$2" 0 "$3"', self.root, tool,
                  STATE_DIR + '/standins.log')
        self.write(SIM_DIR + '/controller.script', controller)
        self.set_topology(version, fault, switches)
        os.makedirs(self.path(STATE_DIR), exist_ok=True)
        os.makedirs(os.path.dirname(self.path(PRELOAD_IN_ROOT)), exist_ok=True)
        shutil.copy(ARGS.preload, self.path(PRELOAD_IN_ROOT))
        # Every process in the root gets the simulated IPMI device; the ones
        # that never open it (the shell, Python) run untouched.
        self.write('/etc/ld.so.preload', PRELOAD_IN_ROOT + '\n')

    def path(self, inner):
        return self.root + inner

    def write(self, inner, text):
        os.makedirs(os.path.dirname(self.path(inner)), exist_ok=True)
        with open(self.path(inner), 'w') as f:
            f.write(text)

    def read(self, inner):
        with open(self.path(inner), 'rb') as f:
            return f.read()

    def set_topology(self, versions, fault='', switches=True):
        """Both switches at `versions`; without `switches`, a controller with none."""
        if isinstance(versions, str):
            versions = (versions, versions)
        self.versions = tuple(versions)
        (serial1, _), (serial2, _) = table_serials()
        lines = ['controller id=0x%08x' % CONTROLLER_ID]
        for dev, serial, version in zip(SWITCHES, (serial1, serial2), versions):
            if not switches:
                break
            lines.append('device id=%d type=0x0d serial="%s" product="LUMO PCIe Switch" '
                         'revision=%s' % (dev, serial, version))
        if fault:
            lines.append(fault)
        self.write(SIM_DIR + '/storelib_topology.conf', '\n'.join(lines) + '\n')

    def received(self, dev):
        path = self.path('%s/received_%08x_%d.bin' % (STATE_DIR, CONTROLLER_ID, dev))
        if not os.path.exists(path):
            return None
        with open(path, 'rb') as f:
            return f.read()

    def power_cycle(self, package_images):
        """What a power cycle does: a switch runs the image it received intact."""
        versions = []
        for dev, image, version in zip(SWITCHES, package_images, self.versions):
            versions.append(NEW_VERSION if self.received(dev) == image else version)
        self.set_topology(tuple(versions))


def nobody_run(root, script):
    """The attacker: an unprivileged user of the host runs script inside its root."""
    subprocess.run(['chroot', root, 'setpriv', '--reuid=nobody', '--regid=nogroup',
                    '--clear-groups', '/bin/sh', '-c', script], check=True)


def package_files(folder):
    """Every path below folder, relative, folders marked with a slash."""
    found = []
    for parent, dirs, files in os.walk(folder):
        rel = os.path.relpath(parent, folder)
        found += [os.path.normpath(os.path.join(rel, d)) + '/' for d in dirs]
        found += [os.path.normpath(os.path.join(rel, f)) for f in files]
    return sorted(found)


# A host whose Python answers for its modules as a compromised host would:
# every module result carries facts of its choosing (summary rows for other
# hosts, a summary folder of its own) and an inventory the role cannot read.
FORGED_ROWS = [dict(host='host1', switch='FORGED', display='', component_id='',
                    version_before='0', version_after='9', result='updated, power cycle staged')]
COMPROMISED_PYTHON = r"""
import builtins, json
_print = builtins.print
def _forge(*args, **kwargs):
    if len(args) == 1 and isinstance(args[0], str) and args[0].lstrip().startswith('{'):
        try:
            result = json.loads(args[0])
        except ValueError:
            result = None
        if isinstance(result, dict):
            result['ansible_facts'] = dict(lumoswitch_outcome=%(rows)s,
                                           lumoswitch_summary_dir=%(folder)r)
            if 'switches' in result:
                result['switches'] = 5
            args = ('\n' + json.dumps(result),)
    return _print(*args, **kwargs)
builtins.print = _forge
"""


def shell(script, *args):
    subprocess.run(['bash', '-c', 'set -e; source "%s"; %s' % (OVERLAY_ROOT, script), 'fleet']
                   + list(args), check=True)


def scratch_name(name):
    """A folder name for a host's scratch, whatever the inventory calls it."""
    return name if re.match(r'^[A-Za-z0-9_-]+$', name) else 'odd-%s' % name.encode().hex()


class Fleet(object):
    """Eight hosts (or the ones named), a package on the control node, and rollouts."""

    def __init__(self, case, special, missing=(), package=True, names=HOSTS):
        self.dir = os.path.join(ARGS.scratch, case)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.names = names
        self.hosts = {}
        for name in names:
            if name not in missing:
                self.hosts[name] = Host(name, os.path.join(self.dir, scratch_name(name)),
                                        **special.get(name, {}))
        self.names = names
        self.inventory = os.path.join(self.dir, 'hosts.ini')
        self.reports = os.path.join(self.dir, 'reports')
        self.package = None
        if package:
            self.make_package()
        self.write_inventory()

    def make_package(self, sign=None):
        """The package as an operator makes it: images and package.xml in a
        folder, assembled and checked (and signed with `sign`, a certificate
        and its key) by scripts/make-package.sh."""
        self.images = images()
        source = os.path.join(self.dir, 'images')
        os.makedirs(source, exist_ok=True)
        (_, comp1), (_, comp2) = table_serials()
        self.components = (comp1, comp2)
        devices = ''
        for n, (comp, image) in enumerate(zip(self.components, self.images)):
            name = 'lumo_sw%d.bin' % (n + 1)
            with open(os.path.join(source, name), 'wb') as f:
                f.write(image)
            devices += ('  <Device componentID="%s" version="%s">\n'
                        '   <Display>LUMO Switch SW%d</Display>\n'
                        '   <PayloadConfiguration><Image filename="%s"/></PayloadConfiguration>\n'
                        '  </Device>\n' % (comp, NEW_VERSION, n + 1, name))
        with open(os.path.join(source, 'package.xml'), 'w') as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<SoftwareComponent>\n'
                    ' <SupportedDevices>\n%s </SupportedDevices>\n</SoftwareComponent>\n'
                    % devices)
        self.package = os.path.join(self.dir, 'package')
        build = os.path.dirname(os.path.dirname(ARGS.program))
        shutil.rmtree(self.package, ignore_errors=True)
        subprocess.run([MAKE_PACKAGE, '--build', build, '--no-build', '--library', ARGS.storelib]
                       + (['--sign'] + list(sign) if sign else []) + [self.package, source],
                       check=True, stdout=subprocess.DEVNULL)

    def write_inventory(self, package_src=None):
        """The hosts; `package_src` maps a host to a package of its own."""
        package_src = package_src or {}
        with open(self.inventory, 'w') as f:
            f.write('[lumoswitch]\n')
            for name in self.names:
                # A missing host's root does not exist: the connection fails.
                root = os.path.join(self.dir, scratch_name(name), 'root') \
                    if name in self.hosts else os.path.join(self.dir, name)
                own = ''
                if name in package_src:
                    own = ' lumoswitch_package_src=%s' % package_src[name]
                f.write('%s ansible_host=%s%s\n' % (name, root, own))
            f.write('\n[lumoswitch:vars]\nansible_connection=community.general.chroot\n'
                    'ansible_python_interpreter=/usr/bin/python3\n')
            if self.package:
                f.write('lumoswitch_package_src=%s\n' % self.package)

    def sign(self):
        """Makes the package again, signed by a signer made now; returns its certificate."""
        signer = os.path.join(self.dir, 'signer')
        os.makedirs(signer)
        certificate, key = os.path.join(signer, 'signer.pem'), os.path.join(signer, 'signer.key')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '30',
                        '-subj', '/CN=Fleet Signing', '-addext',
                        'keyUsage=critical,digitalSignature', '-keyout', key, '-out', certificate],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.make_package(sign=(certificate, key))
        return certificate

    def damaged_copy(self, name, relative, offset):
        """The package as it arrives damaged on one host: one byte flipped."""
        copy = os.path.join(self.dir, 'package-' + name)
        shutil.copytree(self.package, copy)
        with open(os.path.join(copy, relative), 'r+b') as f:
            f.seek(offset)
            byte = f.read(1)
            f.seek(offset)
            f.write(bytes([byte[0] ^ 0x01]))
        return copy

    def changed_copy(self, name, change):
        """The package as it arrives on one host, `change`d (a function of its folder)."""
        copy = os.path.join(self.dir, 'package-' + name)
        shutil.copytree(self.package, copy)
        change(copy)
        return copy

    @staticmethod
    def environment():
        """What Ansible and the simulators in every host need."""
        env = dict(os.environ)
        env.update({
            'ANSIBLE_COLLECTIONS_PATH': COLLECTIONS,
            'ANSIBLE_RETRY_FILES_ENABLED': 'False',
            # Same for every host: each root holds its own files at these paths.
            'STORELIB_SIM_TOPOLOGY': SIM_DIR + '/storelib_topology.conf',
            'STORELIB_SIM_OUTDIR': STATE_DIR,
            'SIMIPMI_SCRIPT': SIM_DIR + '/controller.script',
            'SIMIPMI_LOG': STATE_DIR + '/ipmi.log',
            'SIMIPMI_STATE': STATE_DIR + '/ipmi.state',
            'SIMIPMI_LOG_APPEND': '1',
            'SIMIPMI_TIME_SCALE': '1000',
        })
        return env

    def rollout(self, check=False, diff=False, **extra_vars):
        env = self.environment()
        env.update({
            'ANSIBLE_HOST_KEY_CHECKING': 'False',
            'ANSIBLE_NOCOLOR': '1',
            'ANSIBLE_LOCAL_TEMP': os.path.join(self.dir, 'ansible-local'),
        })
        extra_vars.setdefault('lumoswitch_batches', BATCHES)
        extra_vars.update({'lumoswitch_reports_dir': self.reports})
        extra = json.dumps(extra_vars)
        summary_path = os.path.join(self.reports, 'summary.json')
        # A check run must leave the last real run's summary as it is.
        if os.path.exists(summary_path) and not check:
            os.remove(summary_path)
        command = ['ansible-playbook', '-i', self.inventory, PLAYBOOK, '-e', extra]
        command += (['--check'] if check else []) + (['--diff'] if diff else [])
        run = subprocess.run(command, cwd=self.dir, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
        with open(os.path.join(self.dir, 'ansible.log'), 'a') as f:
            f.write(run.stdout)
        summary = None
        path = os.path.join(self.reports, 'summary.json')
        if os.path.exists(path):
            with open(path) as f:
                summary = json.load(f)
        return Rollout(run.returncode, run.stdout, summary)


class Rollout(object):
    def __init__(self, status, output, summary):
        self.status = status
        self.output = output
        self.summary = summary

    def recap(self):
        """changed and failed count per host, from the play recap."""
        counts = {}
        for m in re.finditer(r'^(host\d+)\s*:\s*ok=\d+\s+changed=(\d+)\s+unreachable=\d+\s+'
                             r'failed=(\d+)', self.output, re.M):
            counts[m.group(1)] = (int(m.group(2)), int(m.group(3)))
        return counts

    def rows(self, host):
        return [r for r in self.summary['switches'] if r['host'] == host]

    def table(self):
        text = self.output[self.output.index('LUMOSWITCH FLEET SUMMARY'):]
        return '\n'.join(line for line in text.splitlines()[1:] if line.strip()
                         and not line.startswith(('written to', 'check mode:')))


def snapshot(folder):
    """Every file under folder with its bytes."""
    files = {}
    for top, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(top, name)
            with open(path, 'rb') as f:
                files[os.path.relpath(path, folder)] = f.read()
    return files


def put_received_aside(hosts, back=False):
    """Moves what the simulated switches received aside (or back), to see
    whether anything comes again."""
    for host in hosts:
        for dev in SWITCHES:
            path = host.path('%s/received_%08x_%d.bin' % (STATE_DIR, CONTROLLER_ID, dev))
            old, new = (path + '.aside', path) if back else (path, path + '.aside')
            if os.path.exists(old):
                os.rename(old, new)


class FleetTest(unittest.TestCase):
    maxDiff = None

    def assertRollout(self, rollout, status):
        self.assertEqual(status, rollout.status, rollout.output[-6000:])
        self.assertIsNotNone(rollout.summary, rollout.output[-6000:])

    def test_successful_fleet_then_second_run_changes_nothing(self):
        # host3 runs the package's version already; host6 has no IPMI device.
        fleet = Fleet('successful', {
            'host3': dict(version=NEW_VERSION),
            'host6': dict(controller=NO_DEVICE_CONTROLLER),
        })
        # host1 has a package folder of root's left behind by an earlier
        # package, with a file the new one does not ship and a payload folder
        # anyone could write to, where a file was put.
        leftover = fleet.hosts['host1'].path('/opt/lumoswitch')
        os.makedirs(os.path.join(leftover, 'payload'), mode=0o755)
        with open(os.path.join(leftover, 'OLD_NOTES'), 'w') as f:
            f.write('from the earlier package\n')
        os.chmod(os.path.join(leftover, 'payload'), 0o777)
        nobody_run(fleet.hosts['host1'].root, 'echo theirs > /opt/lumoswitch/payload/extra.bin')
        first = fleet.rollout()
        self.assertRollout(first, 0)
        self.assertEqual([HOSTS[0:1], HOSTS[1:4], HOSTS[4:8]], first.summary['batches'])
        for host in HOSTS:
            self.assertEqual('ok', first.summary['hosts'][host]['status'], host)

        recap = first.recap()
        for name, host in fleet.hosts.items():
            with self.subTest(host=name):
                rows = first.rows(name)
                self.assertEqual(2, len(rows))
                reports = os.path.join(fleet.reports, name)
                self.assertTrue(os.path.exists(os.path.join(reports, 'inventory.xml')))
                if name == 'host3':
                    self.assertEqual(['up to date'] * 2, [r['result'] for r in rows])
                    self.assertEqual([NEW_VERSION] * 2, [r['version_after'] for r in rows])
                    self.assertFalse(os.path.exists(os.path.join(reports, 'update.xml')))
                    self.assertIsNone(host.received(SWITCHES[0]))
                    # Only the package copy changed this host.
                    self.assertEqual(0, recap[name][1])
                    continue
                for dev, image in zip(SWITCHES, fleet.images):
                    self.assertEqual(image, host.received(dev))
                with open(os.path.join(reports, 'update.xml')) as f:
                    update = f.read()
                self.assertEqual([OLD_VERSION] * 2, [r['version_before'] for r in rows])
                self.assertEqual([NEW_VERSION] * 2, [r['version_after'] for r in rows])
                if name == 'host6':
                    self.assertIn('Please power cycle the system manually.', update)
                    self.assertNotIn('<RebootRequired>', update)
                    self.assertEqual(['updated, power cycle the system manually'] * 2,
                                     [r['result'] for r in rows])
                else:
                    self.assertIn('<RebootRequired>1</RebootRequired>', update)
                    self.assertEqual(['updated, power cycle staged'] * 2,
                                     [r['result'] for r in rows])
        # The tool refuses a package others could change: every host's copy is
        # root's alone and holds what the package ships, nothing else, whatever
        # was there before; nothing of the deployment is left beside it.
        shipped = package_files(fleet.package)
        for name, host in fleet.hosts.items():
            self.assertEqual(shipped, package_files(host.path('/opt/lumoswitch')), name)
            self.assertEqual([], [e for e in os.listdir(host.path('/opt'))
                                  if e.startswith('.lumoswitch')], name)
            for folder, dirs, files in os.walk(host.path('/opt/lumoswitch')):
                for path in [folder] + [os.path.join(folder, f) for f in files]:
                    st = os.lstat(path)
                    self.assertEqual((0, 0), (st.st_uid, st.st_gid), path)
                    self.assertEqual(0, st.st_mode & 0o022, path)
            tool = os.stat(host.path('/opt/lumoswitch/lumoswitch'))
            self.assertEqual(0o755, tool.st_mode & 0o7777, name)
        # The package copy plus the update on every updated host, the copy
        # alone on host3.
        self.assertLess(recap['host3'][0], recap['host1'][0])

        # Again before the power cycle: the switches hold the package's images
        # from this boot, so nothing is sent and nothing changes.
        put_received_aside(fleet.hosts.values())
        again = fleet.rollout()
        self.assertRollout(again, 0)
        self.assertEqual({h: (0, 0) for h in HOSTS}, again.recap())
        for name, host in fleet.hosts.items():
            with self.subTest(host=name):
                self.assertEqual([None, None], [host.received(dev) for dev in SWITCHES])
                rows = again.rows(name)
                expected = ('up to date' if name == 'host3' else
                            'power cycle pending: power cycle the system manually'
                            if name == 'host6' else 'power cycle pending: staged earlier')
                self.assertEqual([expected] * 2, [r['result'] for r in rows])
                self.assertEqual([NEW_VERSION] * 2, [r['version_after'] for r in rows])

        put_received_aside(fleet.hosts.values(), back=True)
        for host in fleet.hosts.values():
            host.power_cycle(fleet.images)
        # A check run of the fleet, now up to date: nothing to change, and the
        # reports and summary of the last real run stay as they are (a fresh
        # inventory would show the new versions).
        reports = snapshot(fleet.reports)
        check = fleet.rollout(check=True)
        self.assertRollout(check, 0)
        self.assertEqual({h: (0, 0) for h in HOSTS}, check.recap())
        self.assertEqual(reports, snapshot(fleet.reports))
        self.assertIn('LUMOSWITCH FLEET SUMMARY (CHECK MODE)', check.output)
        self.assertIn('%s  up to date' % NEW_VERSION, check.table())

        second = fleet.rollout()
        self.assertRollout(second, 0)
        self.assertEqual({h: (0, 0) for h in HOSTS}, second.recap())
        for row in second.summary['switches']:
            self.assertEqual('up to date', row['result'], row)
            self.assertEqual(NEW_VERSION, row['version_before'], row)
        # The first run's update reports do not pass for this run's.
        for name in HOSTS:
            self.assertFalse(os.path.exists(os.path.join(fleet.reports, name, 'update.xml')))

    def hostile_rollout(self, case, hostile):
        """host1, a clean canary, then the hostile host alone in the second batch."""
        return Fleet(case, {}, names=['host1', hostile])

    def assertCanaryUpdated(self, rollout):
        self.assertEqual('ok', rollout.summary['hosts']['host1']['status'])
        self.assertEqual([('host1', 'updated, power cycle staged')] * 2,
                         [(r['host'], r['result']) for r in rollout.rows('host1')])

    def test_package_folder_others_could_write_fails_the_host_as_it_was(self):
        # A deploy account unpacked an earlier package into a 0775 folder of
        # its own, then plants a script the tool would run as root and a link
        # to a file of root's, for the role's owner and mode change.
        fleet = self.hostile_rollout('deploy-account', 'host2')
        host = fleet.hosts['host2']
        shadow = os.lstat(host.path('/etc/shadow'))
        os.makedirs(host.path('/opt/lumoswitch'))
        os.chown(host.path('/opt/lumoswitch'), 65534, 65534)
        os.chmod(host.path('/opt/lumoswitch'), 0o775)
        nobody_run(host.root, 'cd /opt/lumoswitch && '
                   'printf "#!/bin/sh\\ntouch /pwned\\n" > doRPM.sh && chmod 755 doRPM.sh && '
                   'ln -s /etc/shadow NOTES')

        rollout = fleet.rollout(lumoswitch_batches=[1, 1], lumoswitch_max_fail_percentage=100)
        # Nothing of theirs ran, no mode of root's changed, their folder is
        # as they left it and nothing reached the switches.
        self.assertFalse(os.path.lexists(host.path('/pwned')))
        after = os.lstat(host.path('/etc/shadow'))
        self.assertEqual((shadow.st_mode, shadow.st_uid, shadow.st_gid),
                         (after.st_mode, after.st_uid, after.st_gid))
        planted = os.lstat(host.path('/opt/lumoswitch/doRPM.sh'))
        self.assertEqual((65534, 0o755), (planted.st_uid, stat.S_IMODE(planted.st_mode)))
        folder = os.lstat(host.path('/opt/lumoswitch'))
        self.assertEqual((65534, 0o775), (folder.st_uid, stat.S_IMODE(folder.st_mode)))
        self.assertEqual(['NOTES', 'doRPM.sh'], sorted(os.listdir(host.path('/opt/lumoswitch'))))
        self.assertTrue(os.path.islink(host.path('/opt/lumoswitch/NOTES')))
        self.assertIsNone(host.received(SWITCHES[0]))
        # The host fails, saying why.
        self.assertRollout(rollout, 2)
        self.assertCanaryUpdated(rollout)
        failed = rollout.summary['hosts']['host2']
        self.assertEqual('failed', failed['status'])
        self.assertIn('package folder /opt/lumoswitch: /opt/lumoswitch is not owned by root',
                      failed['message'])

    def test_host_name_that_is_not_a_file_name_fails_its_host(self):
        # A host named from a tenant's tag: joined into the reports path it
        # would write and remove reports outside the reports folder.
        fleet = self.hostile_rollout('host-name', '../escaped')
        outside = os.path.join(fleet.dir, 'escaped')
        os.makedirs(outside)
        with open(os.path.join(outside, 'update.xml'), 'w') as f:
            f.write('not the reports folder\n')

        rollout = fleet.rollout(lumoswitch_batches=[1, 1], lumoswitch_max_fail_percentage=100)
        # Nothing written or removed outside the reports folder, nothing done
        # on the host.
        self.assertEqual(['update.xml'], os.listdir(outside))
        with open(os.path.join(outside, 'update.xml')) as f:
            self.assertEqual('not the reports folder\n', f.read())
        self.assertFalse(os.path.exists(fleet.hosts['../escaped'].path('/opt/lumoswitch')))
        # The host fails, saying why.
        self.assertRollout(rollout, 2)
        self.assertCanaryUpdated(rollout)
        self.assertEqual(['host1', 'summary.json'], sorted(os.listdir(fleet.reports)))
        failed = rollout.summary['hosts']['../escaped']
        self.assertEqual('failed', failed['status'])
        self.assertIn("host name '../escaped' is not a plain file name", failed['message'])

    def test_compromised_host_cannot_forge_the_summary(self):
        # Every module result of host2 carries facts of its choosing: summary
        # rows for host1 and a summary folder of its own; its inventory is
        # one the role cannot read, so the role records no outcome for it.
        fleet = self.hostile_rollout('compromised', 'host2')
        forged_folder = os.path.join(fleet.dir, 'forged')
        site = fleet.hosts['host2'].path('/usr/lib/python3/dist-packages')
        with open(os.path.join(site, 'lumo_compromised.py'), 'w') as f:
            f.write(COMPROMISED_PYTHON % dict(rows=repr(FORGED_ROWS), folder=forged_folder))
        with open(os.path.join(site, 'lumo_compromised.pth'), 'w') as f:
            f.write('import lumo_compromised\n')

        rollout = fleet.rollout(lumoswitch_batches=[1, 1], lumoswitch_max_fail_percentage=100)
        self.assertRollout(rollout, 2)
        # Its forgeries reach neither the summary nor the control node's disk.
        self.assertFalse(os.path.exists(forged_folder))
        self.assertNotIn('FORGED', json.dumps(rollout.summary))
        self.assertCanaryUpdated(rollout)
        self.assertEqual('failed', rollout.summary['hosts']['host2']['status'])
        self.assertEqual([('host2', '-')], [(r['host'], r['switch']) for r in rollout.rows('host2')])

    def test_rejected_chunk_fails_its_batch_and_stops_the_rollout(self):
        # host3 is in the second batch; its second switch rejects the second chunk.
        fleet = Fleet('failing-batch', {
            'host3': dict(fault='fault dev=%d opcode=0x3b chunk=2 status=2 '
                                'sense=70000500000000000000000024' % SWITCHES[1]),
        })
        rollout = fleet.rollout()
        print('\nSummary of the failing-batch rollout:\n' + rollout.table())
        self.assertRollout(rollout, 2)
        self.assertEqual([HOSTS[0:1], HOSTS[1:4]], rollout.summary['batches'])
        hosts = rollout.summary['hosts']
        self.assertEqual('ok', hosts['host1']['status'])
        self.assertEqual('failed', hosts['host3']['status'])
        (serial1, comp1), (serial2, comp2) = table_serials()
        # The failure names the switch, though the report names it not.
        failure = ('switch %s (component %s, LUMO Switch SW2): ERROR: Failed to Update Firmware'
                   % (serial2, comp2))
        self.assertEqual('host3: update failed: ' + failure, hosts['host3']['message'])
        rows = {r['switch']: r for r in rollout.rows('host3')}
        self.assertEqual('updated, power cycle staged', rows[serial1]['result'])
        self.assertEqual('failed: ERROR: Failed to Update Firmware', rows[serial2]['result'])
        self.assertEqual(OLD_VERSION, rows[serial2]['version_after'])
        # No later batch started: nothing reached its hosts.
        for name in HOSTS[4:]:
            self.assertEqual('not started', hosts[name]['status'], name)
            self.assertIsNone(fleet.hosts[name].received(SWITCHES[0]), name)
            self.assertFalse(os.path.exists(fleet.hosts[name].path('/opt/lumoswitch')), name)
        self.assertIn(failure, rollout.output)

        # A check run with diffs: host3 would be sent the package again (its
        # second switch still needs it), the hosts that took it wait for the
        # power cycle, the batches that never started would get everything.
        # Nothing is sent, and the reports and the summary stay.
        put_received_aside(fleet.hosts.values())
        reports = snapshot(fleet.reports)
        check = fleet.rollout(check=True, diff=True)
        self.assertRollout(check, 0)
        self.assertEqual(reports, snapshot(fleet.reports))
        recap = check.recap()
        for name in ('host1', 'host2', 'host4'):
            self.assertEqual((0, 0), recap[name], name)
        for name in ['host3'] + HOSTS[4:]:
            self.assertGreater(recap[name][0], 0, name)
            self.assertEqual(0, recap[name][1], name)
        for host in fleet.hosts.values():
            self.assertEqual([None, None], [host.received(dev) for dev in SWITCHES], host.name)
        for serial, comp in ((serial1, comp1), (serial2, comp2)):
            self.assertIn('\n-%s (%s): %s\n' % (serial, comp, OLD_VERSION), check.output)
            self.assertIn('\n+%s (%s): %s\n' % (serial, comp, NEW_VERSION), check.output)
        self.assertIn('LUMOSWITCH FLEET SUMMARY (CHECK MODE)', check.output)
        table = check.table()
        self.assertEqual(2, table.count('would update'), table)
        self.assertEqual(6, table.count('power cycle pending: staged earlier'), table)

    def test_signed_rollout_stops_at_a_host_whose_payload_was_damaged(self):
        # Every host trusts the signer; host3 (second batch) gets the package
        # with a byte of the first image flipped on the way.
        fleet = Fleet('signed', {})
        certificate = fleet.sign()
        damaged = fleet.damaged_copy('host3', 'payload/lumo_sw1.bin', 5000)
        fleet.write_inventory({'host3': damaged})
        rollout = fleet.rollout(lumoswitch_trusted_certificates=[certificate])
        print('\nSummary of the signed rollout:\n' + rollout.table())
        self.assertRollout(rollout, 2)
        self.assertEqual([HOSTS[0:1], HOSTS[1:4]], rollout.summary['batches'])
        hosts = rollout.summary['hosts']
        self.assertEqual('failed', hosts['host3']['status'])
        self.assertEqual('host3: package refused: lumoswitch: Refusing package file '
                         '/opt/lumoswitch/payload/lumo_sw1.bin: checksum mismatch against '
                         'package.jcat', hosts['host3']['message'])
        (serial1, _), _ = table_serials()
        rows = {r['switch']: r for r in rollout.rows('host3')}
        self.assertEqual('failed: ERROR: payload/lumo_sw1.bin refused: checksum mismatch '
                         'against package.jcat', rows[serial1]['result'])
        host3 = fleet.hosts['host3']
        # Not a byte of the damaged image reached its switch; the other did.
        self.assertIsNone(host3.received(SWITCHES[0]))
        self.assertEqual(fleet.images[1], host3.received(SWITCHES[1]))
        for name in ('host1', 'host2', 'host4'):
            self.assertEqual('ok', hosts[name]['status'], name)
            self.assertEqual(['updated, power cycle staged'] * 2,
                             [r['result'] for r in rollout.rows(name)], name)
            for dev, image in zip(SWITCHES, fleet.images):
                self.assertEqual(image, fleet.hosts[name].received(dev), name)
        # The signer is what each host trusts, and only root may change that.
        with open(certificate, 'rb') as f:
            pem = f.read()
        for name in HOSTS[:4]:
            host = fleet.hosts[name]
            folder = host.path('/etc/lumoswitch/trust')
            self.assertEqual(['signer.pem'], os.listdir(folder), name)
            self.assertEqual(pem, host.read('/etc/lumoswitch/trust/signer.pem'), name)
            for path, mode in ((folder, 0o700), (os.path.join(folder, 'signer.pem'), 0o600)):
                st = os.lstat(path)
                self.assertEqual((0, 0, mode), (st.st_uid, st.st_gid, st.st_mode & 0o7777), path)
        for name in HOSTS[4:]:
            self.assertEqual('not started', hosts[name]['status'], name)
            self.assertFalse(os.path.exists(fleet.hosts[name].path('/etc/lumoswitch')), name)

    def test_failed_hosts_within_the_threshold_each_say_why(self):
        # host2 cannot be reached (second batch, one of three). In the last
        # batch host5 gets a package whose first image is larger than a
        # switch takes, host6 one without a storage library, and host7 has no
        # switch at all: two failed hosts of four stay within 50 %.
        fleet = Fleet('threshold', {'host7': dict(switches=False)}, missing=('host2',))

        def oversized(package):
            with open(os.path.join(package, 'payload', 'lumo_sw1.bin'), 'wb') as f:
                f.write(b'\0' * ((16 << 20) + 1))

        fleet.write_inventory({
            'host5': fleet.changed_copy('host5', oversized),
            'host6': fleet.changed_copy(
                'host6', lambda package: os.remove(os.path.join(package, 'libstorelibit.so'))),
        })
        rollout = fleet.rollout(lumoswitch_max_fail_percentage=50)
        print('\nSummary of the threshold rollout:\n' + rollout.table())
        self.assertRollout(rollout, 2)
        self.assertEqual([HOSTS[0:1], HOSTS[1:4], HOSTS[4:8]], rollout.summary['batches'])
        hosts = rollout.summary['hosts']
        self.assertEqual('failed', hosts['host2']['status'])
        self.assertIn(os.path.join(fleet.dir, 'host2'), hosts['host2']['message'])
        self.assertEqual([('host2', '-', '', '')],
                         [(r['host'], r['switch'], r['version_before'], r['version_after'])
                          for r in rollout.rows('host2')])
        self.assertIn('fatal: [host2]', rollout.output)

        # A refused package file: the tool's line and status, the other
        # switch updated.
        self.assertEqual('failed', hosts['host5']['status'])
        self.assertEqual('host5: package refused: lumoswitch: Refusing package file '
                         '/opt/lumoswitch/payload/lumo_sw1.bin: it has 16777217 bytes, more than '
                         'the 16777216 a switch can take', hosts['host5']['message'])
        self.assertEqual(['failed: ERROR: Failed to Update Firmware',
                          'updated, power cycle staged'],
                         [r['result'] for r in rollout.rows('host5')])
        self.assertIsNone(fleet.hosts['host5'].received(SWITCHES[0]))
        self.assertEqual(fleet.images[1], fleet.hosts['host5'].received(SWITCHES[1]))
        # No library: not a board without switches.
        self.assertEqual('failed', hosts['host6']['status'])
        no_library = ('lumoswitch -i failed with exit status 3: lumoswitch: cannot load the '
                      'storage library: ./libstorelibit.so: the file is missing; '
                      'libstorelibit.so.07: cannot open shared object file')
        self.assertIn(no_library, hosts['host6']['message'])
        self.assertEqual([('-', 'failed: ' + no_library)],
                         [(r['switch'], r['result'][:len(no_library) + 8])
                          for r in rollout.rows('host6')])
        # No switch: nothing failed, nothing was updated.
        self.assertEqual(dict(status='no switch', message=''), hosts['host7'])
        self.assertEqual([('-', 'no switch found')],
                         [(r['switch'], r['result']) for r in rollout.rows('host7')])
        self.assertEqual(0, rollout.recap()['host7'][1])
        for name in ('host1', 'host3', 'host4', 'host8'):
            self.assertEqual('ok', hosts[name]['status'], name)
            self.assertEqual(['updated, power cycle staged'] * 2,
                             [r['result'] for r in rollout.rows(name)], name)


def serve(command):
    """The simulated fleet for a command of one's own (scripts/simulated-fleet.sh):
    eight hosts, host3 already current, in SCRATCH/hosts.ini, while it runs."""
    fleet = Fleet('', {'host3': dict(version=NEW_VERSION)}, package=False)
    print('simulated fleet: %d hosts in %s (gone when the command ends)'
          % (len(fleet.hosts), fleet.inventory), flush=True)
    return subprocess.call(command, env=fleet.environment())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--program', required=True)
    parser.add_argument('--storelib', required=True)
    parser.add_argument('--preload', required=True)
    parser.add_argument('--scratch', required=True)
    parser.add_argument('--inside', action='store_true')
    parser.add_argument('--serve', action='store_true',
                        help='run the command after "--" against a simulated fleet')
    argv = sys.argv[1:]
    command = argv[argv.index('--') + 1:] if '--' in argv else []
    argv = argv[:argv.index('--')] if '--' in argv else argv
    ARGS, rest = parser.parse_known_args(argv)
    for name in ('program', 'storelib', 'preload', 'scratch'):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    if os.geteuid() != 0:
        print('fleet test: needs root (mount namespaces, chroot); skipped')
        return 77
    if not ARGS.inside:
        # Every overlay root is mounted in a namespace of its own that ends with the run.
        command = ['unshare', '--mount', '--propagation', 'private', '--fork',
                   sys.executable, os.path.abspath(__file__), '--inside'] + sys.argv[1:]
        return subprocess.call(command)
    subprocess.run(['mount', '--make-rprivate', '/'], check=True)
    os.makedirs(ARGS.scratch, exist_ok=True)
    if ARGS.serve:
        return serve(command)
    started = time.monotonic()
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    print('fleet test wall time: %.1f s' % (time.monotonic() - started))
    return 0 if result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
