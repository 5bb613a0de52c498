#!/usr/bin/python3
"""scripts/make-package.sh: the package folder it assembles, and the ones it
refuses to make, from a build that is already there.

    make_package_test.py --build DIR [unittest args]

The cases where another user prepares the source or the place of the package
need root (they run that user's part through setpriv as nobody).
"""

import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
MAKE_PACKAGE = os.path.join(REPO, 'scripts', 'make-package.sh')
NOBODY = ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']
PACKAGE_XML = ('<?xml version="1.0" encoding="UTF-8"?><SoftwareComponent vendorVersion="1.3.0.0">'
               '<SupportedDevices><Device componentID="104101"><PayloadConfiguration>'
               '<Image filename="%s"/></PayloadConfiguration></Device></SupportedDevices>'
               '</SoftwareComponent>')

ARGS = None


def make(output, source=None, library='simulator', extra=()):
    command = [MAKE_PACKAGE, '--build', ARGS.build, '--no-build', '--library', library]
    command += list(extra) + [output] + ([source] if source else [])
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


def listing(folder):
    """Every entry under folder with its type and mode."""
    entries = []
    for top, dirs, files in os.walk(folder):
        for name in sorted(dirs + files):
            path = os.path.join(top, name)
            info = os.lstat(path)
            kind = 'd' if stat.S_ISDIR(info.st_mode) else 'f' if stat.S_ISREG(info.st_mode) else '?'
            entries.append((os.path.relpath(path, folder), kind, oct(info.st_mode & 0o7777),
                            info.st_uid))
    return sorted(entries)


