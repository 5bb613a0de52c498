# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The collection's fleet summary (lumo.lumoswitch.fleet_summary), loaded by
the rollout playbook beside which this file lies without any configuration."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible_collections.lumo.lumoswitch.plugins.callback.fleet_summary import (  # noqa: F401
    DOCUMENTATION, CallbackModule)
