#!/usr/bin/python
# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: lumoswitch_deploy
short_description: Put a lumoswitch package in place in a folder only root can write
version_added: 1.0.0
description:
  - The tool runs as root and runs, loads and reads what its package folder holds, so
    the folder must hold exactly what the package ships, writable by root alone.
  - With I(state=staged) the module checks the package folder and every folder above
    it, makes missing parents (C(0755), root's) and a fresh empty folder beside the
    package folder (C(0700)), and returns its path as C(staging). The package is then
    copied into it (M(ansible.builtin.copy)).
  - With I(state=installed) the module makes everything in the staging folder root's
    (C(root:root), folders C(0755), files C(0644) or, when executable, C(0755)),
    never following a link, and renames it into place. The folder it replaces is
    removed, with whatever it held that the package does not ship. When the
    package folder already holds exactly the same, it stays and nothing changes.
  - The task fails, changing nothing, when the package folder or a folder above it
    is a symbolic link, is not a directory, is not root's, or can be written by
    group or others, since someone else could have put something there; such a
    folder is not repaired but left for an administrator to look at.
  - A staging folder or a replaced folder left behind by a run that was cut short
    is removed by the next run.
options:
  dest:
    description: The package folder on the managed host (an absolute path).
    type: path
    required: true
  state:
    description:
      - C(staged) checks and makes the fresh staging folder.
      - C(installed) puts the filled staging folder in place.
    type: str
    choices: [staged, installed]
    default: staged
  staging:
    description: The staging folder an earlier C(staged) task returned (for C(installed)).
    type: path
notes:
  - In check mode C(staged) only checks the folders and returns no staging folder.
author:
  - lumoswitch maintainers (@lumoswitch)
'''

EXAMPLES = r'''
- name: Check the package folder and make a fresh one beside it
  lumo.lumoswitch.lumoswitch_deploy:
    dest: /opt/lumoswitch
  register: staged

- name: Copy the package into the fresh folder
  ansible.builtin.copy:
    src: /srv/lumoswitch-package/
    dest: "{{ staged.staging }}/"

- name: Put the package in place
  lumo.lumoswitch.lumoswitch_deploy:
    dest: /opt/lumoswitch
    staging: "{{ staged.staging }}"
    state: installed
'''

RETURN = r'''
staging:
  description: The fresh staging folder (C(state=staged), not in check mode).
  returned: success
  type: str
  sample: /opt/.lumoswitch.new-k3j9x2
'''

import filecmp
import os
import shutil
import stat
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_native

NEW = '.new-'
OLD = '.old-'


def why_unsafe(path, st):
    """Why a folder in the package's path could have been changed by others, or None."""
    if stat.S_ISLNK(st.st_mode):
        return '%s is a symbolic link' % path
    if not stat.S_ISDIR(st.st_mode):
        return '%s is not a directory' % path
    if st.st_uid != 0:
        return '%s is not owned by root (uid %d)' % (path, st.st_uid)
    if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return '%s is writable by group or others (mode %04o)' % (path, stat.S_IMODE(st.st_mode))
    return None


def check_path(dest):
    """The first folder of dest's path (dest included) that is not root's alone, or None."""
    parts = dest.strip('/').split('/')
    for n in range(len(parts) + 1):
        path = '/' + '/'.join(parts[:n])
        try:
            st = os.lstat(path)
        except OSError:
            return None  # missing from here on: made by root below
        why = why_unsafe(path, st)
        if why:
            return why
    return None


def leftovers(dest):
    """Staging and replaced folders of earlier runs that were cut short."""
    parent, name = os.path.split(dest)
    found = []
    for entry in os.listdir(parent):
        if entry.startswith('.' + name + NEW) or entry.startswith('.' + name + OLD):
            found.append(os.path.join(parent, entry))
    return found


def remove_tree(path):
    """Removes a folder of root's without following a link anywhere in it."""
    st = os.lstat(path)
    if stat.S_ISDIR(st.st_mode) and st.st_uid == 0:
        shutil.rmtree(path)


def settle(staging):
    """Root's, folders 0755, files 0644 or 0755; links are never followed."""
    for folder, dirs, files in os.walk(staging):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            os.lchown(path, 0, 0)
            if stat.S_ISLNK(st.st_mode):
                continue
            if stat.S_ISDIR(st.st_mode):
                os.chmod(path, 0o755)
            else:
                os.chmod(path, 0o755 if st.st_mode & 0o111 else 0o644)
    os.lchown(staging, 0, 0)
    os.chmod(staging, 0o755)


def tree(root):
    """Relative path -> (type and mode, owner, group, link target) of everything below root."""
    entries = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            target = os.readlink(path) if stat.S_ISLNK(st.st_mode) else None
            entries[os.path.relpath(path, root)] = (st.st_mode, st.st_uid, st.st_gid, target)
    return entries


def same(staging, dest):
    """Whether dest holds exactly what staging holds, byte for byte, with the same modes."""
    try:
        if not stat.S_ISDIR(os.lstat(dest).st_mode):
            return False
        left, right = tree(staging), tree(dest)
    except OSError:
        return False
    if left != right:
        return False
    for rel, (mode, _, _, _) in left.items():
        if stat.S_ISREG(mode) and not filecmp.cmp(os.path.join(staging, rel),
                                                  os.path.join(dest, rel), shallow=False):
            return False
    return stat.S_IMODE(os.lstat(staging).st_mode) == stat.S_IMODE(os.lstat(dest).st_mode)


def stage(module, dest):
    why = check_path(dest)
    if why:
        module.fail_json(msg='package folder %s: %s; not deploying into it, nor repairing '
                             'it: someone else could have put something there' % (dest, why))
    if module.check_mode:
        module.exit_json(changed=False)
    parent, name = os.path.split(dest)
    missing = []
    folder = parent
    while not os.path.lexists(folder):
        missing.insert(0, folder)
        folder = os.path.dirname(folder)
    for folder in missing:
        os.mkdir(folder, 0o755)
        os.chmod(folder, 0o755)
    for path in leftovers(dest):
        remove_tree(path)
    staging = tempfile.mkdtemp(prefix='.' + name + NEW, dir=parent)
    module.exit_json(changed=bool(missing), staging=staging)


def install(module, dest, staging):
    parent, name = os.path.split(dest)
    if os.path.dirname(staging) != parent or not os.path.basename(staging).startswith(
            '.' + name + NEW):
        module.fail_json(msg='%s is not a staging folder of %s' % (staging, dest))
    st = os.lstat(staging)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != 0:
        module.fail_json(msg='staging folder %s is not a folder of root\'s' % staging)
    why = check_path(dest)
    if why:
        remove_tree(staging)
        module.fail_json(msg='package folder %s: %s; not deploying into it' % (dest, why))
    settle(staging)
    if same(staging, dest):
        remove_tree(staging)
        module.exit_json(changed=False)
    old = None
    if os.path.lexists(dest):
        old = tempfile.mkdtemp(prefix='.' + name + OLD, dir=parent)
        os.rename(dest, old)
    try:
        os.rename(staging, dest)
    except OSError:
        if old:
            os.rename(old, dest)
        raise
    if old:
        remove_tree(old)
    module.exit_json(changed=True)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            dest=dict(type='path', required=True),
            state=dict(type='str', choices=['staged', 'installed'], default='staged'),
            staging=dict(type='path'),
        ),
        required_if=[('state', 'installed', ['staging'])],
        supports_check_mode=True,
    )
    dest = os.path.normpath(module.params['dest'])
    if not os.path.isabs(dest) or dest == '/':
        module.fail_json(msg='package folder %s is not an absolute path below /' % dest)
    try:
        if module.params['state'] == 'staged':
            stage(module, dest)
        elif module.check_mode:
            module.exit_json(changed=False)
        else:
            install(module, dest, os.path.normpath(module.params['staging']))
    except OSError as e:
        module.fail_json(msg='package folder %s: %s' % (dest, to_native(e)))


if __name__ == '__main__':
    main()
