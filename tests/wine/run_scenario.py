#!/usr/bin/python3
"""Wine scenario runner: runs one scenario file (tests/scenarios/README.md) with the real
VorlaxClean.exe in a fresh Wine prefix and checks the same expectations as the host runner.

  run_scenario.py FILE.yaml [--win32-dir DIR] [--samplegen PATH] [--cache DIR] [--keep]

--win32-dir  the Windows build (VorlaxClean.exe, sleeper.exe, holdfile.exe); default build/win32
--samplegen  the host sample writer; default build/host/samplegen
--cache      where the template prefixes live (one per platform, made once under a lock);
             default build/wine-prefixes
--keep       keep the scenario's prefix (its path is printed) instead of removing it
--template-only  FILE is a platform (nt or 98): make its template prefix if needed, print its path

Exit status: 0 every expectation holds (or the scenario is host_only: SKIP), 1 a mismatch (a
diff on stderr), 2 the file cannot be read, uses an unknown key, or the machine cannot be built.

How the machine is built: files are written into drive_c (samples by samplegen with the
scenario's row, size and seed, as the host runner makes them); read-only is the Unix file
without write permission (Wine's read-only attribute); registry values are appended to the
prefix's registry files before Wine starts; files held open and running programs belong to
tests/wine/holdfile.exe, which opens the files with the scenario's sharing and starts each
process image (a copy of tools/sleeper stamped by samplegen with the image's content) before
the tool runs. The restart is `wineboot -r`, which carries out PendingFileRenameOperations and
WININIT.INI.

The trace log is compared after the masking both runners apply (see tests/scenarios/README.md,
"Masking").
"""
import argparse
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL_PATH = 'C:\\vctool\\VorlaxClean.exe'
LOG_PATH = 'C:\\windows\\VorlaxClean.log'
WININIT_PATH = 'C:\\windows\\WININIT.INI'
HELPER_PATH = 'C:\\windows\\system32\\holdfile.exe'
SESSION_MANAGER = 'HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager'
WINE_VERSIONS = {'nt': 'winxp', '98': 'win98'}

SCENARIO_KEYS = {'description', 'platform', 'host_only', 'no_sweep', 'args', 'keys', 'machine', 'expect',
                 'restart', 'after_restart', 'second_run'}
END_STATE_KEYS = {'files_present', 'files_absent', 'registry_present', 'registry_absent', 'pending', 'wininit',
                  'log_exists', 'log'}
RUN_KEYS = END_STATE_KEYS | {'exit', 'console', 'log_lines', 'log_absent', 'started', 'key_reads',
                             'key_read_before_start', 'terminated'}

failures = []


class WineFault(Exception):
    """Wine itself failed the run (not the tool): the scenario is tried again in a new prefix."""


class BadScenario(Exception):
    pass


def fail(text):
    failures.append(text)


def check_keys(node, known, where):
    if node is None:
        return
    if not isinstance(node, dict):
        raise BadScenario(where + ' must be a mapping')
    for key in node:
        if key not in known:
            raise BadScenario("unknown key '%s' in %s" % (key, where))


def crlf(text):
    return text.replace('\n', '\r\n').encode('latin-1')


# ---------------------------------------------------------------- masking (same as the host runner)

PID_RE = re.compile(rb'\(PID=0x[0-9a-fA-F]+\)')
IMAGED_RE = re.compile(rb'^(Will delete infected imaged from 0x)(?!0*(?:\r|$)).*?(?=\r|$)', re.M)
EXAMINATE_RE = re.compile(rb'^examinate process (.*) \(PID=0xPID\)$')
PATH_RE = re.compile(rb'^path (.*) infection=0$')


