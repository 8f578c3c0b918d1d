# The module's own logic, without a morvik: the command line and environment
# it builds from the task's arguments, and the result it makes of a run.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import pytest

from ansible_collections.morvik.fleet.plugins.modules import firmware

BASE = dict(host='10.0.0.5', user='admin', password='Kx9-vq.Tr7', password_file=None,
            mode='update', both=False, tftp='10.0.0.1/$HOME', img_tzr='tzr.bin', img_sw='~/sw.bin',
            stage=False, check_tftp=False, sha256sums=None, host_key=None, lock_dir=None, trace=None,
            pace='settle', accept_weak_crypto=False)
CHECK = dict(BASE, mode='account_check', tftp=None, img_tzr=None, img_sw=None)
KEYS = ['SHA256:aaaa', 'SHA256:bbbb']

# (what, arguments, check mode, words in the command line, words not in it, environment)
COMMAND_LINES = [
    ('an update passes its options through as given',
     dict(BASE, both=True, check_tftp=True, host_key=KEYS, sha256sums='/srv/SUMS',
          accept_weak_crypto=True), False,
     ['both', '-check_tftp', '-hostkey', 'SHA256:bbbb', '10.0.0.1/$HOME', '~/sw.bin', 'settle',
      '-sha256sums', '/srv/SUMS', '-accept_weak_crypto'],
     ['-dry_run', '-stage', '-pwd_file'], {'MORVIK_PASSWORD': 'Kx9-vq.Tr7'}),
    ('check mode makes an update a dry run', dict(BASE, stage=True), True,
     ['-dry_run', '-stage'], ['both', '-hostkey'], {'MORVIK_PASSWORD': 'Kx9-vq.Tr7'}),
    ('a password file goes on the command line, not into the environment',
     dict(BASE, password=None, password_file='/etc/morvik/pw', lock_dir='/tmp/locks'), False,
     ['-pwd_file', '/etc/morvik/pw'], [], {'MORVIK_LOCK_DIR': '/tmp/locks'}),
    ('an account check takes no update options, in check mode neither',
     dict(CHECK, stage=True, check_tftp=True, both=True, host_key=KEYS[:1], trace='debug',
          sha256sums='/srv/SUMS'), True,
     ['account_check', '-hostkey', 'SHA256:aaaa', '-D', 'debug'],
     ['-dry_run', '-stage', '-check_tftp', 'both', '-tftp', '-sha256sums', '-accept_weak_crypto'],
     {'MORVIK_PASSWORD': 'Kx9-vq.Tr7'}),
]


@pytest.mark.parametrize('what,params,check_mode,present,absent,env', COMMAND_LINES,
                         ids=[c[0] for c in COMMAND_LINES])
def test_command_line_and_environment(what, params, check_mode, present, absent, env):
    cmd = firmware.command_line(params, check_mode, '/usr/bin/morvik', '/tmp/r.json')
    assert cmd[-2:] == ['-report', '/tmp/r.json']
    for word in present:
        assert word in cmd
    for word in absent + ['Kx9-vq.Tr7']:
        assert word not in cmd
    assert firmware.environment(params) == env
    assert firmware.argument_problem(params) is None


def test_more_host_keys_than_morvik_takes():
    assert firmware.argument_problem(dict(BASE, host_key=KEYS * 4)) is None
    assert 'at most 8' in firmware.argument_problem(dict(BASE, host_key=KEYS * 4 + ['SHA256:c']))


def report(**fields):
    r = dict(exit_name='MORVIK_SUCCESS', message='done', changed=False, signal=None, failed_step=None)
    r.update(fields)
    return r


CURRENT, FLASHED = dict(mode='Switch', outcome='current'), dict(mode='TZR', outcome='flashed')

# (what, arguments, check mode, rc, report, stderr, (exit_name, msg, changed))
VERDICTS = [
    ('the report speaks for a run', BASE, False, 11,
     report(exit_name='MORVIK_CLI_CMD_FAILED_ERR', message='the module reported that the command failed',
            changed=True),
     '', ('MORVIK_CLI_CMD_FAILED_ERR', 'the module reported that the command failed', True)),
    ('a refused command line says why', CHECK, False, 1, None, 'Argument missed\n\n',
     ('MORVIK_INVALID_PARAM_ERR', 'invalid or incomplete command line: Argument missed', False)),
    ('an update without a report may have changed the module', BASE, False, 14, None, '',
     ('MORVIK_HOST_KEY_ERR', 'the module\'s host key did not match', True)),
    ('an account check without a report changed nothing', CHECK, False, 6, None, '',
     ('MORVIK_SSH_AUTH_ERR', 'login refused', False)),
    ('a declined algorithm says what would accept it', CHECK, False, 15,
     report(exit_name='MORVIK_WEAK_CRYPTO_ERR',
            message='the module\'s SSH server offers only algorithms that the SSH client warns against'),
     '', ('MORVIK_WEAK_CRYPTO_ERR', 'the module\'s SSH server offers only algorithms that the SSH '
                                    'client warns against (declined without accept_weak_crypto; exit 15)',
          False)),
    ('a caught signal names itself and the step', BASE, False, 143,
     report(exit_name=None, message='interrupted', changed=True, signal='SIGTERM', failed_step='download'),
     '', ('SIGTERM', 'morvik was ended by SIGTERM during step \'download\'', True)),
    ('a caught signal without a report', CHECK, True, 129, None, '',
     ('SIGHUP', 'morvik was ended by SIGHUP', False)),
    ('a signal that ended morvik outright', BASE, False, -9, None, '',
     ('SIGKILL', 'morvik was ended by SIGKILL', True)),
    ('an unknown status', BASE, True, 99, None, '',
     (None, 'morvik ended with the unknown status 99', False)),
    ('check mode: a module at its target would not change', BASE, True, 0,
     report(modes=[CURRENT, dict(CURRENT, mode='TZR')]), '', ('MORVIK_SUCCESS', 'done', False)),
    ('check mode: a mode not at its target would change', BASE, True, 0,
     report(modes=[CURRENT, FLASHED]), '', ('MORVIK_SUCCESS', 'done', True)),
    ('check mode: a report without modes keeps its changed', BASE, True, 0, report(), '',
     ('MORVIK_SUCCESS', 'done', False)),
    ('outside check mode the modes do not overrule changed', BASE, False, 0,
     report(modes=[FLASHED], changed=False), '', ('MORVIK_SUCCESS', 'done', False)),
]


@pytest.mark.parametrize('what,params,check_mode,rc,rep,err,expected', VERDICTS,
                         ids=[c[0] for c in VERDICTS])
def test_verdict(what, params, check_mode, rc, rep, err, expected):
    assert firmware.verdict(params, check_mode, rc, rep, err) == expected


def test_shown_arguments_never_hold_the_password():
    shown = firmware.masked_invocation(BASE)['module_args']
    assert shown['password'] == firmware.NO_LOG_MARK and shown['host'] == '10.0.0.5'
    assert firmware.masked_invocation(dict(BASE, password=None))['module_args']['password'] is None
