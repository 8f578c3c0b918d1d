#!/usr/bin/python3
# The Ansible collection morvik.fleet (ansible_collections/morvik/fleet), built
# with ansible-galaxy and installed into a collections path of its own:
#   fleet_test.py module    the module's arguments, environment and verdicts
#                           against a stand-in morvik; the installed module's
#                           documentation and the playbook with the example
#                           inventory parse
#   fleet_test.py fleet --morvik BIN --qbsim BIN [--figures FILE]
#                           the installed playbook against eight modules of a
#                           testbed (--real --modules), and one update alone
# Exits 77 (skipped) without ansible-core.
import argparse
import datetime
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import jsonschema

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COLLECTION = os.path.join(SOURCE, 'ansible_collections', 'morvik', 'fleet')
PASSWORD = 'Kx9-vq.Tr7'   # every module's; distinct enough to grep for
WRONG = 'Wq3-zz.Np0'      # the inventory's for REFUSED
FLEET = ['127.0.0.%d' % n for n in range(2, 10)]
LONE = '127.0.0.10'       # updated alone, outside the inventory, for the timing
REFUSED = '127.0.0.3'     # its inventory password is wrong: fails the pre-flight
BROKEN = '127.0.0.7'      # its download fails
FROM_FILE = '127.0.0.5'   # its password comes from a file
BATCH, DOWNLOADS = 4, 3   # serial and throttle of the test's rollout
FLASHED = {'mode': 'Switch', 'running': 'img_c.bin',
           'startup': {'Switch': 'img_c.bin', 'TZR': 'tzr_c.bin', 'EHM': 'ehm_a.bin'}}
FRESH = {'mode': 'Switch', 'running': 'img_a.bin',
         'startup': {'Switch': 'img_a.bin', 'TZR': 'tzr_a.bin', 'EHM': 'ehm_a.bin'}}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED: %s' % what)
    return ok


def host_name(address):
    return 'qb' + address.rsplit('.', 1)[1]


def clean_env(**extra):
    env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'LC_ALL': 'C.UTF-8',
           'ANSIBLE_NOCOLOR': '1'}
    env.update(extra)
    return env


def install_collection(root):
    """Builds the collection's tarball and installs it under root; returns the
    collections path to hand Ansible."""
    built, path = os.path.join(root, 'built'), os.path.join(root, 'collections')
    subprocess.run(['ansible-galaxy', 'collection', 'build', '--output-path', built, COLLECTION],
                   check=True, stdout=subprocess.DEVNULL, env=clean_env(HOME=root))
    tarball = [os.path.join(built, name) for name in os.listdir(built)]
    subprocess.run(['ansible-galaxy', 'collection', 'install', '-p', path] + tarball,
                   check=True, stdout=subprocess.DEVNULL, env=clean_env(HOME=root, ANSIBLE_COLLECTIONS_PATH=path))
    return path


def run(argv, log, env):
    """Runs argv with its output in the file log; returns (status, seconds, output)."""
    started = time.monotonic()
    p = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    seconds = time.monotonic() - started
    out = p.stdout.decode('utf-8', 'replace')
    with open(log, 'w') as f:
        f.write(out)
    return p.returncode, seconds, out


# ---- the module against a stand-in morvik ----

FAKE_MORVIK = r'''#!/bin/bash
# Notes its arguments, its password variable and its ./plink, writes
# $FAKE_REPORT (if any) as its report and ends with $FAKE_RC.
printf '%s\n' "$@" > "$FAKE_OUT/argv"
printf '%s' "${MORVIK_PASSWORD-unset}" > "$FAKE_OUT/env"
readlink plink > "$FAKE_OUT/plink"
[ -n "$FAKE_REPORT" ] && printf '%s' "$FAKE_REPORT" > "${@: -1}"
echo "Argument missed" >&2
exit "$FAKE_RC"
'''