def mask_log(text, files, images):
    """What differs by nature between machines: process ids, the list's address (when the list
    is not empty), lines about processes whose image the scenario does not name, and clean
    'path' lines of files the scenario does not name (the tool itself is named)."""
    text = PID_RE.sub(b'(PID=0xPID)', text)
    text = IMAGED_RE.sub(rb'\g<1>ADDR', text)
    out = []
    for line in text.split(b'\r\n'):
        m = EXAMINATE_RE.match(line)
        if m and m.group(1).decode('latin-1').upper() not in images:
            continue
        m = PATH_RE.match(line)
        if m and m.group(1).decode('latin-1').upper() not in files:
            continue
        out.append(line)
    return b'\r\n'.join(out)


# ---------------------------------------------------------------- texts

def visible(data):
    out = []
    for c in data:
        if c == 13:
            out.append('\\r')
        elif c == 10:
            out.append('\\n')
        elif c < 0x20 or c >= 0x7f:
            out.append('\\x%02X' % c)
        else:
            out.append(chr(c))
    return ''.join(out)


def split_keeping_ends(data):
    lines = data.split(b'\n')
    out = [l + b'\n' for l in lines[:-1]]
    if lines[-1]:
        out.append(lines[-1])
    return out


def compare_text(what, expected, actual):
    if expected == actual:
        return
    at = 0
    while at < len(expected) and at < len(actual) and expected[at] == actual[at]:
        at += 1
    e, a = split_keeping_ends(expected), split_keeping_ends(actual)
    out = ['%s differs at byte %d (expected %d bytes, got %d)' % (what, at, len(expected), len(actual))]
    marked = False
    for i in range(max(len(e), len(a))):
        x = e[i] if i < len(e) else None
        y = a[i] if i < len(a) else None
        if x is not None and x == y:
            out.append('      ' + visible(x))
        else:
            out.append('  -   ' + (visible(x) if x is not None else '(no line)') +
                       ('' if marked else '  <== first difference'))
            out.append('  +   ' + (visible(y) if y is not None else '(no line)'))
            marked = True
    out.append('  (- expected, + actual; \\r is CR, \\n is LF)')
    fail('\n'.join(out))


def crlf_lines(data):
    lines = data.split(b'\r\n')
    if lines and lines[-1] == b'':
        lines.pop()
    return lines


# ---------------------------------------------------------------- Wine

