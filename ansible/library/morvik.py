#!/usr/bin/python
# -*- coding: utf-8 -*-
# Runs morvik against one switch module from Ansible: the update of its
# firmware, or a check of its login, with the run's report as the result.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: morvik
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
  - C(changed) is the report's. An update that changed the module's startup image
    or boot mode and failed later is both changed and failed.
  - morvik locks each module for its run; a second run against the same module
    (another task, another controller sharing I(lock_dir)) fails with C(rc) 13.
  - "Run it on the controller (C(connection: local) or C(delegate_to: localhost)),
    once per switch module."
author:
  - The morvik project
requirements:
  - morvik
  - plink (Debian package putty-tools)
attributes:
  check_mode:
    description: Can run in check mode and tell what it would do without changing the target.
    support: partial
    details: An update becomes a dry run (C(-dry_run)) that reads the module and changes
      nothing; C(changed) is then false and the tool's output says what the update would do.
      An account check runs as it is.
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
    line, its report or its output (Ansible masks it there as well). Do not set
    C(ANSIBLE_DISPLAY_ARGS_TO_STDOUT), which prints task arguments unmasked.
  - morvik deletes the module's second image before each download, whatever its name.
    An update of a module that already runs the requested image therefore deletes its
    old image, and the download of an image by the name of its startup image fails
    (C(rc) 11). Run an update again only for the modules that did not complete it.
  - An update with I(pace=settle) takes about four minutes per boot mode.
'''

EXAMPLES = r'''
- name: Check the login to a switch module
  morvik:
    host: 10.0.1.7
    user: admin
    password: "{{ vault_morvik_password }}"
    mode: account_check
  delegate_to: localhost

- name: Flash both boot modes
  morvik:
    host: 10.0.1.7
    user: admin
    password_file: /etc/morvik/admin.pw
    mode: update
    both: true
    tftp: 10.0.0.1/images
    img_sw: sw-3.2.0.bin
    img_tzr: tzr-3.2.0.bin
    pace: prompt
  delegate_to: localhost
  register: flash

- name: Say which step failed and whether the module was changed before
  debug:
    msg: "{{ flash.exit_name }} at {{ flash.report.failed_step }}, changed: {{ flash.changed }}"
  when: flash is failed and flash.report
'''

RETURN = r'''
rc:
  description: morvik's exit status, 0 when done; -N when signal N ended it.
  returned: when morvik ran
  type: int
  sample: 6
exit_name:
  description: The name of C(rc), one per exit status; null when a signal ended morvik.
  returned: when morvik ran
  type: str
  sample: MORVIK_SSH_AUTH_ERR
msg:
  description: What C(rc) means (the report's message), for rc 1 with morvik's complaint.
  returned: always
  type: str
  sample: login refused
changed:
  description: The run changed a startup image or a boot mode of the module, even if it
    failed later; always false in check mode. Without a report (morvik was killed or
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
)


def tool_path(module, name):
    """The morvik program named by the option: a path as it is, a bare name from PATH."""
    if os.sep in name:
        if not os.access(name, os.X_OK):
            module.fail_json(msg='morvik program %s not found or not executable' % name)
        return os.path.abspath(name)
    return module.get_bin_path(name, required=True)


def command_line(module, program, report_path):
    """morvik's arguments for the options; the password is never among them."""
    p = module.params
    cmd = [program, '-host', p['host'], '-usr', p['user'], '-mode', p['mode']]
    if p['mode'] == 'update':
        if p['both']:
            cmd.append('both')
        cmd += ['-tftp', p['tftp'], '-img_tzr', p['img_tzr'], '-img_sw', p['img_sw']]
        if module.check_mode:
            cmd.append('-dry_run')
    if p['password_file']:
        cmd += ['-pwd_file', p['password_file']]
    if p['trace']:
        cmd += ['-D', p['trace']]
    cmd += ['-pace', p['pace'], '-report', report_path]
    return cmd


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


def verdict(module, rc, report, err):
    """(exit_name, msg, changed) of a run that ended with rc."""
    if report is not None:
        name, msg, changed = report.get('exit_name'), report.get('message'), report.get('changed')
    elif 0 <= rc < len(EXIT_CODES):
        name, msg = EXIT_CODES[rc]
        # Without a report nothing says the module was left alone: an update
        # past its command line may have changed it.
        changed = rc != 1 and module.params['mode'] == 'update' and not module.check_mode
    else:
        name = None
        msg = ('morvik was ended by signal %d' % -rc if rc < 0
               else 'morvik ended with the unknown status %d' % rc)
        changed = module.params['mode'] == 'update' and not module.check_mode
    complaint = [line for line in err.splitlines() if line.strip()]
    if rc == 1 and complaint:
        msg = '%s: %s' % (msg, complaint[-1].strip())
    return name, msg, bool(changed)


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
    program = tool_path(module, p['morvik'])

    # The password goes to morvik in its environment only, which it clears at
    # once; one inherited from the controller must not stand in for a file.
    env = {'MORVIK_PASSWORD': p['password']} if p['password'] else {}
    if p['lock_dir']:
        env['MORVIK_LOCK_DIR'] = p['lock_dir']

    # morvik runs ./plink: a private directory holds the link to the client
    # and the report, and goes when the run is over.
    workdir = tempfile.mkdtemp(prefix='morvik-')
    try:
        os.symlink(os.path.abspath(p['plink']), os.path.join(workdir, 'plink'))
        report_path = os.path.join(workdir, 'report.json')
        cmd = command_line(module, program, report_path)
        started = time.time()
        # Values go to morvik as given: no '$VAR' or '~' expansion in names.
        rc, out, err = module.run_command(cmd, cwd=workdir, environ_update=env,
                                          expand_user_and_vars=False)
        duration = round(time.time() - started, 3)
        report = read_report(module, report_path)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    name, msg, changed = verdict(module, rc, report, err)
    result = dict(rc=rc, exit_name=name, msg=msg, changed=changed, report=report,
                  duration_s=duration, cmd=cmd,
                  stdout=out, stderr=err,
                  stdout_lines=out.splitlines(), stderr_lines=err.splitlines())
    if rc != 0:
        module.fail_json(**result)
    module.exit_json(**result)


def main():
    run_module()


if __name__ == '__main__':
    main()
