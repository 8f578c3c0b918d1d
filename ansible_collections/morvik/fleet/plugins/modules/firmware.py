# -*- coding: utf-8 -*-
# Runs morvik against one switch module from Ansible: the update of its
# firmware, or a check of its login, with the run's report as the result.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: firmware
short_description: Update the firmware of a Quorbel switch module, or check a login to it
description:
  - Runs the C(morvik) tool once against one switch module, either to flash a new
    opcode image into it (I(mode=update)) or only to check that an SSH login to it
    works (I(mode=account_check)).
  - The module downloads the image itself from the TFTP server in I(tftp); morvik
    commands and verifies every step and writes a report of the run, which this
    module returns in C(report).
  - morvik runs in a private temporary working directory that holds a link named
    C(plink) to the SSH client given in I(plink). The password reaches it only through the
    environment variable C(MORVIK_PASSWORD) or the file in I(password_file), never
    on a command line.
  - Every exit status of morvik is a failure of its own kind, told apart by C(rc)
    and C(exit_name); C(msg) says what it means.
  - C(changed) is the report's, true when the run left the module different from how
    it found it. An update that changed the module and failed later is both changed
    and failed.
  - morvik locks each module for its run; a second run against the same module
    (another task, another controller sharing I(lock_dir)) fails with C(rc) 13.
  - "Run it on the controller (C(connection: local) or C(delegate_to: localhost)),
    once per switch module."
author:
  - morvik developers (!UNKNOWN)
requirements:
  - morvik
  - plink (Debian package putty-tools)