class Wine:
    def __init__(self, prefix):
        self.prefix = prefix
        self.env = dict(os.environ)
        for k in ('DISPLAY', 'WAYLAND_DISPLAY'):
            self.env.pop(k, None)
        self.env.update(WINEPREFIX=prefix, WINEARCH='win32', WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')

    def run(self, args, timeout=120, **kw):
        return subprocess.run(['wine'] + args, env=self.env, timeout=timeout, **kw)

    def popen(self, args, **kw):
        return subprocess.Popen(['wine'] + args, env=self.env, **kw)

    def server(self, flag, timeout=60):
        try:
            subprocess.run(['wineserver', flag], env=self.env, timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            if flag != '-k':
                self.server('-k')

    def stop(self):
        """Ends every program of the prefix and waits until the registry is saved."""
        self.server('-k')
        self.server('-w')

    def unix_path(self, path, create_dirs=False):
        """The Unix path of a C: path, each component found case-insensitively."""
        if len(path) < 3 or path[1:3] != ':\\':
            raise BadScenario('not a full path: ' + path)
        if path[0].upper() != 'C':
            raise BadScenario('the Wine runner has only drive C: ' + path)
        cur = os.path.join(self.prefix, 'drive_c')
        parts = [p for p in path[3:].split('\\') if p]
        for i, part in enumerate(parts):
            found = None
            if os.path.isdir(cur):
                for name in os.listdir(cur):
                    if name.upper() == part.upper():
                        found = name
                        break
            cur = os.path.join(cur, found or part)
            if create_dirs and i < len(parts) - 1 and not os.path.isdir(cur):
                os.makedirs(cur)
        return cur


TEMPLATE_FORMAT = '3'  # bump when the way a template is made changes: older caches are made again


def prefix_is_whole(wine, helper):
    """wineboot under qemu-user sometimes dies part way, leaving a prefix without its services
    (no mount manager, so no drive list). A whole prefix has the MountMgr service and lists C:."""
    try:
        with open(os.path.join(wine.prefix, 'system.reg'), encoding='utf-8', errors='replace') as f:
            if r'\\Services\\MountMgr]' not in f.read():
                return False
    except OSError:
        return False
    r = wine.run([helper, '--drives', '60'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return r.returncode == 0


def unlink_home(prefix):
    """wineboot links the user's shell folders (Desktop, Documents, ...) to the Unix home
    directory: a scan of C: would walk the home of whoever runs the tests. Each becomes an
    empty folder of the prefix."""
    users = os.path.join(prefix, 'drive_c', 'users')
    for top, dirs, files in os.walk(users):
        for name in dirs + files:
            path = os.path.join(top, name)
            if os.path.islink(path):
                os.remove(path)
                os.mkdir(path)


def make_template(platform, cache, win32_dir):
    """One prefix per platform, made once: wineboot -i, no Z: drive, the Windows version."""
    os.makedirs(cache, exist_ok=True)
    final = os.path.join(cache, platform)
    ready = os.path.join(final, '.ready')
    with open(os.path.join(cache, platform + '.lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(ready) as f:
                if f.read().strip() == TEMPLATE_FORMAT:
                    return final
        except OSError:
            pass
        shutil.rmtree(final, ignore_errors=True)
        work = final + '.new'
        helper = os.path.join(win32_dir, 'holdfile.exe')
        started = time.time()
        for attempt in range(3):
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            wine = Wine(work)
            wine.run(['wineboot', '-i'], timeout=400, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wine.server('-w', timeout=120)
            if prefix_is_whole(wine, helper):
                break
            wine.stop()
            print('the %s template prefix came out incomplete (attempt %d), making it again'
                  % (platform, attempt + 1), file=sys.stderr)
        else:
            raise BadScenario('wineboot -i did not make a whole prefix in three attempts')
        z = os.path.join(work, 'dosdevices', 'z:')
        if os.path.lexists(z):
            os.remove(z)
        unlink_home(work)
        wine.run(['reg', 'add', 'HKCU\\Software\\Wine', '/v', 'Version', '/d', WINE_VERSIONS[platform], '/f'],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wine.stop()
        with open(os.path.join(work, '.ready'), 'w') as f:
            f.write(TEMPLATE_FORMAT + '\n')
        os.rename(work, final)
        print('made the %s template prefix in %.0f s' % (platform, time.time() - started), file=sys.stderr)
        return final


# ---------------------------------------------------------------- registry files

def reg_escape(text):
    return text.replace('\\', '\\\\').replace('"', '\\"')


def reg_file_and_key(prefix, key):
    upper = key.upper()
    for root, name in (('HKEY_LOCAL_MACHINE\\', 'system.reg'), ('HKLM\\', 'system.reg'),
                       ('HKEY_CURRENT_USER\\', 'user.reg'), ('HKCU\\', 'user.reg')):
        if upper.startswith(root):
            return os.path.join(prefix, name), key[len(root):]
    raise BadScenario('the Wine runner knows HKLM and HKCU only: ' + key)


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            if n == 'x':
                m = re.match(r'[0-9a-fA-F]{1,4}', text[i + 2:])
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
            out.append({'n': '\n', 'r': '\r', 't': '\t', '0': '\0'}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return ''.join(out)


def read_registry(path):
    """{KEY (upper case, single backslashes): {value name (upper case): raw data text}}"""
    keys = {}
    current = None
    with open(path, encoding='utf-8', errors='replace') as f:
        text = f.read().replace('\\\n', '')
    for line in text.split('\n'):
        if line.startswith('['):
            end = line.rfind(']')
            current = keys.setdefault(unescape(line[1:end]).upper(), {})
        elif current is not None and (line.startswith('"') or line.startswith('@=')):
            if line.startswith('@='):
                name, rest = '', line[2:]
            else:
                m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
                if not m:
                    continue
                name, rest = unescape(m.group(1)), m.group(2)
            current[name.upper()] = rest.strip()
    return keys


def multi_sz(raw):
    """The strings of a REG_MULTI_SZ value as Wine stores it: str(7):"..." or hex(7):..."""
    m = re.match(r'str\(7\):"(.*)"$', raw)
    if m:
        return unescape(m.group(1)).split('\0')
    m = re.match(r'hex\(7\):(.*)$', raw)
    if not m:
        return []
    data = bytes(int(h, 16) for h in m.group(1).replace(' ', '').split(',') if h)
    return data.decode('utf-16-le').split('\0')


# ---------------------------------------------------------------- the scenario

class Runner:
    def __init__(self, scenario, opts, file):
        self.s = scenario
        self.opts = opts
        self.file = file
        self.platform = str(scenario.get('platform', 'nt'))
        if self.platform not in WINE_VERSIONS:
            raise BadScenario('platform must be nt or 98')
        machine = scenario.get('machine') or {}
        check_keys(machine, {'admin', 'drives', 'dirs', 'links', 'files', 'registry', 'processes', 'services',
                             'devices', 'faults'}, 'machine')
        for key in ('drives', 'links', 'services', 'devices', 'faults'):
            if machine.get(key):
                raise BadScenario("machine.%s needs the host runner (mark the scenario host_only)" % key)
        if machine.get('admin', 'member') != 'member':
            raise BadScenario('a non-administrator token needs the host runner (mark the scenario host_only)')
        self.machine = machine
        self.files = [TOOL_PATH.upper()] + [str(f.get('path', '')).upper() for f in machine.get('files') or []]
        self.images = [str(p.get('image', '')).upper() for p in machine.get('processes') or []]
        self.helper = None

    def build(self):
        cache = self.opts.cache
        template = make_template(self.platform, cache, self.opts.win32_dir)
        self.prefix = tempfile.mkdtemp(prefix='vorlax-wine-')
        subprocess.run(['cp', '-a', template + '/.', self.prefix], check=True)
        self.wine = Wine(self.prefix)
        w = self.wine
        tool = w.unix_path(TOOL_PATH, create_dirs=True)
        shutil.copyfile(os.path.join(self.opts.win32_dir, 'VorlaxClean.exe'), tool)
        shutil.copyfile(os.path.join(self.opts.win32_dir, 'holdfile.exe'), w.unix_path(HELPER_PATH))
        for d in self.machine.get('dirs') or []:
            os.makedirs(w.unix_path(d + '\\x', create_dirs=True)[:-2], exist_ok=True)

        images = {}
        for p in self.machine.get('processes') or []:
            check_keys(p, {'image', 'pid', 'can_query', 'can_terminate', 'terminate_succeeds',
                           'needs_debug_privilege'}, 'machine.processes')
            for k in ('can_query', 'can_terminate', 'terminate_succeeds'):
                if p.get(k, True) is not True:
                    raise BadScenario('machine.processes.%s needs the host runner' % k)
            if p.get('needs_debug_privilege'):
                raise BadScenario('machine.processes.needs_debug_privilege needs the host runner')
            images[str(p['image']).upper()] = p['image']

        holds, readonly = [], []
        for f in self.machine.get('files') or []:
            check_keys(f, {'path', 'content', 'size', 'seed', 'text', 'readonly', 'held_open'}, 'machine.files')
            path = str(f['path'])
            unix = w.unix_path(path, create_dirs=True)
            self.write_file(f, unix, path.upper() in images)
            images.pop(path.upper(), None)
            if f.get('readonly'):
                readonly.append(unix)
            if f.get('held_open'):
                sharing = str(f['held_open'])
                if sharing not in ('read', 'none', 'readwrite'):
                    raise BadScenario('held_open must be read, none or readwrite: ' + path)
                holds += ['--hold', sharing, path]
        for image in images.values():  # a process whose image the scenario did not describe
            self.write_file({'content': 'plain'}, w.unix_path(image, create_dirs=True), True)
        for unix in readonly:
            os.chmod(unix, 0o444)
        self.write_registry(self.machine.get('registry') or [])

        runs = []
        for p in self.machine.get('processes') or []:
            runs += ['--run', p['image']]
        if holds or runs:
            self.wait_for_drives('expect')
            self.helper = w.popen([HELPER_PATH] + holds + runs, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  stdin=subprocess.DEVNULL)
            line = self.helper.stdout.readline().decode('latin-1').strip()
            if line != 'ready':
                raise BadScenario('the helper could not build the machine: ' + line)

    def write_file(self, f, unix, runnable):
        content = str(f.get('content', 'plain'))
        size = str(f.get('size', 8192))
        seed = str(f.get('seed', 1))
        gen = self.opts.samplegen
        sleeper = os.path.join(self.opts.win32_dir, 'sleeper.exe')
        kinds = {'row0': ('sample', '0'), 'row1': ('sample', '1'), 'near0': ('near', '0'), 'near1': ('near', '1')}
        if content == 'text':
            if 'text' not in f:
                raise BadScenario('content: text needs a text key: ' + unix)
            with open(unix, 'wb') as out:
                out.write(crlf(str(f['text'])))
            return
        if runnable:
            # A running program: the sleeper, stamped like the sample the scenario names.
            if content in kinds:
                cmd = [gen, kinds[content][0], '--row', kinds[content][1], '--base', sleeper, '-o', unix]
            else:
                shutil.copyfile(sleeper, unix)
                return
        elif content in kinds:
            cmd = [gen, kinds[content][0], '--row', kinds[content][1], '--size', size, '--seed', seed, '-o', unix]
        elif content == 'plain':
            cmd = [gen, 'plain', '--size', size, '--seed', seed, '-o', unix]
        else:
            raise BadScenario("unknown content '%s'" % content)
        r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if r.returncode != 0:
            raise BadScenario('samplegen failed: ' + r.stderr.decode(errors='replace'))

    def write_registry(self, values):
        by_file = {}
        for v in values:
            check_keys(v, {'key', 'name', 'type', 'data'}, 'machine.registry')
            path, key = reg_file_and_key(self.prefix, str(v['key']))
            lines = by_file.setdefault(path, [])
            lines.append('\n[%s] 0\n' % reg_escape(key))
            if 'name' not in v:
                continue
            name, kind = str(v['name']), str(v.get('type', 'REG_SZ'))
            if kind == 'REG_SZ':
                data = '"%s"' % reg_escape(str(v.get('data', '')))
            elif kind == 'REG_EXPAND_SZ':
                data = 'str(2):"%s"' % reg_escape(str(v.get('data', '')))
            elif kind == 'REG_DWORD':
                data = 'dword:%08x' % (int(v.get('data', 0)) & 0xffffffff)
            else:
                raise BadScenario("unknown registry type '%s'" % kind)
            lines.append('"%s"=%s\n' % (reg_escape(name), data))
        for path, lines in by_file.items():
            with open(path, 'a', encoding='utf-8') as f:
                f.write(''.join(lines))

    # ------------------------------------------------------------ a run

    def list_processes(self):
        r = self.wine.run([HELPER_PATH, '--list'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return [l.strip() for l in r.stdout.decode('latin-1').splitlines() if l.strip()]

    def log_bytes(self):
        try:
            with open(self.wine.unix_path(LOG_PATH), 'rb') as f:
                return f.read()
        except FileNotFoundError:
            return None

    def run_tool(self, args, keys, where):
        before = self.log_bytes() or b''
        started = time.time()
        # Standard output goes to a file: a program the tool starts (the shell) inherits it, and
        # a pipe would stay open as long as that program runs.
        with tempfile.TemporaryFile() as out:
            command = [TOOL_PATH] + [str(a) for a in args]
            if keys:
                # _getch reads the console: give the program a terminal to read the keys from.
                import pty
                master, slave = pty.openpty()
                p = self.wine.popen(command, stdin=slave, stdout=out, stderr=subprocess.DEVNULL)
                os.close(slave)
                time.sleep(0.5)
                os.write(master, str(keys).encode('latin-1'))
                try:
                    code = p.wait(timeout=120)
                except subprocess.TimeoutExpired:
                    p.kill()
                    raise WineFault('%s: the tool did not end within 120 s' % where)
                finally:
                    os.close(master)
            else:
                try:
                    code = self.wine.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.DEVNULL).returncode
                except subprocess.TimeoutExpired:
                    raise WineFault('%s: the tool did not end within 120 s' % where)
            out.seek(0)
            console = out.read()
        if self.opts.verbose:
            print('%s: the tool ran %.1f s, exit %d' % (where, time.time() - started, code))
        # Under qemu-user a Wine process now and then starts with an empty drive list, which it
        # keeps. C:\windows always holds programs, so a scan section without a single line means
        # the tool was given no drive: Wine failed, not the tool.
        log = (self.log_bytes() or b'')[len(before):]
        if re.search(rb'\*{10}Scan hard disk\r\n(\r\n)*\*{10}all done', log):
            raise WineFault('%s: Wine gave the tool an empty drive list' % where)
        return {'exit': code, 'console': console, 'log_before': len(before)}

    # ------------------------------------------------------------ checks

    def has_file(self, path):
        return os.path.lexists(self.wine.unix_path(path))

    def registry(self):
        return {'system.reg': read_registry(os.path.join(self.prefix, 'system.reg')),
                'user.reg': read_registry(os.path.join(self.prefix, 'user.reg'))}

    def check_end_state(self, expect, where):
        for path in expect.get('files_present') or []:
            if not self.has_file(path):
                fail('%s: %s is missing' % (where, path))
        for path in expect.get('files_absent') or []:
            if self.has_file(path):
                fail('%s: %s is still there' % (where, path))
        reg = None
        for present in (True, False):
            entries = expect.get('registry_present' if present else 'registry_absent')
            if not entries:
                continue
            reg = reg or self.registry()
            for e in entries:
                check_keys(e, {'key', 'name'}, where + '.registry')
                path, key = reg_file_and_key(self.prefix, str(e['key']))
                values = reg[os.path.basename(path)].get(key.upper())
                has = values is not None and ('name' not in e or str(e['name']).upper() in values)
                if has != present:
                    fail('%s: %s%s %s' % (where, e['key'], '\\\\' + str(e['name']) if 'name' in e else '',
                                          'is missing' if present else 'is still there'))
        if 'pending' in expect:
            reg = reg or self.registry()
            _, key = reg_file_and_key(self.prefix, SESSION_MANAGER)
            raw = reg['system.reg'].get(key.upper(), {}).get('PENDINGFILERENAMEOPERATIONS')
            strings = multi_sz(raw) if raw else []
            ops = []
            for i in range(0, len(strings), 2):  # pairs of source and target; an empty source ends
                if strings[i] == '':
                    break
                src = strings[i][4:] if strings[i].startswith('\\??\\') else strings[i]
                dst = strings[i + 1] if i + 1 < len(strings) else ''
                dst = dst[1:] if dst.startswith('!') else dst
                dst = dst[4:] if dst.startswith('\\??\\') else dst
                ops.append((src, dst or None))
            wanted = [(str(o['from']), str(o['to']) if 'to' in o else None) for o in expect['pending'] or []]
            if ops != wanted:
                fail('%s.pending: the restart-time operations differ; they are:%s' % (
                    where, ''.join('\n  from "%s"%s' % (s, ' (deletion)' if d is None else ' to "%s"' % d)
                                   for s, d in ops) or ' none'))
        if 'wininit' in expect:
            try:
                with open(self.wine.unix_path(WININIT_PATH), 'rb') as f:
                    compare_text(where + '.wininit', crlf(str(expect['wininit'])), f.read())
            except (FileNotFoundError, IsADirectoryError):
                fail('%s: %s does not exist' % (where, WININIT_PATH))
        log = self.log_bytes()
        if 'log_exists' in expect and bool(expect['log_exists']) != (log is not None):
            fail('%s: the log file %s' % (where, 'exists' if log is not None else 'does not exist'))
        if 'log' in expect:
            if log is None:
                fail(where + ': the log file does not exist')
            else:
                compare_text(where + '.log', mask_log(crlf(str(expect['log'])), self.files, self.images),
                             mask_log(log, self.files, self.images))

    def check_run(self, expect, run, where, processes, before=None):
        expect = expect or {}
        check_keys(expect, RUN_KEYS, where)
        if 'exit' in expect and run['exit'] != int(expect['exit']):
            fail('%s.exit: %d, expected %d' % (where, run['exit'], int(expect['exit'])))
        if 'console' in expect:
            compare_text(where + '.console', crlf(str(expect['console'])), run['console'])
        log = self.log_bytes() or b''
        run_log = mask_log(log[run['log_before']:], self.files, self.images)
        if any(k in expect for k in ('log', 'log_lines', 'log_absent')) and re.search(rb'(?<!\r)\n', log):
            fail(where + ': the log has a line feed without a carriage return')
        if 'log_lines' in expect:
            lines = crlf_lines(run_log)
            at = 0
            for want in expect['log_lines'] or []:
                want_b = mask_log(str(want).encode('latin-1'), self.files, self.images)
                i = at
                while i < len(lines) and lines[i] != want_b:
                    i += 1
                if i == len(lines):
                    fail('%s.log_lines: no line "%s" after log line %d; the run\'s log lines are:\n%s' % (
                        where, visible(want_b), at,
                        '\n'.join('  %d: %s' % (k, visible(l)) for k, l in enumerate(lines))))
                    break
                at = i + 1
        for text in expect.get('log_absent') or []:
            if str(text).encode('latin-1') in run_log:
                fail('%s.log_absent: the log holds "%s"' % (where, text))
        if processes is not None:
            names = [p.upper() for p in processes]
            # Programs the run started: Wine shows a running explorer.exe (the shell) only.
            if 'started' in expect:
                wanted = [str(s.get('command_line', '')) for s in expect['started'] or []]
                def shells(listing):
                    return sum(1 for n in listing or []
                               if os.path.basename(n.upper().replace('\\', '/')) == 'EXPLORER.EXE')
                shell = shells(names) > shells(before)
                if wanted == ['explorer.exe'] and not shell:
                    fail(where + '.started: no explorer.exe runs after the run; processes:\n  ' +
                         '\n  '.join(processes))
                if wanted == [] and shell:
                    fail(where + '.started: explorer.exe runs, and the run was to start nothing')
            for image in expect.get('terminated') or []:
                if str(image).upper() in names:
                    fail('%s.terminated: %s still runs' % (where, image))
        self.check_end_state(expect, where)

    def wants_processes(self, expect):
        return bool(expect) and ('started' in expect or 'terminated' in expect)

    def wait_for_drives(self, where):
        # Wine's mount manager lists the drives a while after the server starts (and after the
        # restart): a tool started before that would find no drive to scan. Under qemu-user a
        # server sometimes never lists them (its device service died), and a process now and
        # then starts with an empty list that stays empty: each try is a new process, and a
        # failed one restarts the server. Nothing of the scenario runs yet at this point.
        last = ''
        for attempt in range(4):
            try:
                r = self.wine.run([HELPER_PATH, '--drives', '15'], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
                last = r.stdout.decode('latin-1').strip()
                if r.returncode == 0:
                    return
            except subprocess.TimeoutExpired:
                last = 'the drive check did not end'
            if self.opts.verbose:
                print('%s: %s, restarting the Wine server' % (where, last))
            self.wine.stop()
        raise WineFault('%s: Wine lists no drive C: (%s)' % (where, last))

    def one_run(self, args, keys, expect, where):
        if self.helper is None:
            self.wait_for_drives(where)
        # Wine runs an explorer.exe of its own (the desktop): count the shells before the run,
        # so that only one the tool started counts as started.
        before = self.list_processes() if self.wants_processes(expect) else None
        run = self.run_tool(args or [], keys, where)
        processes = self.list_processes() if self.wants_processes(expect) else None
        self.wine.stop()  # every program ends and the registry is saved: the end state
        self.helper = None
        self.check_run(expect, run, where, processes, before)

    def run(self):
        s = self.s
        self.build()
        self.one_run(s.get('args'), s.get('keys'), s.get('expect'), 'expect')
        if s.get('after_restart') and not s.get('restart'):
            raise BadScenario('after_restart needs restart: true')
        if s.get('restart'):
            self.wine.run(['wineboot', '-r'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.wine.stop()
            check_keys(s.get('after_restart'), END_STATE_KEYS, 'after_restart')
            if s.get('after_restart'):
                self.check_end_state(s['after_restart'], 'after_restart')
        if s.get('second_run'):
            second = s['second_run']
            check_keys(second, {'args', 'keys', 'expect'}, 'second_run')
            self.one_run(second.get('args'), second.get('keys'), second.get('expect'), 'second_run.expect')

    def cleanup(self):
        if getattr(self, 'wine', None):
            self.wine.server('-k')
            if self.opts.keep:
                print('prefix kept: ' + self.prefix)
            else:
                shutil.rmtree(self.prefix, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description='Runs one scenario with VorlaxClean.exe under Wine.')
    ap.add_argument('file')
    ap.add_argument('--win32-dir', default=os.path.join(ROOT, 'build', 'win32'))
    ap.add_argument('--samplegen', default=os.path.join(ROOT, 'build', 'host', 'samplegen'))
    ap.add_argument('--cache', default=os.path.join(ROOT, 'build', 'wine-prefixes'))
    ap.add_argument('--keep', action='store_true')
    ap.add_argument('--verbose', action='store_true')
    ap.add_argument('--template-only', action='store_true',
                    help='make (or find) the template prefix of FILE (nt or 98) and print its path')
    opts = ap.parse_args()
    if opts.template_only:
        print(make_template(opts.file, opts.cache, opts.win32_dir))
        return 0
    started = time.time()
    try:
        with open(opts.file) as f:
            scenario = yaml.safe_load(f)
        check_keys(scenario, SCENARIO_KEYS, 'the scenario')
        if scenario.get('host_only'):
            print('SKIP %s: host_only: %s' % (opts.file, scenario['host_only']))
            return 0
        for attempt in range(1, 4):
            runner = Runner(scenario, opts, opts.file)
            try:
                runner.run()
                break
            except (WineFault, subprocess.TimeoutExpired) as e:
                # A Wine program that hangs (qemu-user) is Wine failing as well; a tool that
                # hangs in all three attempts fails the scenario.
                if attempt == 3:
                    raise BadScenario('%s (three attempts)' % e)
                print('attempt %d: %s; again in a new prefix' % (attempt, e))
                del failures[:]
            finally:
                runner.cleanup()
    except (BadScenario, yaml.YAMLError, OSError, subprocess.SubprocessError) as e:
        print('scenario error: %s' % e, file=sys.stderr)
        return 2
    if not failures:
        print('PASS %s (%.0f s)' % (opts.file, time.time() - started))
        return 0
    print('FAIL %s' % opts.file, file=sys.stderr)
    for f in failures:
        print('\n' + f, file=sys.stderr)
    return 1


if __name__ == '__main__':
    sys.exit(main())