class MakePackage(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name
        os.chmod(self.dir, 0o755)

    def source(self, images, xml_name='lumo_sw1.bin'):
        source = os.path.join(self.dir, 'source')
        os.makedirs(source, exist_ok=True)
        with open(os.path.join(source, 'package.xml'), 'w') as f:
            f.write(PACKAGE_XML % xml_name)
        for name, data in images.items():
            with open(os.path.join(source, name), 'wb') as f:
                f.write(data)
        return source

    def test_a_package_from_a_folder_of_images(self):
        source = self.source({'lumo_sw1.bin': b'\x5a' * 70000, '98-secupdusb.rules': b'# usb\n',
                              'unrelated.txt': b'left out\n'})
        os.chmod(os.path.join(source, 'lumo_sw1.bin'), 0o666)
        out = os.path.join(self.dir, 'pkg')
        run = make(out, source)
        self.assertEqual(0, run.returncode, run.stderr)
        me = os.geteuid()
        # Root-safe whatever the source's modes: nothing others may write, no link.
        self.assertEqual([('98-secupdusb.rules', 'f', '0o644', me),
                          ('libstorelibit.so', 'f', '0o644', me),
                          ('lumoswitch', 'f', '0o755', me),
                          ('package.xml', 'f', '0o644', me),
                          ('payload', 'd', '0o755', me),
                          ('payload/lumo_sw1.bin', 'f', '0o644', me)], listing(out))
        self.assertEqual('0o755', oct(os.lstat(out).st_mode & 0o7777))
        with open(os.path.join(out, 'payload', 'lumo_sw1.bin'), 'rb') as f:
            self.assertEqual(b'\x5a' * 70000, f.read())
        # The package's program is the build's and runs.
        help_run = subprocess.run([os.path.join(out, 'lumoswitch'), '-h'],
                                  stdout=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(0, help_run.returncode)
        self.assertIn('Usage: -u', help_run.stdout)

    def test_the_demo_package_is_the_same_every_time(self):
        first, second = os.path.join(self.dir, 'a'), os.path.join(self.dir, 'b')
        for out in (first, second):
            run = make(out)
            self.assertEqual(0, run.returncode, run.stderr)
        for name in ('package.xml', 'payload/lumo_sw1.bin', 'payload/lumo_sw2.bin'):
            with open(os.path.join(first, name), 'rb') as a, open(os.path.join(second, name),
                                                                    'rb') as b:
                self.assertEqual(a.read(), b.read(), name)

    def test_packages_the_program_would_refuse_are_not_made(self):
        # A library of the build without the storage entry point.
        no_entry = os.path.join(ARGS.build, 'lib', 'libsimipmi_preload.so')
        cases = [
            # name, images, name in package.xml, library, message part
            ('an image outside payload/', {'lumo_sw1.bin': b'x'}, '../secret.bin', 'simulator',
             'outside payload/'),
            ('a missing image', {}, 'lumo_sw1.bin', 'simulator', 'does not hold as a file'),
            ('an image larger than a switch takes', {'lumo_sw1.bin': b'\0' * ((16 << 20) + 1)},
             'lumo_sw1.bin', 'simulator', 'more than the 16 MiB'),
            ('a library without the entry point', {'lumo_sw1.bin': b'x'}, 'lumo_sw1.bin',
             no_entry, 'does not export ProcessLibCommandIT'),
        ]
        for name, images, xml_name, library, message in cases:
            with self.subTest(name):
                shutil.rmtree(os.path.join(self.dir, 'source'), ignore_errors=True)
                out = os.path.join(self.dir, 'pkg')
                run = make(out, self.source(images, xml_name), library)
                self.assertNotEqual(0, run.returncode)
                self.assertIn(message, run.stderr)
                self.assertEqual(['source'], os.listdir(self.dir),
                                 'nothing half-made is left beside it')

    def test_a_signed_package_is_signed_whole_or_not_made(self):
        signer = os.path.join(self.dir, 'signer')
        os.mkdir(signer)

        def pair(name):
            cert, key = (os.path.join(signer, name + '.pem'), os.path.join(signer, name + '.key'))
            subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days',
                            '30', '-subj', '/CN=Package Signing ' + name, '-addext',
                            'keyUsage=critical,digitalSignature', '-keyout', key, '-out', cert],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return cert, key

        cert, key = pair('a')
        out = os.path.join(self.dir, 'pkg')
        run = make(out, extra=['--sign', cert, key])
        self.assertEqual(0, run.returncode, run.stderr)
        trust = os.path.join(signer, 'trust')
        os.mkdir(trust)
        shutil.copy(cert, trust)
        verify = subprocess.run(['jcat-tool', 'verify', 'package.jcat', '--public-keys', trust],
                                cwd=out, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                universal_newlines=True)
        self.assertEqual(0, verify.returncode, verify.stdout)
        for item in ('package.xml', 'libstorelibit.so', 'payload/lumo_sw1.bin',
                     'payload/lumo_sw2.bin'):
            self.assertIn('%s:\n    PASSED sha256: OK\n    PASSED pkcs7: CN=Package Signing a\n'
                          % item, verify.stdout)
        # A key that is not the certificate's: no package at all.
        _, other_key = pair('b')
        again = os.path.join(self.dir, 'pkg2')
        run = make(again, extra=['--sign', cert, other_key])
        self.assertNotEqual(0, run.returncode)
        self.assertIn('could not be signed; nothing made', run.stderr)
        self.assertFalse(os.path.exists(again))
        self.assertEqual([], [e for e in os.listdir(self.dir) if e.startswith('.make-package')])


class AnotherUser(unittest.TestCase):
    """Root makes a package where nobody has been first."""

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest('needs root (another user prepares the place)')
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        # Like /tmp: everyone may add entries, only their owners remove them.
        self.shared = scratch.name
        os.chmod(self.shared, 0o1777)
        self.victim = os.path.join(self.shared, 'roots')
        os.mkdir(self.victim, 0o700)

    def nobody(self, script):
        subprocess.run(NOBODY + ['/bin/sh', '-c', script, 'x', self.shared, self.victim],
                       check=True)

    def test_nothing_is_made_through_what_nobody_prepared(self):
        def their_source(image, links):
            """Their source folder naming `image`, with `links` (name, target) in it."""
            xml = (PACKAGE_XML % image).replace('"', '\\"')
            script = 'mkdir -m 755 "$1/src" && printf "%s" > "$1/src/package.xml"' % xml
            for name, target in links:
                script += ' && ln -s "%s" "$1/src/%s"' % (target, name)
            return script

        cases = [
            ('a link at the output', 'ln -s "$2" "$1/pkg"', 'exists already'),
            ('their folder at the output', 'mkdir -m 777 "$1/pkg"', 'exists already'),
            # Links to files of root's: none is copied into the package, where
            # anyone could read it.
            ('a linked image in their source',
             their_source('lumo_sw1.bin', [('lumo_sw1.bin', '$2/secret')]),
             'does not hold as a file'),
            ('an image in a linked folder of their source',
             their_source('sub/secret', [('sub', '$2')]), 'does not hold as a file'),
            ('a linked rule file in their source',
             their_source('lumo_sw1.bin', [('98-secupdusb.rules', '$2/secret')])
             + ' && printf x > "$1/src/lumo_sw1.bin"',
             '98-secupdusb.rules is not a file of its own'),
            ('a linked package.xml',
             'mkdir -m 755 "$1/src" && ln -s "$2/secret" "$1/src/package.xml"',
             'package.xml is not a file of its own'),
        ]
        with open(os.path.join(self.victim, 'secret'), 'wb') as f:
            f.write(b'root secret\n')
        for name, attack, message in cases:
            with self.subTest(name):
                for entry in ('pkg', 'src'):
                    path = os.path.join(self.shared, entry)
                    if os.path.islink(path) or os.path.isfile(path):
                        os.remove(path)
                    elif os.path.isdir(path):
                        shutil.rmtree(path)
                self.nobody(attack)
                src = os.path.join(self.shared, 'src')
                run = make(os.path.join(self.shared, 'pkg'), src if os.path.isdir(src) else None)
                self.assertNotEqual(0, run.returncode)
                self.assertIn(message, run.stderr)
                self.assertEqual(['secret'], os.listdir(self.victim))
                # Nothing of root's beside theirs, no half-made package.
                for entry in os.listdir(self.shared):
                    path = os.path.join(self.shared, entry)
                    if path != self.victim:
                        self.assertNotEqual(0, os.lstat(path).st_uid, path)
                        self.assertFalse(entry.startswith('.make-package'), path)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