attributes:
  check_mode:
    description: Can run in check mode and tell what it would do without changing the target.
    support: partial
    details: An update becomes a dry run (C(-dry_run)) that reads the module and changes
      nothing; C(changed) then says whether the update would change it (false when every
      mode in the report's C(modes) is C(current), already at the target) and the tool's
      output says what it would do. An account check runs as it is.
  diff_mode:
    description: Reports what has changed, in diff mode.
    support: none
options:
  host:
    description: Address or host name of the switch module's management port.
    type: str
    required: true
  user:
    description: SSH user name on the switch module.
    type: str
    required: true
  password:
    description:
      - SSH password of I(user). Passed to morvik in its environment.
      - Keep it in a vault. Either I(password) or I(password_file) is required.
    type: str
  password_file:
    description:
      - File whose first line is the SSH password, on the controller. morvik refuses a
        file that its group or others may read or write.
    type: path
  mode:
    description: C(update) flashes the image of the mode the module runs (with I(both), of
      the other boot mode as well); C(account_check) only logs in.
    type: str
    choices: [account_check, update]
    required: true
  both:
    description: With I(mode=update), flash both boot modes, Switch (or EHM) and TZR, one
      after the other, and return to the mode the module ran in.
    type: bool
    default: false
  tftp:
    description: TFTP location of the images, C(SERVER/PATH) or C(tftp://SERVER/PATH).
      Required with I(mode=update).
    type: str
  img_tzr:
    description: Image file name for the TZR mode. Required with I(mode=update).
    type: str
  img_sw:
    description: Image file name for the Switch and EHM modes. Required with I(mode=update).
    type: str
  stage:
    description:
      - With I(mode=update) of one mode, do every step up to making the new image the
        startup image, and no restart (C(-stage)). A later update with the same image
        only restarts the module and verifies it.
      - morvik refuses it together with I(both) (C(rc) 1).
    type: bool
    default: false
  check_tftp:
    description: With I(mode=update), ask the TFTP server for every image the run will
      download before anything on the module changes (C(-check_tftp)); an image it
      cannot serve ends the run with C(rc) 12 and the module as it was.
    type: bool
    default: false
  sha256sums:
    description:
      - With I(mode=update), the image vendor's checksum file on the controller, in the
        format C(sha256sum) writes (C(-sha256sums)). Before anything on the module
        changes, morvik reads every image the run will download from the TFTP server and
        compares its SHA-256 with the file's line for it; an image that the file does not
        list, whose digest differs or that cannot be read ends the run with C(rc) 12 and
        the module as it was. It implies I(check_tftp). A file that cannot be read, or a
        line in it that is not one of that format, is C(rc) 1.
      - In check mode the dry run reads and compares every image the command line names
        for the modes it covers, even one the module runs already; so one dry run vets the
        images of a whole rollout (the playbook C(morvik.fleet.update) with
        C(morvik_sha256sums) does that).
    type: path
  host_key:
    description:
      - The module's SSH host key fingerprints (C(SHA256:...)), at most 8; each goes to
        morvik as C(-hostkey). plink then accepts only these keys and neither reads nor
        writes its cache of known keys. A key that matches none ends the run with C(rc) 14.
      - Without it, the key cached on first contact must not change.
    type: list
    elements: str
  accept_weak_crypto:
    description:
      - Go on when plink warns that the module's SSH server offers only an algorithm below
        its warning threshold (a key exchange such as C(diffie-hellman-group1-sha1), a
        cipher, a host-key type) or a connection open to the Terrapin attack
        (C(-accept_weak_crypto)).
      - Without it morvik declines before typing the password and ends with C(rc) 15.
        Accepting gives up protection against an attacker on the management network; see
        C(man morvik), SECURITY.
    type: bool
    default: false
  morvik:
    description: The morvik program, a path or a name looked up in C(PATH).
    type: str
    default: morvik
  plink:
    description: The SSH client that morvik drives.
    type: path
    default: /usr/bin/plink
  lock_dir:
    description: Directory of morvik's per-module lock files (C(MORVIK_LOCK_DIR)); morvik's
      default is C(/run/lock/morvik). Runs that share it never work on one module at once.
    type: path
  trace:
    description: morvik's trace level (C(-D)); its lines are returned in C(stdout_lines).
    type: str
    choices: [info, verbose, debug]
  pace:
    description: C(settle) reads the module's output once it has settled (a second of
      quiet, the default); C(prompt) reacts as soon as the module shows its prompt or a
      question, which makes an update several times faster.
    type: str
    choices: [settle, prompt]
    default: settle
notes:
  - The password never appears in the module's arguments as shown, in morvik's command
    line, its report or its output. Ansible masks it there as well, but only a password
    of 8 characters or more, as masking a shorter one would garble ordinary words; a
    shorter one draws a warning. Do not set C(ANSIBLE_DISPLAY_ARGS_TO_STDOUT), which
    prints task arguments unmasked.
  - A mode that already runs the requested image is left as it is (its entry in the
    report's C(modes) says C(current)), so an update may be run again over a fleet.
  - An update with I(pace=settle) takes about four minutes per boot mode.
'''

EXAMPLES = r'''
- name: Check the login to a switch module
  morvik.fleet.firmware:
    host: 10.0.1.7
    user: admin
    password: "{{ vault_morvik_password }}"
    mode: account_check
  delegate_to: localhost

- name: Flash both boot modes
  morvik.fleet.firmware:
    host: 10.0.1.7
    user: admin
    password_file: /etc/morvik/admin.pw
    mode: update
    both: true
    tftp: 10.0.0.1/images
    img_sw: sw-3.2.0.bin
    img_tzr: tzr-3.2.0.bin
    pace: prompt
    host_key:
      - SHA256:7Jq0c2GQ1mW2xW3j2o6Ykq1Pp3d8Hh0Vt4mM2bq1lZg
  delegate_to: localhost
  register: flash

- name: Flash the image the vendor's checksum file describes, and no other
  morvik.fleet.firmware:
    host: 10.0.1.7
    user: admin
    password_file: /etc/morvik/admin.pw
    mode: update
    tftp: 10.0.0.1/images
    img_sw: sw-3.2.0.bin
    img_tzr: tzr-3.2.0.bin
    sha256sums: /srv/images/SHA256SUMS
  delegate_to: localhost

- name: Say which step failed and whether the module was changed before
  ansible.builtin.debug:
    msg: "{{ flash.exit_name }} at {{ flash.report.failed_step }}, changed: {{ flash.changed }}"
  when: flash is failed and flash.report
'''

RETURN = r'''
rc:
  description: morvik's exit status, 0 when done; 128 + N when it caught signal N and
    stopped (its report says during which step), -N when signal N ended it outright.
  returned: when morvik ran
  type: int
  sample: 6
exit_name:
  description: The name of C(rc), one per exit status; the signal's name (C(SIGTERM))
    when a signal ended morvik.
  returned: when morvik ran
  type: str
  sample: MORVIK_SSH_AUTH_ERR
msg:
  description: What C(rc) means (the report's message), for rc 1 with morvik's complaint;
    after a signal its name and the step it ended.
  returned: always
  type: str
  sample: login refused
changed:
  description: The run left the module different from how it found it, even if it failed
    later. In check mode, whether the update would change it (from the report's C(modes);
    false with a morvik whose report has none). Without a report (morvik was killed or
    could not write it), an update outside check mode counts as changed.
  returned: always
  type: bool
report:
  description:
    - The run's report as morvik wrote it (schema 1); null when it wrote none (rc 1, a
      command line refused, or a run ended by a signal).
    - C(failed_step) names the step that failed, C(steps) lists every step with its
      own result, C(module.before) and C(module.after) hold the boot mode, the running
      image and each mode's startup image as the run found and left them.
    - C(modes) holds one entry per mode handled, its C(outcome) C(flashed), C(current)
      (already at the target), C(restarted) or C(staged); C(signal) names the signal
      that ended the run, null in every other run.
    - C(images) lists each image checked on the TFTP server before the module changed
      (I(check_tftp), I(sha256sums)) with its C(mode), C(name), C(size) and C(sha256)
      (null without I(sha256sums)).
  returned: when morvik ran
  type: dict
  sample:
    exit_code: 11
    exit_name: MORVIK_CLI_CMD_FAILED_ERR
    message: the module reported that the command failed
    changed: false
    failed_step: download
    module:
      before: {boot_mode: Switch, running_image: img_a.bin,
               startup_images: {Switch: img_a.bin, TZR: null, EHM: null}}
      after: {boot_mode: Switch, running_image: img_a.bin,
              startup_images: {Switch: img_a.bin, TZR: null, EHM: null}}
duration_s:
  description: Wall time of the morvik run, in seconds.
  returned: when morvik ran
  type: float
  sample: 45.2
cmd:
  description: The command line run (it never holds the password).
  returned: when morvik ran
  type: list
  elements: str
stdout_lines:
  description: morvik's output, line by line (its trace with I(trace)).
  returned: when morvik ran
  type: list
  elements: str
stderr_lines:
  description: morvik's error output, line by line.
  returned: when morvik ran
  type: list
  elements: str
'''

import json
import os
import shutil
import signal
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule

# morvik's exit statuses: (name, meaning), indexed by status.
EXIT_CODES = (
    ('MORVIK_SUCCESS', 'done'),
    ('MORVIK_INVALID_PARAM_ERR', 'invalid or incomplete command line'),
    ('MORVIK_INTERNAL_ERR', 'internal error (also: no image name for the module\'s boot mode)'),
    ('MORVIK_CANNOT_CONNECT_ERR', 'the module\'s port 22 did not answer'),
    ('MORVIK_SSH_CLIENT_NOT_FOUND_ERR', 'no plink in the current directory'),
    ('MORVIK_SSH_CLIENT_ERR', 'the SSH client could not be started'),
    ('MORVIK_SSH_AUTH_ERR', 'login refused'),
    ('MORVIK_REMOTE_PARSER_ERR', 'the module\'s answer was not understood, or the session '
                                 'ended before it was complete'),
    ('MORVIK_REMOTE_TIMEOUT_ERR', 'the module fell silent'),
    ('MORVIK_CLI_INVALID_PARAM_ERR', 'the module rejected the command line'),
    ('MORVIK_CLI_NO_INFO_ERR', 'the module\'s answer lacked what was needed (e.g. a startup image)'),
    ('MORVIK_CLI_CMD_FAILED_ERR', 'the module reported that the command failed'),
    ('MORVIK_FLASHING_LOGIC_ERR', 'a check of the flashing procedure failed'),
    ('MORVIK_MODULE_BUSY_ERR', 'another run holds the module\'s lock'),
    ('MORVIK_HOST_KEY_ERR', 'the module\'s host key did not match'),
    ('MORVIK_WEAK_CRYPTO_ERR', 'the module\'s SSH server offers only algorithms that the SSH '
                               'client warns against'),
)

# The status of a login that plink's warning about an algorithm ended.
WEAK_CRYPTO_RC = 15

# morvik takes at most this many -hostkey fingerprints.
MAX_HOST_KEYS = 8

# Ansible masks every occurrence of a no_log value in a module's result; a
# password shorter than this would garble ordinary words there.
MASKED_PASSWORD_LEN = 8

# What Ansible shows in place of a no_log argument.
NO_LOG_MARK = 'VALUE_SPECIFIED_IN_NO_LOG_PARAMETER'


def tool_path(module, name):
    """The morvik program named by the option: a path as it is, a bare name from PATH."""
    if os.sep in name:
        if not os.access(name, os.X_OK):
            module.fail_json(msg='morvik program %s not found or not executable' % name)
        return os.path.abspath(name)
    return module.get_bin_path(name, required=True)


def argument_problem(params):
    """What is wrong with the arguments beyond what AnsibleModule checks of them; None if nothing."""
    keys = params['host_key'] or []
    if len(keys) > MAX_HOST_KEYS:
        return 'host_key holds %d fingerprints; morvik takes at most %d' % (len(keys), MAX_HOST_KEYS)
    return None


def command_line(params, check_mode, program, report_path):
    """morvik's arguments for the options; the password is never among them."""
    p = params
    cmd = [program, '-host', p['host'], '-usr', p['user'], '-mode', p['mode']]
    if p['mode'] == 'update':
        if p['both']:
            cmd.append('both')
        cmd += ['-tftp', p['tftp'], '-img_tzr', p['img_tzr'], '-img_sw', p['img_sw']]
        if p['stage']:
            cmd.append('-stage')
        if p['check_tftp']:
            cmd.append('-check_tftp')
        if p['sha256sums']:
            cmd += ['-sha256sums', p['sha256sums']]
        if check_mode:
            cmd.append('-dry_run')
    for key in p['host_key'] or []:
        cmd += ['-hostkey', key]
    if p['accept_weak_crypto']:
        cmd.append('-accept_weak_crypto')
    if p['password_file']:
        cmd += ['-pwd_file', p['password_file']]
    if p['trace']:
        cmd += ['-D', p['trace']]
    cmd += ['-pace', p['pace'], '-report', report_path]
    return cmd


def environment(params):
    """The variables set for morvik: its password and its lock directory.

    The password goes to morvik in its environment only, which it clears at
    once; one inherited from the controller must not stand in for a file.
    """
    env = {'MORVIK_PASSWORD': params['password']} if params['password'] else {}
    if params['lock_dir']:
        env['MORVIK_LOCK_DIR'] = params['lock_dir']
    return env


def signal_name(number):
    """SIGTERM for 15; SIG followed by the number for a signal Python does not know."""
    try:
        return signal.Signals(number).name
    except ValueError:
        return 'SIG%d' % number


def read_report(module, path):
    """The report morvik wrote at path as a dict, or None if there is none."""
    try:
        with open(path, 'r') as f:
            return json.load(f)
    except (IOError, OSError):
        return None
    except ValueError as e:
        module.warn('morvik\'s report could not be read: %s' % e)
        return None


def would_change(report):
    """In a dry run: whether some mode of the report's is not at its target yet.
    None when the report has no modes to say it."""
    modes = report.get('modes') if report else None
    if not isinstance(modes, list):
        return None
    return any(not isinstance(m, dict) or m.get('outcome') != 'current' for m in modes)


def verdict(params, check_mode, rc, report, err):
    """(exit_name, msg, changed) of a run that ended with rc (-N: killed by signal N)."""
    update = params['mode'] == 'update'
    if report is not None:
        name, msg, changed = report.get('exit_name'), report.get('message'), report.get('changed')
    elif 0 <= rc < len(EXIT_CODES):
        name, msg = EXIT_CODES[rc]
        # Without a report nothing says the module was left alone: an update
        # past its command line may have changed it.
        changed = rc != 1 and update and not check_mode
    else:
        name, msg = None, 'morvik ended with the unknown status %d' % rc
        changed = update and not check_mode
    # morvik ends with 128 + N after a signal N that it caught, its report
    # saying during what step; -N is one that ended it outright.
    if rc < 0 or rc > 128:
        name = (report or {}).get('signal') or signal_name(-rc if rc < 0 else rc - 128)
        msg = 'morvik was ended by %s' % name
        step = (report or {}).get('failed_step')
        if step:
            msg += ' during step \'%s\'' % step
    if check_mode and update:
        dry = would_change(report)
        if dry is not None:
            changed = dry
    complaint = [line for line in err.splitlines() if line.strip()]
    if rc == 1 and complaint:
        msg = '%s: %s' % (msg, complaint[-1].strip())
    if rc == WEAK_CRYPTO_RC:
        msg += ' (declined without accept_weak_crypto; exit %d)' % rc
    return name, msg, bool(changed)


def masked_invocation(params):
    """The task's arguments as the result shows them, the password replaced."""
    args = dict(params)
    if args.get('password'):
        args['password'] = NO_LOG_MARK
    return {'module_args': args}


def run_module():
    module = AnsibleModule(
        argument_spec=dict(
            host=dict(type='str', required=True),
            user=dict(type='str', required=True),
            password=dict(type='str', no_log=True),
            password_file=dict(type='path', no_log=False),
            mode=dict(type='str', required=True, choices=['account_check', 'update']),
            both=dict(type='bool', default=False),
            tftp=dict(type='str'),
            img_tzr=dict(type='str'),
            img_sw=dict(type='str'),
            stage=dict(type='bool', default=False),
            check_tftp=dict(type='bool', default=False),
            sha256sums=dict(type='path'),
            host_key=dict(type='list', elements='str', no_log=False),
            accept_weak_crypto=dict(type='bool', default=False),
            morvik=dict(type='str', default='morvik'),
            plink=dict(type='path', default='/usr/bin/plink'),
            lock_dir=dict(type='path'),
            trace=dict(type='str', choices=['info', 'verbose', 'debug']),
            pace=dict(type='str', default='settle', choices=['settle', 'prompt']),
        ),
        required_one_of=[('password', 'password_file')],
        mutually_exclusive=[('password', 'password_file')],
        required_if=[('mode', 'update', ('tftp', 'img_tzr', 'img_sw'))],
        supports_check_mode=True,
    )
    p = module.params
    problem = argument_problem(p)
    if problem:
        module.fail_json(msg=problem)
    # Nothing returned holds the password: morvik gets it in its environment
    # and never prints it, and the arguments shown have it replaced. Masking
    # is then only a safety net, and one that garbles the result when the
    # password is short ("mode is u********date" for the password "p").
    if p['password'] and len(p['password']) < MASKED_PASSWORD_LEN:
        module.no_log_values.discard(p['password'])
        module.warn('The password is shorter than %d characters, which makes it easy to guess; '
                    'it is not masked in the task\'s output (morvik never prints it)'
                    % MASKED_PASSWORD_LEN)
    program = tool_path(module, p['morvik'])

    # morvik runs ./plink: a private directory holds the link to the client
    # and the report, and goes when the run is over.
    workdir = tempfile.mkdtemp(prefix='morvik-')
    try:
        os.symlink(os.path.abspath(p['plink']), os.path.join(workdir, 'plink'))
        report_path = os.path.join(workdir, 'report.json')
        cmd = command_line(p, module.check_mode, program, report_path)
        started = time.time()
        # Values go to morvik as given: no '$VAR' or '~' expansion in names.
        rc, out, err = module.run_command(cmd, cwd=workdir, environ_update=environment(p),
                                          expand_user_and_vars=False)
        duration = round(time.time() - started, 3)
        report = read_report(module, report_path)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    name, msg, changed = verdict(p, module.check_mode, rc, report, err)
    result = dict(rc=rc, exit_name=name, msg=msg, changed=changed, report=report,
                  duration_s=duration, cmd=cmd,
                  stdout=out, stderr=err,
                  stdout_lines=out.splitlines(), stderr_lines=err.splitlines(),
                  invocation=masked_invocation(p))
    if rc != 0:
        module.fail_json(**result)
    module.exit_json(**result)


def main():
    run_module()


if __name__ == '__main__':
    main()