def module_cases(morvik_fake, tmp):
    pw_file = os.path.join(tmp, 'pw')
    update = {'host': '10.0.0.5', 'user': 'admin', 'mode': 'update', 'tftp': '10.0.0.1/$HOME',
              'img_sw': '~/sw.bin', 'img_tzr': 'tzr.bin', 'morvik': morvik_fake}
    report11 = json.dumps({'exit_code': 11, 'exit_name': 'MORVIK_CLI_CMD_FAILED_ERR',
                           'message': 'the module reported that the command failed',
                           'changed': True, 'failed_step': 'verify'})
    # (what, args, check mode, rc, report, expected result, in argv, not in argv, env)
    return [
        ('a failed update that changed the module', dict(update, password=PASSWORD, both=True),
         False, 11, report11,
         {'rc': 11, 'failed': True, 'changed': True, 'exit_name': 'MORVIK_CLI_CMD_FAILED_ERR',
          'msg': 'the module reported that the command failed'},
         ['both', '10.0.0.1/$HOME', '~/sw.bin', '-pace', 'settle'], ['-dry_run'], PASSWORD),
        ('an update in check mode', dict(update, password_file=pw_file, pace='prompt'),
         True, 0, '{"exit_name": "MORVIK_SUCCESS", "message": "done", "changed": false}',
         {'rc': 0, 'changed': False, 'exit_name': 'MORVIK_SUCCESS', 'msg': 'done'},
         ['-dry_run', '-pwd_file', pw_file, 'prompt'], ['both'], 'unset'),
        ('an account check in check mode, its command line refused',
         {'host': '10.0.0.5', 'user': 'admin', 'mode': 'account_check', 'password': PASSWORD,
          'morvik': morvik_fake, 'trace': 'debug'},
         True, 1, '',
         {'rc': 1, 'failed': True, 'changed': False, 'exit_name': 'MORVIK_INVALID_PARAM_ERR',
          'msg': 'invalid or incomplete command line: Argument missed', 'report': None},
         ['account_check', '-D'], ['-dry_run', '-tftp'], PASSWORD),
        ('a password too short to be masked', dict(update, password='p', host_key=['SHA256:x']),
         False, 11, report11,
         {'rc': 11, 'msg': 'the module reported that the command failed',
          'warnings': ['The password is shorter than 8 characters, which makes it easy to guess; '
                       'it is not masked in the task\'s output (morvik never prints it)']},
         ['-hostkey', 'SHA256:x'], [], 'p'),
    ]


def warning_texts(result):
    """The module's warnings as texts: ansible-core 2.14 returns strings, 2.19
    records that hold the text as 'msg', themselves or in their 'event'."""
    texts = []
    for warning in result.get('warnings') or []:
        if isinstance(warning, dict):
            warning = warning.get('msg', warning.get('event', {}).get('msg'))
        texts.append(warning)
    return texts


def module_test():
    tmp = tempfile.mkdtemp(prefix='morvik-ansible-module-')
    fake = os.path.join(tmp, 'morvik')
    with open(fake, 'w') as f:
        f.write(FAKE_MORVIK)
    os.chmod(fake, 0o755)
    for what, margs, check_mode, rc, report, expect, present, absent, env_pw in module_cases(fake, tmp):
        margs = dict(margs, _ansible_check_mode=check_mode)
        with open(os.path.join(tmp, 'args.json'), 'w') as f:
            json.dump({'ANSIBLE_MODULE_ARGS': margs}, f)
        env = clean_env(FAKE_OUT=tmp, FAKE_RC=str(rc), FAKE_REPORT=report, HOME=tmp)
        p = subprocess.run(['/usr/bin/python3', os.path.join(COLLECTION, 'plugins', 'modules', 'firmware.py'),
                            os.path.join(tmp, 'args.json')], env=env, stdout=subprocess.PIPE)
        out = p.stdout.decode()
        result = json.loads(out)
        for key, value in expect.items():
            got = warning_texts(result) if key == 'warnings' else result.get(key)
            check(got == value, '%s: %s is %r, not %r' % (what, key, got, value))
        argv = open(os.path.join(tmp, 'argv')).read().splitlines()
        for word in present:
            check(word in argv, '%s: %r not in morvik\'s arguments %r' % (what, word, argv))
        for word in absent + [PASSWORD]:
            check(word not in argv, '%s: %r in morvik\'s arguments' % (what, word))
        check(open(os.path.join(tmp, 'env')).read() == env_pw,
              '%s: MORVIK_PASSWORD is not %r' % (what, env_pw))
        check(open(os.path.join(tmp, 'plink')).read().strip() == '/usr/bin/plink',
              '%s: ./plink does not lead to /usr/bin/plink' % what)
        check(PASSWORD not in out and margs.get('password', PASSWORD) not in result['invocation']['module_args'].values(),
              '%s: the password is in the result' % what)
    installed = install_collection(tmp)
    env = clean_env(HOME=tmp, ANSIBLE_COLLECTIONS_PATH=installed)
    # Each names the installed collection's file that it read.
    for argv in (['ansible-doc', 'morvik.fleet.firmware'],
                 ['ansible-playbook', '--syntax-check', '-i',
                  os.path.join(COLLECTION, 'playbooks', 'inventory', 'example.yml'), 'morvik.fleet.update']):
        p = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = p.stdout.decode()
        # Ansible 2.14 notes every run of a collection's playbook.
        warnings = [w for w in re.findall(r'\[WARNING\]: (.*)', out) if not w.startswith('running playbook inside')]
        check(p.returncode == 0 and not warnings and installed in out, '%s: %s' % (argv[0], out))
    rollout_stops_test(tmp, env)
    shutil.rmtree(tmp)


