# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
name: fleet_summary
type: aggregate
short_description: Fleet summary of a lumoswitch rollout, as JSON and as a table
version_added: 1.0.0
description:
  - Collects the outcome each host recorded (the lumoswitch role's C(lumoswitch_outcome) fact,
    rows made by the C(lumo.lumoswitch.outcome) filter) and every host failure, and at the end
    of the run writes C(summary.json) into the reports folder (the role's
    C(lumoswitch_reports_dir)) and prints a table of host, switch, version before and after,
    and result.
  - Each host's status is C(ok), C(no switch) (the tool found none with a working storage
    library), C(failed), C(stopped) (it started, but its batch ended without an outcome) or
    C(not started) (the rollout stopped before its batch).
  - It runs at the end of every run, including one that stopped early, so the summary also
    lists the hosts whose batch never started. It stays silent in runs where no host recorded
    an outcome or failed.
  - In check mode it prints the table only; C(summary.json) of the last real run stays.
  - A host's rows are taken only from the role's own C(set_fact) of C(lumoswitch_outcome)
    for that host (what a host's modules return cannot add or replace rows, nor rows of
    other hosts), and the reports folder only from the controller's settings
    (C(lumoswitch_reports_dir) from the extra or play variables, else C(reports)).
  - The table shows every character that is not printable as C(\xHH), so text a host
    returned (a serial, a message) can neither drive the terminal nor add lines.
  - The rollout playbook (C(lumo.lumoswitch.rollout)) loads it by itself. For a playbook of
    one's own that uses the role, enable it, for example with
    C(ANSIBLE_CALLBACKS_ENABLED=lumo.lumoswitch.fleet_summary) or C(callbacks_enabled) in
    C(ansible.cfg); a run that loads it twice still prints one summary.
requirements:
  - enabled in the configuration (callbacks_enabled), except for the rollout playbook
'''

import json
import os

from ansible import context
from ansible.module_utils.common.text.converters import to_text
from ansible.plugins.callback import CallbackBase

NO_SWITCH = 'no switch found'

# One summary per run, however many times the plugin was loaded (the
# rollout playbook's own copy and a configured one).
_SUMMARIZED = []

COLUMNS = (('host', 'HOST'), ('switch', 'SWITCH'), ('version_before', 'BEFORE'),
           ('version_after', 'AFTER'), ('result', 'RESULT'))


def shown(value):
    """Text as it may reach a terminal: what a host returned (serials, messages)
    could carry escape sequences or line breaks that forge lines of the table, so
    every character that is not printable is written \\xHH (\\uHHHH above 0xff)."""
    return ''.join(c if c.isprintable() else
                   ('\\x%02x' % ord(c) if ord(c) < 0x100 else '\\u%04x' % ord(c))
                   for c in to_text(value))


def table(rows):
    """Rows as a plain-text table with one header line, one line per row."""
    cells = [[shown(r.get(key, '')) for key, _ in COLUMNS] for r in rows]
    widths = [max([len(title)] + [len(row[n]) for row in cells])
              for n, (_, title) in enumerate(COLUMNS)]

    def line(texts):
        return '  '.join(t.ljust(w) for t, w in zip(texts, widths)).rstrip()

    return '\n'.join([line([title for _, title in COLUMNS])] + [line(row) for row in cells])


def _role_outcome_task(task):
    """The lumoswitch role's set_fact: its facts are made on the controller."""
    role = getattr(task, '_role', None)
    return (task.action in ('set_fact', 'ansible.builtin.set_fact', 'ansible.legacy.set_fact')
            and role is not None and role.get_name().split('.')[-1] == 'lumoswitch')


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'lumoswitch_fleet_summary'
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self, *args, **kwargs):
        super(CallbackModule, self).__init__(*args, **kwargs)
        self._hosts = []      # every host of the rollout, in inventory order
        self._batches = []    # the hosts of each batch, in the order they ran
        self._started = set()
        self._outcomes = {}
        self._failures = {}
        self._summary_dir = None

    def v2_playbook_on_play_start(self, play):
        manager = play.get_variable_manager()
        # The controller's own settings: never a host's variables or facts.
        for source in (manager.extra_vars, play.get_vars()):
            if self._summary_dir is None and source.get('lumoswitch_reports_dir'):
                self._summary_dir = os.path.realpath(to_text(source['lumoswitch_reports_dir']))
        inventory = manager._inventory
        batch = [h.name for h in inventory.get_hosts(play.hosts)]
        for host in inventory.get_hosts(play.hosts, ignore_restrictions=True):
            if host.name not in self._hosts:
                self._hosts.append(host.name)
        self._batches.append(batch)

    def _seen(self, result):
        host = result._host.get_name()
        self._started.add(host)
        return host

    def v2_runner_on_ok(self, result):
        host = self._seen(result)
        if not _role_outcome_task(result._task):
            return
        facts = result._result.get('ansible_facts') or {}
        rows = facts.get('lumoswitch_outcome')
        if isinstance(rows, list):
            self._outcomes[host] = [r for r in rows
                                    if isinstance(r, dict) and r.get('host') == host]

    def v2_runner_on_skipped(self, result):
        self._seen(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        host = self._seen(result)
        if not ignore_errors:
            self._failures[host] = to_text(result._result.get('msg', 'failed'))

    def v2_runner_on_unreachable(self, result):
        host = self._seen(result)
        self._failures[host] = 'unreachable: %s' % to_text(result._result.get('msg', ''))

    def v2_playbook_on_stats(self, stats):
        if not self._outcomes and not self._failures:
            return
        if _SUMMARIZED:
            return
        _SUMMARIZED.append(self)
        rows = []
        hosts = {}
        for host in self._hosts:
            if host in self._failures:
                status = 'failed'
            elif host in self._outcomes and all(r.get('result') == NO_SWITCH
                                                for r in self._outcomes[host]):
                status = 'no switch'
            elif host in self._outcomes:
                status = 'ok'
            elif host in self._started:
                status = 'stopped'
            else:
                status = 'not started'
            hosts[host] = dict(status=status, message=self._failures.get(host, ''))
            outcome = self._outcomes.get(host)
            if outcome:
                rows.extend(outcome)
            else:
                rows.append(dict(host=host, switch='-', display='', component_id='',
                                 version_before='', version_after='',
                                 result=self._failures.get(host) or status))
        summary = dict(batches=[b for b in self._batches if b], hosts=hosts, switches=rows)
        directory = self._summary_dir or os.path.realpath('reports')
        path = os.path.join(directory, 'summary.json')
        if context.CLIARGS.get('check'):
            self._display.banner('LUMOSWITCH FLEET SUMMARY (CHECK MODE)')
            self._display.display(table(rows))
            self._display.display('check mode: %s not written' % path)
            return
        try:
            if not os.path.isdir(directory):
                os.makedirs(directory)
            with open(path, 'w') as f:
                json.dump(summary, f, indent=2, sort_keys=True)
                f.write('\n')
        except (IOError, OSError) as e:
            self._display.warning('fleet summary not written to %s: %s' % (path, to_text(e)))
            path = None
        self._display.banner('LUMOSWITCH FLEET SUMMARY')
        self._display.display(table(rows))
        if path:
            self._display.display('written to %s' % path)