# The login of 10.0.0.2 fails, and the update of 10.0.0.3; every update run
# leaves its module's address in $FAKE_OUT/updated.
ROLLOUT_MORVIK = r'''#!/bin/bash
host=$2 mode=$6 rc=0
[ "$mode" = update ] && echo "$host" >> "$FAKE_OUT/updated"
[ "$host/$mode" = 10.0.0.2/account_check ] && rc=6
[ "$host/$mode" = 10.0.0.3/update ] && rc=11
printf '{"exit_code": %d, "exit_name": "X", "message": "m", "changed": false}' $rc > "${@: -1}"
exit $rc
'''


def rollout_stops_test(tmp, env):
    """The playbook in batches of 4 over 8 modules: the first batch updates 3 of them
    (one failed its login), one of which fails: a third of the batch's updates."""
    fake = os.path.join(tmp, 'rollout-morvik')
    with open(fake, 'w') as f:
        f.write(ROLLOUT_MORVIK)
    os.chmod(fake, 0o755)
    hosts = {'m%d' % n: {'morvik_host': '10.0.0.%d' % n} for n in range(1, 9)}
    inventory = os.path.join(tmp, 'rollout.yml')
    with open(inventory, 'w') as f:
        json.dump({'switch_modules': {'hosts': hosts, 'vars': {
            'morvik_user': 'admin', 'morvik_password': PASSWORD, 'morvik_bin': fake, 'morvik_tftp': 't',
            'morvik_img_sw': 's', 'morvik_img_tzr': 'z'}}}, f)
    first = ['10.0.0.1', '10.0.0.3', '10.0.0.4']
    # (maximum failed percentage, the modules updated)
    for most, updated in (('25', first), ('50', first + ['10.0.0.%d' % n for n in range(5, 9)])):
        if os.path.exists(os.path.join(tmp, 'updated')):
            os.remove(os.path.join(tmp, 'updated'))
        p = subprocess.run(['ansible-playbook', '-i', inventory, 'morvik.fleet.update', '-e',
                            'morvik_batch=4 morvik_max_fail_percentage=%s morvik_summary=%s/s.json' % (most, tmp)],
                           env=dict(env, FAKE_OUT=tmp), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        got = sorted(open(os.path.join(tmp, 'updated')).read().split())
        check(p.returncode == 2 and got == updated,
              'at most %s %% failed: rc %d, updated %r, not %r' % (most, p.returncode, got, updated))
    digest_rollout_test(tmp, env, inventory)


# Notes each run's arguments; a run with -sha256sums ends with $FAKE_DIGEST_RC.
DIGEST_MORVIK = r'''#!/bin/bash
echo "$*" >> "$FAKE_OUT/calls"
rc=0
[[ " $* " == *" -sha256sums "* ]] && rc=$FAKE_DIGEST_RC && echo "Image 's' has SHA-256 1; checksum file 'f' lists 2"
printf '{"exit_code": %d, "exit_name": "X", "message": "m", "changed": false}' $rc > "${@: -1}"
exit $rc
'''


def digest_rollout_test(tmp, env, inventory):
    """morvik_sha256sums: one dry run of both modes reads the images before the first
    batch; a difference stops the rollout there, else every update checks its TFTP images."""
    fake = os.path.join(tmp, 'digest-morvik')
    with open(fake, 'w') as f:
        f.write(DIGEST_MORVIK)
    os.chmod(fake, 0o755)
    for digest_rc, rc, updates in ((12, 2, 0), (0, 0, 8)):
        if os.path.exists(os.path.join(tmp, 'calls')):
            os.remove(os.path.join(tmp, 'calls'))
        p = subprocess.run(['ansible-playbook', '-i', inventory, 'morvik.fleet.update', '-e',
                            'morvik_bin=%s morvik_sha256sums=/srv/SUMS morvik_summary=%s/s.json' % (fake, tmp)],
                           env=dict(env, FAKE_OUT=tmp, FAKE_DIGEST_RC=str(digest_rc)),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        calls = open(os.path.join(tmp, 'calls')).read().splitlines()
        digests = [c for c in calls if '-sha256sums /srv/SUMS -dry_run' in c and ' both ' in c]
        updated = [c for c in calls if ' update ' in c and '-check_tftp' in c and '-sha256sums' not in c]
        check((p.returncode, len(digests), len(updated), len(calls)) == (rc, 1, updates, 9 + updates) and
              (digest_rc == 0 or "has SHA-256 1; checksum file 'f' lists 2" in p.stdout.decode()),
              'digest run ending with %d: rc %d, calls %r' % (digest_rc, p.returncode, calls))


# ---- the playbook against a fleet ----

def read_state(state_dir):
    """The module's boot mode, running image and startup image of each mode."""
    s = {'startup': {}}
    with open(os.path.join(state_dir, 'state')) as f:
        for line in f:
            w = line.split()
            if len(w) >= 2 and w[0] in ('mode', 'running'):
                s[w[0]] = w[1]
            elif len(w) >= 4 and w[0] == 'image' and w[3] == 'Y':
                s['startup'][w[1]] = w[2]
    return s


def setup_fleet(root, qbsim):
    modules, images = os.path.join(root, 'modules'), os.path.join(root, 'tftp', 'images')
    os.makedirs(modules)
    os.makedirs(images)
    for address in FLEET + [LONE]:
        state = os.path.join(modules, address)
        subprocess.run([qbsim, 'init', '--state', state, '--tftp-root', images], check=True)
        path = os.path.join(state, 'state')
        text = open(path).read().replace('user admin secret', 'user admin ' + PASSWORD)
        with open(path, 'w') as f:
            f.write(text)
    subprocess.run([qbsim, 'fault', '--state', os.path.join(modules, BROKEN), 'copy-fail', 'copy', '1'],
                   check=True)
    # The vendor's checksum file, as sha256sum writes it.
    with open(os.path.join(root, 'SHA256SUMS'), 'w') as f:
        for name in ('img_c.bin', 'tzr_c.bin'):
            with open(os.path.join(images, name), 'rb') as image:
                f.write('%s  %s\n' % (hashlib.sha256(image.read()).hexdigest(), name))
    pw_file = os.path.join(root, 'admin.pw')
    with open(os.open(pw_file, os.O_WRONLY | os.O_CREAT, 0o600), 'w') as f:
        f.write(PASSWORD + '\n')
    hosts = {}
    for address in FLEET:
        h = hosts[host_name(address)] = {'morvik_host': address}
        if address == FROM_FILE:
            h['morvik_password_file'] = pw_file
        else:
            h['morvik_password'] = WRONG if address == REFUSED else PASSWORD
    inventory = {'switch_modules': {'hosts': hosts, 'vars': {
        'morvik_user': 'admin', 'morvik_tftp': '127.0.0.1/images', 'morvik_img_sw': 'img_c.bin',
        'morvik_img_tzr': 'tzr_c.bin', 'morvik_both': True, 'morvik_pace': 'prompt',
        'morvik_bin': MORVIK, 'morvik_lock_dir': os.path.join(root, 'lock'),
        'morvik_sha256sums': os.path.join(root, 'SHA256SUMS')}}}
    with open(os.path.join(root, 'inventory.yml'), 'w') as f:
        json.dump(inventory, f, indent=1)


def first_json(text):
    """The first JSON object in text (the result that ad hoc ansible prints)."""
    start = text.find('{', text.find(' | '))
    return json.JSONDecoder().raw_decode(text[start:])[0]


PREFLIGHT, LEAVE_OUT, UPDATE = 'Log in to the module', 'Leave out a module whose check failed', 'Update the module'
DIGESTS = 'Read every image from the TFTP server and compare its SHA-256'


def task_results(output):
    """{(task, host): result} from the default callback's output with -v and one-line results."""
    results, task = {}, None
    for line in output.splitlines():
        m = re.match(r'TASK \[(.*)\] \*+$', line)
        if m:
            task = m.group(1)
        m = re.match(r'(?:ok|changed|fatal|failed): \[([^\]]+)\](?::? FAILED!)? => (\{.*\})$', line)
        if m:
            results[(task, m.group(1))] = json.loads(m.group(2))
    return results


def recap(output):
    """{host: {'ok': N, 'changed': N, 'failed': N, ...}} from the play recap."""
    return {h: {k: int(v) for k, v in re.findall(r'(\w+)=(\d+)', counts)}
            for h, counts in re.findall(r'^(\S+)\s+: (ok=.*)$', output, re.M)}


def when(stamp):
    return datetime.datetime.strptime(stamp, '%Y-%m-%dT%H:%M:%S.%fZ')


def most_at_once(spans):
    events = sorted([(a, 1) for a, _ in spans] + [(b, -1) for _, b in spans])
    most = now = 0
    for _, step in events:
        now += step
        most = max(most, now)
    return most


def fleet_inside(root, figures):
    """Runs inside the testbed: the lone update, the rollout and its check-mode rerun."""
    env = clean_env(HOME=os.path.join(root, 'home'), PUTTYDIR=os.environ['PUTTYDIR'],
                    ANSIBLE_CALLBACK_FORMAT_PRETTY='false',
                    ANSIBLE_COLLECTIONS_PATH=os.path.join(root, 'collections'))
    os.makedirs(env['HOME'], exist_ok=True)
    with open(os.path.join(SOURCE, 'docs', 'report.schema.json')) as f:
        schema = jsonschema.Draft202012Validator(json.load(f))
    playbook = ['ansible-playbook', '-i', os.path.join(root, 'inventory.yml'), 'morvik.fleet.update', '-f', '8',
                '-e', 'morvik_batch=%d morvik_downloads=%d' % (BATCH, DOWNLOADS)]
    states = lambda: {a: read_state(os.path.join(root, 'modules', a)) for a in FLEET}

    # One module alone, through ad hoc ansible with -vvv.
    lone_args = ('host=%s user=admin password=%s mode=update both=true tftp=127.0.0.1/images '
                 'img_sw=img_c.bin img_tzr=tzr_c.bin pace=prompt morvik=%s lock_dir=%s'
                 % (LONE, PASSWORD, MORVIK, os.path.join(root, 'lock')))
    rc, lone_s, out = run(['ansible', 'localhost', '-m', 'morvik.fleet.firmware', '-a', lone_args, '-vvv'],
                          os.path.join(root, 'lone.log'), env)
    outputs = {'lone': out}
    lone = first_json(out) if check(rc == 0, 'the lone update ended with %d' % rc) else {}
    check(read_state(os.path.join(root, 'modules', LONE)) == FLASHED, 'the lone module is not flashed')
    reports = [lone.get('report')]

    # The rollout, each result on one line.
    rc, play_s, out = run(playbook + ['-v', '-e', 'morvik_summary=%s/summary.json' % root],
                          os.path.join(root, 'rollout.log'), env)
    outputs['rollout'] = out
    if not check(rc == 2, 'the rollout ended with %d, not 2 (hosts failed)' % rc) and rc != 0:
        return
    results, stats = task_results(out), recap(out)
    reports += [r.get('report') for (task, _), r in results.items() if task in (PREFLIGHT, UPDATE, DIGESTS)]
    for r in reports:
        check(r is not None and schema.is_valid(r), 'a report is missing or breaks the schema: %r' % r)
    # One dry run read both images for their digests; each update asked the
    # server for their sizes only.
    digests = [r for (task, _), r in results.items() if task == DIGESTS]
    sums = dict(reversed(line.split()) for line in open(os.path.join(root, 'SHA256SUMS')))
    check(len(digests) == 1 and digests[0].get('rc') == 0 and
          {i['name']: i['sha256'] for i in digests[0]['report']['images']} == sums,
          'the digests were not checked once: %r' % digests)
    check(all([(i['name'], i['sha256']) for i in r['report']['images']] == [('img_c.bin', None), ('tzr_c.bin', None)]
              for (task, _), r in results.items() if task == UPDATE and r.get('report')),
          'an update did not check its images\' sizes')

    final = states()
    for address in FLEET:
        h = host_name(address)
        update = results.get((UPDATE, h), {})
        if address == REFUSED:
            r = results.get((PREFLIGHT, h), {})
            check((r.get('rc'), r.get('exit_name'), r.get('msg')) == (6, 'MORVIK_SSH_AUTH_ERR', 'login refused'),
                  '%s: pre-flight gave %r' % (h, r.get('msg')))
            r = results.get((LEAVE_OUT, h), {})
            check(r.get('msg') == 'login refused (MORVIK_SSH_AUTH_ERR, exit 6)',
                  '%s: left out with %r' % (h, r.get('msg')))
            check(not update, '%s: updated after a failed pre-flight' % h)
            check(final[address] == FRESH, '%s: changed' % h)
        elif address == BROKEN:
            # Changed, and failed: its second image went before the download did.
            step = (update.get('report') or {}).get('failed_step')
            check((update.get('rc'), update.get('changed'), step) == (11, True, 'download'),
                  '%s: update gave %r' % (h, update.get('msg')))
            check(final[address] == FRESH, '%s: startup images or running image changed' % h)
        else:
            check(update.get('rc') == 0 and update.get('changed') is True,
                  '%s: update gave %r' % (h, update.get('msg')))
            check(final[address] == FLASHED, '%s: not flashed: %r' % (h, final[address]))
        failed = address in (REFUSED, BROKEN)
        check(stats.get(h, {}).get('failed') == (1 if failed else 0), '%s: recap %r' % (h, stats.get(h)))

    # serial: a batch starts once the one before is done; throttle: at most
    # DOWNLOADS updates at once.
    spans = {a: (when(r['report']['started']), when(r['report']['finished']))
             for a in FLEET for r in [results.get((UPDATE, host_name(a)))] if r and r.get('report')}
    if not check(len(spans) == len(FLEET) - 1, 'updates without a report: %r' % sorted(spans)):
        return
    first = [spans[a] for a in FLEET[:BATCH] if a in spans]
    second = [spans[a] for a in FLEET[BATCH:]]
    check(max(b for _, b in first) <= min(a for a, _ in second), 'the second batch began before the first was done')
    check(most_at_once(list(spans.values())) <= DOWNLOADS, 'more than %d updates at once' % DOWNLOADS)
    update_s = (max(b for _, b in spans.values()) - min(a for a, _ in spans.values())).total_seconds()

    summary = json.load(open(os.path.join(root, 'summary.json')))['modules']
    for address in FLEET:
        s, state = summary.get(host_name(address), {}), final[address]
        after = s.get('after') or {}
        if address == REFUSED:
            check((s.get('stage'), s.get('rc'), s.get('result')) == ('preflight', 6, 'MORVIK_SSH_AUTH_ERR'),
                  'summary of %s: %r' % (address, s))
            continue
        before = s.get('before') or {}
        check(s.get('stage') == 'update' and s.get('duration_s', 0) > 0 and before.get('running_image') == 'img_a.bin',
              'summary of %s: %r' % (address, s))
        check(after.get('running_image') == state['running'] and after.get('boot_mode') == state['mode'] and
              all(after['startup_images'][m] in (None, state['startup'][m]) for m in state['startup']),
              'summary of %s does not match the module: %r against %r' % (address, after, state))

    # Again in check mode: nothing changes; only the module whose download
    # failed would still be changed by an update, the others are at the target.
    rc, check_s, out = run(playbook + ['--check', '-vvv', '-e', 'morvik_summary=%s/summary-check.json' % root],
                           os.path.join(root, 'check.log'), env)
    outputs['check'] = out
    check(rc == 2, 'the check-mode run ended with %d, not 2' % rc)
    changed = {h: counts['changed'] for h, counts in recap(out).items()}
    would_change = {host_name(a): int(a == BROKEN) for a in FLEET}
    check(changed == would_change, 'check mode reported changes: %r' % changed)
    check(states() == final, 'check mode changed a module')
    summary = json.load(open(os.path.join(root, 'summary-check.json')))
    check(summary['check_mode'] is True and
          {h for h, s in summary['modules'].items() if s['changed']} == {host_name(BROKEN)},
          'the check-mode summary holds other changes: %r' % summary['modules'])

    for name in ('summary.json', 'summary-check.json'):
        with open(os.path.join(root, name)) as f:
            outputs[name] = f.read()
    for name, text in outputs.items():
        check(PASSWORD not in text and WRONG not in text, 'a password is in %s' % name)

    lines = ['| Run | Wall time |', '|---|---|',
             '| one module alone, update both, pace prompt (ad hoc ansible) | %.1f s (morvik %.1f s) |'
             % (lone_s, (lone.get('report') or {}).get('duration_s', 0)),
             '| 8 modules (7 past the pre-flight), batches of %d, %d at once: the updates | %.1f s |'
             % (BATCH, DOWNLOADS, update_s),
             '| the same: whole playbook (pre-flight and update) | %.1f s |' % play_s,
             '| the check-mode rerun | %.1f s |' % check_s]
    print('\n'.join(lines))
    if figures:
        with open(figures, 'w') as f:
            f.write('\n'.join(lines) + '\n')


def main():
    global MORVIK
    ap = argparse.ArgumentParser()
    ap.add_argument('what', choices=['module', 'fleet', 'inside'])
    ap.add_argument('--morvik', default='')
    ap.add_argument('--qbsim')
    ap.add_argument('--figures')
    ap.add_argument('--root')
    args = ap.parse_args()
    MORVIK = os.path.abspath(args.morvik)
    if args.what == 'inside':
        fleet_inside(args.root, args.figures)
        return 1 if failures else 0
    if not shutil.which('ansible-playbook', path='/usr/bin'):
        print('ansible-core is not installed (apt-get install ansible-core): skipped')
        return 77
    if args.what == 'module':
        module_test()
        return 1 if failures else 0
    root = tempfile.mkdtemp(prefix='morvik-ansible-')
    setup_fleet(root, os.path.abspath(args.qbsim))
    install_collection(root)
    argv = [os.path.join(SOURCE, 'qbsim', 'testbed'), '--real', '--qbsim', args.qbsim,
            '--modules', os.path.join(root, 'modules'), '--work', os.path.join(root, 'work'),
            '--tftp-root', os.path.join(root, 'tftp'), '--',
            '/usr/bin/python3', os.path.abspath(__file__), 'inside', '--morvik', MORVIK, '--root', root]
    if args.figures:
        argv += ['--figures', os.path.abspath(args.figures)]
    rc = subprocess.call(argv, env=clean_env())
    if rc == 0:
        shutil.rmtree(root)
    else:
        print('kept %s (logs: lone.log, rollout.log, check.log, work/)' % root)
    return rc


if __name__ == '__main__':
    sys.exit(main())
