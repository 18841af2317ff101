#!/usr/bin/python3
"""Wine scenario runner: runs one scenario file (tests/scenarios/README.md) with the real
VorlaxClean.exe in a fresh Wine prefix, writes down what it saw as a record, and has the host
runner's checks (scenario_runner --check-record) apply the scenario's expectations to it: the
rules that compare a run with a scenario exist once, in the host runner.

  run_scenario.py FILE.yaml [--win32-dir DIR] [--samplegen PATH] [--checker PATH] [--cache DIR]
                            [--notes DIR] [--keep] [--verbose]

--win32-dir  the Windows build (VorlaxClean.exe, sleeper.exe, holdfile.exe); default build/win32
--samplegen  the host sample writer; default build/host/samplegen
--checker    the host scenario runner; default build/host/tests/runner/scenario_runner
--cache      where the template prefixes live (one per platform, made once under a lock);
             default build/host/wine-prefixes
--notes      a folder that keeps this scenario's SKIPPED and RETRY lines for the suite's summary
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

What the record holds of each run: the exit code, the console, what the run appended to the log,
and, from Wine's relay trace of a few of the tool's calls (RELAY_INCLUDE), its program starts
with their flags, its key reads and the processes it ended; of the machine after each run and
after the restart: every path on C:, the bytes of every file written since the prefix was made,
the registry keys the scenario names, and PendingFileRenameOperations. What this Wine cannot
show (a probe of its own, once per template prefix) goes with it as a limit: the checker then
reports each expectation it could not check as SKIPPED, with the reason.
"""
import argparse
import ctypes
import fcntl
import json
import os
import re
import select
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
                             'key_read_before_start', 'terminated', 'titles'}

failures = []


def read_line(pipe, seconds):
    """One line of a child's output, or '' when none came within the time or the child ended."""
    data, deadline = b'', time.time() + seconds
    while not data.endswith(b'\n'):
        left = deadline - time.time()
        if left <= 0 or not select.select([pipe], [], [], left)[0]:
            break
        chunk = os.read(pipe.fileno(), 1)
        if not chunk:
            break
        data += chunk
    return data.decode('latin-1').strip()


class WineFault(Exception):
    """Wine itself failed a run of the tool (not the tool): the scenario is tried again in a new
    prefix. args: the run's name, what a probe of Wine showed."""


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


# ---------------------------------------------------------------- Wine

CLONE_NEWUTS = 0x04000000


def in_host_name(name):
    """preexec_fn: the child (a Wine program, and the wineserver it starts) sees host name, which
    is what Wine's GetComputerNameA answers."""
    def enter():
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(CLONE_NEWUTS) != 0 or libc.sethostname(name.encode(), len(name)) != 0:
            os._exit(120)
    return enter


class Wine:
    def __init__(self, prefix, host_name=None):
        self.prefix = prefix
        # Every program of the prefix runs with this host name (the machine's computer name).
        self.preexec = in_host_name(host_name) if host_name else None
        self.env = dict(os.environ)
        for k in ('DISPLAY', 'WAYLAND_DISPLAY'):
            self.env.pop(k, None)
        self.env.update(WINEPREFIX=prefix, WINEARCH='win32', WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')

    def run(self, args, timeout=120, env=None, **kw):
        return subprocess.run(['wine'] + args, env=env or self.env, timeout=timeout, preexec_fn=self.preexec, **kw)

    def popen(self, args, env=None, **kw):
        return subprocess.Popen(['wine'] + args, env=env or self.env, preexec_fn=self.preexec, **kw)

    def relay_env(self):
        """The environment of a run whose calls of RELAY_INCLUDE Wine traces to stderr."""
        return dict(self.env, WINEDEBUG='-all,+relay')

    def server(self, flag, timeout=60):
        try:
            subprocess.run(['wineserver', flag], env=self.env, timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            if flag != '-k':
                self.server('-k')
        if flag == '-k':
            self.end_stragglers()

    def end_stragglers(self):
        """Ends the programs of this prefix that the server's end left running (given three
        seconds to end on their own): under qemu-user a device service whose server is gone
        spins on, taking a core from every later test. The server itself is left to save the
        registry."""
        mine = ('WINEPREFIX=' + self.prefix).encode()

        def left():
            found = {}
            for pid in os.listdir('/proc'):
                if not pid.isdigit():
                    continue
                try:
                    with open('/proc/%s/environ' % pid, 'rb') as f:
                        if mine not in f.read().split(b'\0'):
                            continue
                    with open('/proc/%s/cmdline' % pid, 'rb') as f:
                        command = f.read().split(b'\0')
                except OSError:
                    continue
                if not any(b'wineserver' in part for part in command):
                    found[int(pid)] = b' '.join(command[-2:]).decode('latin-1').strip()
            return found

        deadline = time.time() + 3
        found = left()
        while found and time.time() < deadline:
            time.sleep(0.2)
            found = left()
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if found:
            print('ended %d program(s) of the prefix that outlived its server: %s'
                  % (len(found), '; '.join(found.values())), file=sys.stderr)

    def keep_server(self):
        """Starts the prefix's server to stay until it is ended (wineserver -p). Started by a
        program, a server ends with the last program (the wrapper's -p0), its device service
        with it, and the next program starts a new one with a new mount manager: under qemu-user
        about a quarter of such starts never list the drives (none after 60 s either), while a
        server that stays answers every later program as it answered the first. Does nothing where a
        server already runs."""
        try:
            subprocess.run(['wineserver', '-p'], env=self.env, timeout=60, preexec_fn=self.preexec,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass

    def stop(self):
        """Ends every program of the prefix and waits until the registry is saved."""
        self.server('-k')
        self.server('-w')

    def answers(self):
        """An independent probe of Wine itself: a new process starts, sees drive C: and ends.
        (holdfile.exe must be in the prefix.)"""
        try:
            r = self.run([HELPER_PATH, '--drives', '10'], timeout=60, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
            return r.returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def run_tool(self, args, where, timeout=300, **kw):
        """wine ARGS for a run of the tool (or of a script that runs it), traced by Wine
        (relay_env; kw must not name stderr): (the finished process or None, the tool's calls
        as relay_trace gives them). None when it did not end within the time and Wine is not to
        blame (judge_hang; the caller reports the hang). WineFault where Wine gave the tool no
        drive (check_drive_answer) or is to blame for the hang."""
        with tempfile.TemporaryFile() as trace:
            try:
                r = self.run(args, timeout=timeout, env=self.relay_env(), stderr=trace, **kw)
            except subprocess.TimeoutExpired:
                r = None
            trace.seek(0)
            calls, unreturned = relay_trace(trace.read().decode('latin-1', errors='replace'))
        if r is None:
            judge_hang(self, unreturned, where, timeout)
        check_drive_answer(calls, where)
        return r, calls

    def run_or_hang(self, args, where, timeout=300, **kw):
        """wine ARGS: the finished process, or None when it did not end within the time while the
        server still starts a program (a hang of what ran: the caller reports it). Where the
        server no longer does, Wine itself failed: WineFault."""
        try:
            return self.run(args, timeout=timeout, **kw)
        except subprocess.TimeoutExpired:
            if not self.answers():
                raise WineFault(where, '%s did not end within %d s and the Wine server no longer starts a '
                                'program that sees C:' % (where, timeout))
            return None

    def wait_for_drives(self, opts, where, restart=True):
        """Wine's mount manager lists the drives a while after the server starts (and after the
        restart): a tool started before that would find no drive to scan. Under qemu-user a
        server sometimes never lists them (its device service died): it is started again, each
        time said, unless restart is False (programs of the machine run, which a new server
        would lose: then the machine is built again). Nothing of the product has run at this
        point: this probe alone decides."""
        for attempt in range(1, 5 if restart else 2):
            self.keep_server()
            try:
                r = self.run([HELPER_PATH, '--drives', '15'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if r.returncode == 0:
                    return
                last = r.stdout.decode('latin-1').strip()
            except subprocess.TimeoutExpired:
                last = 'the drive check did not end'
            if restart and attempt < 4:
                note(opts, 'RETRY %s: before %s: a new Wine process sees no drive C: (%s); the Wine server '
                     'starts again' % (opts.name, where, last))
                self.stop()
        raise WineFault(where, 'a new Wine process sees no drive C: (%s)' % last)

    def restart(self, opts):
        """The machine's restart: every program ends, then wineboot -r carries out
        PendingFileRenameOperations and WININIT.INI, and every program ends again (the registry
        saved). wineboot waits for the services a new server starts, and under qemu-user a
        new server's device service now and then never starts: so wineboot runs under a server
        whose mount manager listed the drives (wait_for_drives). False when wineboot did not end
        within 300 s while the server still starts programs (the caller reports it)."""
        self.stop()
        self.wait_for_drives(opts, 'the restart')
        ended = self.run_or_hang(['wineboot', '-r'], 'the restart', stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) is not None
        self.stop()
        return ended

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


TEMPLATE_FORMAT = '6'  # bump when the way a template is made changes: older caches are made again

# The calls whose arguments and results Wine's relay trace shows for each run of the tool: what
# the run did, seen by Wine itself (program starts, key reads, ended processes, the drive list).
RELAY_INCLUDE = ';'.join(m + '.' + f for f in ('GetWindowsDirectoryA', 'GetLogicalDriveStringsA', 'GetDriveTypeA',
                                                'CreateProcessA', 'OpenProcess', 'TerminateProcess',
                                                'GetConsoleTitleA', 'SetConsoleTitleA')
                         for m in ('KERNEL32', 'KERNELBASE')) + ';msvcrt._getch'
# Of those, the ones Windows answers at once, from what it holds (the drive list and a fixed
# drive's type among them): a run that hangs inside one of them hangs inside Wine.
ANSWERED_AT_ONCE = ('GetWindowsDirectoryA', 'GetLogicalDriveStringsA', 'GetDriveTypeA')

BINFMT = '/proc/sys/fs/binfmt_misc'
I386_MAGIC = 'magic 7f454c4601010100000000000000000002000300'


def machine_kind():
    """'qemu-user' when a binfmt_misc handler runs i386 programs (tools/wine-enable.sh), else
    'native'. A template made on one kind is not used on the other."""
    try:
        for name in os.listdir(BINFMT):
            path = os.path.join(BINFMT, name)
            if name in ('register', 'status') or not os.path.isfile(path):
                continue
            with open(path) as f:
                text = f.read()
            if text.startswith('enabled') and I386_MAGIC in text:
                return 'qemu-user'
    except OSError:
        pass
    return 'native'


def probe_limits(wine, platform):
    """What this Wine cannot show, found by a probe of its own (never from the tool's output):
    whether a program can read the image path of another process the way the tool does on this
    platform (PSAPI on NT, a ToolHelp snapshot on 9x)."""
    mode = '--modules' if platform == 'nt' else '--toolhelp'
    try:
        r = wine.run([HELPER_PATH, mode], timeout=120, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        out, code = r.stdout.decode('latin-1').strip(), r.returncode
    except subprocess.TimeoutExpired:
        out, code = 'the probe did not end', 1
    if code == 0:
        return {}
    if platform == 'nt':
        reason = ('this Wine does not let a program read another process\'s modules (%s; %s), so the tool '
                  'examines no process' % (out, machine_kind()))
    else:
        reason = ('Wine\'s ToolHelp snapshot names a process by its base name, not its path (%s), so the '
                  'tool\'s 9x process scan cannot tell the shell or a worm by its path' % out)
    return {'process_paths': reason}


def prefix_is_whole(wine, helper):
    """wineboot under qemu-user sometimes dies part way, leaving a prefix without its services
    (no mount manager, so no drive list). A whole prefix has the MountMgr service and lists C:.
    A new server there now and then never lists the drives (Wine.keep_server), so a prefix
    whose service is there gets three servers to list them."""
    try:
        with open(os.path.join(wine.prefix, 'system.reg'), encoding='utf-8', errors='replace') as f:
            if r'\\Services\\MountMgr]' not in f.read():
                return False
    except OSError:
        return False
    for attempt in range(3):
        wine.keep_server()
        try:
            r = wine.run([helper, '--drives', '30'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode == 0:
                return True
        except subprocess.TimeoutExpired:
            pass
        wine.stop()
        print('a new server of the template prefix lists no drive C: (server %d of 3)' % (attempt + 1),
              file=sys.stderr)
    return False


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
    stamp = TEMPLATE_FORMAT + ' ' + machine_kind()
    with open(os.path.join(cache, platform + '.lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(ready) as f:
                if f.read().strip() == stamp:
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
        # Under qemu-user and a loaded machine one Wine program can take minutes.
        wine.run(['reg', 'add', 'HKCU\\Software\\Wine', '/v', 'Version', '/d', WINE_VERSIONS[platform], '/f'],
                 timeout=400, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wine.run(['reg', 'add', 'HKCU\\Software\\Wine\\Debug', '/v', 'RelayInclude', '/d', RELAY_INCLUDE, '/f'],
                 timeout=400, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.copyfile(helper, wine.unix_path(HELPER_PATH))
        limits = probe_limits(wine, platform)
        wine.stop()
        with open(os.path.join(work, '.limits'), 'w') as f:
            json.dump(limits, f)
        with open(os.path.join(work, '.ready'), 'w') as f:
            f.write(stamp + '\n')
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
        check_keys(machine, {'admin', 'shell', 'drives', 'dirs', 'links', 'files', 'registry', 'processes',
                             'services', 'devices', 'faults', 'user', 'computer_name'}, 'machine')
        for key in ('drives', 'links', 'services', 'devices', 'faults'):
            if machine.get(key):
                raise BadScenario("machine.%s needs the host runner (mark the scenario host_only)" % key)
        if machine.get('admin', 'member') != 'member':
            raise BadScenario('a non-administrator token needs the host runner (mark the scenario host_only)')
        if machine.get('user', 'user') != 'user':
            raise BadScenario('a LocalSystem token needs the host runner (mark the scenario host_only)')
        if machine.get('shell') is False:
            raise BadScenario('Wine always runs its shell (mark the scenario host_only)')
        self.machine = machine
        self.files = [TOOL_PATH.upper()] + [str(f.get('path', '')).upper() for f in machine.get('files') or []]
        self.images = [str(p.get('image', '')).upper() for p in machine.get('processes') or []]
        self.helper = None
        self.keeper = None

    def runs_shell(self):
        return self.platform == 'nt' and (self.machine or {}).get('shell', True)

    def build(self):
        cache = self.opts.cache
        self.template = template = make_template(self.platform, cache, self.opts.win32_dir)
        with open(os.path.join(template, '.limits')) as f:
            self.limits = json.load(f)
        self.prefix = tempfile.mkdtemp(prefix='vorlax-wine-')
        subprocess.run(['cp', '-a', template + '/.', self.prefix], check=True)
        self.wine = Wine(self.prefix, self.machine.get('computer_name'))
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
            # The shell starts before the user's programs, as at a logon.
            self.keep_shell('expect')
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
        """[(pid, image)] of the running processes, in the order the system lists them."""
        try:
            r = self.wine.run([HELPER_PATH, '--list'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            # The runner's own program, not the tool: Wine itself no longer runs one.
            raise WineFault('the process list', 'the runner\'s process list (holdfile.exe --list) did not end '
                            'within 120 s')
        out = []
        for line in r.stdout.decode('latin-1').splitlines():
            pid, _, image = line.strip().partition(' ')
            if image:
                out.append((int(pid, 16), image))
        return out

    def log_bytes(self):
        try:
            with open(self.wine.unix_path(LOG_PATH), 'rb') as f:
                return f.read()
        except FileNotFoundError:
            return None

    def run_tool(self, args, keys, where, terminal):
        before_log = self.log_bytes() or b''
        before = self.list_processes()
        started = time.time()
        env = self.wine.relay_env()
        # Standard output goes to a file: a program the tool starts (the shell) inherits it, and
        # a pipe would stay open as long as that program runs. Wine's relay trace of the calls
        # listed in the template's RelayInclude goes to stderr: what Wine itself saw the tool do.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as trace:
            command = ['wine', TOOL_PATH] + [str(a) for a in args]
            if terminal:
                # A console window: _getch reads the keys from the terminal, and the console
                # has a title.
                import pty
                master, slave = pty.openpty()
                p = subprocess.Popen(command, env=env, stdin=slave, stdout=out, stderr=trace,
                                     preexec_fn=self.wine.preexec)
                os.close(slave)
                if keys:
                    time.sleep(0.5)
                    os.write(master, str(keys).encode('latin-1'))
            else:
                master = None
                p = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=trace,
                                     preexec_fn=self.wine.preexec)
            try:
                code = p.wait(timeout=120)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                code = None
            finally:
                if master is not None:
                    os.close(master)
            trace.seek(0)
            calls, unreturned = relay_trace(trace.read().decode('latin-1', errors='replace'))
            if code is None:
                judge_hang(self.wine, unreturned, where, 120)
                fail('%s: the tool did not end within 120 s (the Wine server still answers)' % where)
                code = -1
            out.seek(0)
            console = out.read()
        if self.opts.verbose:
            print('%s: the tool ran %.1f s, exit %s' % (where, time.time() - started, code))
        check_drive_answer(calls, where)
        log = (self.log_bytes() or b'')[len(before_log):]
        after = self.list_processes()
        return dict(exit=code, console=console, log=log, calls=calls, before=before, after=after,
                    terminal=terminal)

    # ------------------------------------------------------------ what the runner saw

    def facts(self, run):
        """The run as the checker reads it: console, log, program starts, key reads and ended
        processes, all from Wine's own trace of the tool's calls."""
        images = dict(run['before'])
        started, terminated, key_reads = [], [], 0
        last_key = first_start = None
        opened = {}
        for i, (thread, name, argv, ret) in enumerate(run['calls']):
            if name == 'CreateProcessA' and ret:
                app = '' if argv[0] == '00000000' else argv[0].split('"', 1)[-1].rstrip('"')
                cmd = argv[1].split('"', 1)[-1].rstrip('"') if '"' in argv[1] else ''
                started.append({'application': app, 'command_line': cmd, 'flags': int(argv[5], 16)})
                if first_start is None:
                    first_start = i
            elif name == '_getch':
                key_reads += 1
                last_key = i
            elif name == 'OpenProcess' and int(argv[0], 16) & 1 and ret:
                opened[ret] = int(argv[2], 16)
            elif name == 'TerminateProcess' and ret:
                pid = opened.get(int(argv[0], 16))
                if pid is not None:
                    terminated.append(images.get(pid, 'pid %x' % pid))
        examined = any(name == 'OpenProcess' for _, name, _, _ in run['calls'])
        titles = [relay_string(argv[0]) for _, name, argv, _ in run['calls'] if name == 'SetConsoleTitleA']
        asked = [ret for _, name, _, ret in run['calls'] if name == 'GetConsoleTitleA']
        if not run['terminal']:
            unseen = 'the run had no console window (the runner gave it no terminal)'
        elif asked and asked[0] != 0:
            unseen = ('the title the console had is not in Wine\'s trace (GetConsoleTitleA gave %d characters)'
                      % asked[0])
        else:
            unseen = ''
        facts = dict(exit=run['exit'], console=run['console'].hex(), log=run['log'].hex(), started=started,
                     key_reads=key_reads, terminated=terminated, examined_processes=examined,
                     key_read_before_start=last_key is not None and first_start is not None and last_key < first_start,
                     key_order='in the trace of the tool\'s calls the last _getch is call %s, the first program '
                               'start call %s' % (last_key, first_start),
                     titles_seen=not unseen, titles_unseen=unseen, titles=titles, title_before='')
        return facts

    def end_state(self):
        """The machine as it stands: every path on C:, the bytes of every file written since the
        prefix was made (the scenario's, the tool's), the registry keys the scenario names, and
        PendingFileRenameOperations."""
        drive = os.path.join(self.prefix, 'drive_c')
        made = os.path.getmtime(os.path.join(self.prefix, '.ready'))
        paths, files = [], {}
        for top, dirs, names in os.walk(drive):
            for name in dirs + names:
                unix = os.path.join(top, name)
                path = 'C:\\' + os.path.relpath(unix, drive).replace('/', '\\')
                paths.append(path)
                if name in names and os.path.isfile(unix) and os.path.getmtime(unix) >= made:
                    with open(unix, 'rb') as f:
                        files[path] = f.read().hex()
        reg = {'system.reg': read_registry(os.path.join(self.prefix, 'system.reg')),
               'user.reg': read_registry(os.path.join(self.prefix, 'user.reg'))}
        registry = {}
        for key in sorted(registry_keys(self.s)):
            path, sub = reg_file_and_key(self.prefix, key)
            values = reg[os.path.basename(path)].get(sub.upper())
            if values is not None:
                registry[key] = sorted(values)
        _, sub = reg_file_and_key(self.prefix, SESSION_MANAGER)
        raw = reg['system.reg'].get(sub.upper(), {}).get('PENDINGFILERENAMEOPERATIONS')
        strings = multi_sz(raw) if raw else []
        pending = []
        for i in range(0, len(strings), 2):  # pairs of source and target; an empty source ends
            if strings[i] == '':
                break
            src = strings[i][4:] if strings[i].startswith('\\??\\') else strings[i]
            dst = strings[i + 1] if i + 1 < len(strings) else ''
            dst = dst[1:] if dst.startswith('!') else dst
            dst = dst[4:] if dst.startswith('\\??\\') else dst
            pending.append({'from': src, 'to': dst or None})
        return dict(paths=paths, files=files, registry=registry, pending=pending)

    def wait_for_drives(self, where):
        self.wine.wait_for_drives(self.opts, where)

    def keep_shell(self, where):
        """A Windows machine runs its shell all session long. Wine's (explorer.exe /desktop) is
        started by the first program that uses the desktop and ends a second after the last such
        program ends: between two console programs it may be gone. A program of the runner's stays
        on the desktop until the run's end (its own lines are masked like every image the scenario
        does not name), and the tool runs only once the shell is in the process list."""
        if not self.runs_shell() or self.keeper is not None:
            return
        if self.limits.get('process_paths'):
            # The tool cannot see another process here, the shell neither: its lines and the
            # ended processes are not compared, and under qemu-user Wine's shell often dies at
            # its start.
            return
        self.keeper = self.wine.popen([HELPER_PATH, '--desktop'], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        line = read_line(self.keeper.stdout, 60)
        if line != 'ready':
            raise WineFault(where, 'a program of the runner\'s found no desktop window (%s)' % (line or 'no answer'))
        deadline = time.time() + 30
        while time.time() < deadline:
            # Where this Wine cannot read another process's modules, the list names it without a path.
            if any(image.upper().split('\\')[-1] == 'EXPLORER.EXE' for _, image in self.list_processes()):
                return
            time.sleep(0.5)
        raise WineFault(where, 'Wine\'s shell explorer.exe did not start within 30 s')

    def one_run(self, args, keys, where, terminal=False):
        if self.helper is None:
            self.wait_for_drives(where)
        self.keep_shell(where)
        run = self.run_tool(args or [], keys, where, terminal or bool(keys))
        self.wine.stop()  # every program ends and the registry is saved: the end state
        self.helper = self.keeper = None
        stage = self.facts(run)
        stage["machine"] = self.end_state()
        return stage

    def run(self):
        s = self.s
        self.build()
        # A run whose console titles are expected runs in a console window: on a terminal.
        stages = {'expect': self.one_run(s.get('args'), s.get('keys'), 'expect',
                                         bool((s.get('expect') or {}).get('titles')))}
        if s.get('restart'):
            self.restart()
            stages['after_restart'] = {"machine": self.end_state()}
        if s.get('second_run'):
            second = s['second_run'] or {}
            stages['second_run.expect'] = self.one_run(second.get('args'), second.get('keys'), 'second_run',
                                                       bool((second.get('expect') or {}).get('titles')))
        return stages

    def restart(self):
        """The restart (Wine.restart). Under qemu-user on loaded cores it may take minutes."""
        if not self.wine.restart(self.opts):
            fail('the restart: wineboot -r did not end within 300 s (the Wine server still answers)')

    def cleanup(self):
        if getattr(self, 'wine', None):
            self.wine.server('-k')
            if self.opts.keep:
                print('prefix kept: ' + self.prefix)
            else:
                shutil.rmtree(self.prefix, ignore_errors=True)


RELAY_RE = re.compile(r'^([0-9a-f]{4}):(Call|Ret ) (?:KERNEL32|KERNELBASE|msvcrt)\.(\w+)\((.*)\) '
                      r'(?:retval=([0-9a-f]+) )?ret=[0-9a-f]+$')


def split_args(text):
    """The arguments of a relay line: hex words, a string argument as 'hex "text"'."""
    out, cur, quoted = [], '', False
    for c in text:
        if c == '"':
            quoted = not quoted
        if c == ',' and not quoted:
            out.append(cur)
            cur = ''
        else:
            cur += c
    out.append(cur)
    return out


def relay_trace(trace):
    """The tool's own thread in Wine's relay trace: [(thread, function, arguments, return value)]
    of its calls in call order, and the functions it called that had not returned when the trace
    ended. The tool's thread is the one that asks for the Windows directory first (its log path)."""
    pending, calls, tool = {}, [], None
    for line in trace.splitlines():
        m = RELAY_RE.match(line)
        if not m:
            continue
        thread, kind, name, args, ret = m.groups()
        if tool is None and kind == 'Call' and name == 'GetWindowsDirectoryA':
            tool = thread
        if thread != tool:
            continue
        if kind == 'Call':
            pending[name] = split_args(args)
        elif name in pending:
            calls.append((thread, name, pending.pop(name), int(ret or '0', 16)))
    return calls, list(pending)


def judge_hang(wine, unreturned, where, seconds):
    """A run of the tool that did not end within seconds is the tool's fault (the caller reports
    it) unless Wine itself shows otherwise: WineFault where its relay trace shows the tool inside
    a call that Windows answers at once (unreturned: relay_trace's), or where the server no
    longer starts a program that sees C:."""
    stuck = [name for name in unreturned if name in ANSWERED_AT_ONCE]
    if stuck:
        raise WineFault(where, 'the tool did not end within %d s: Wine never returned from its %s call (its '
                        'relay trace)' % (seconds, stuck[0]))
    if not wine.answers():
        raise WineFault(where, 'the tool did not end within %d s and the Wine server no longer starts a program '
                        'that sees C:' % seconds)


def check_drive_answer(calls, where):
    """Under qemu-user a Wine process now and then starts with an empty drive list: WineFault
    when Wine answered the tool's GetLogicalDriveStringsA (calls: relay_trace's) with nothing."""
    if any(c[1] == 'GetLogicalDriveStringsA' and c[3] == 0 for c in calls):
        raise WineFault(where, 'Wine answered GetLogicalDriveStringsA with 0 (no drive at all)')


def read_host(path):
    """The bytes of a file of the host, or None when there is none."""
    try:
        with open(path, 'rb') as f:
            return f.read()
    except FileNotFoundError:
        return None


def text_matches(checker, expected, actual):
    """expected (bytes, <TIME> for a local time) equals actual byte for byte, by the host
    runner's rule for file_texts (scenario_runner --match-text); False for no file at all."""
    if actual is None:
        return False
    with tempfile.TemporaryDirectory() as d:
        for name, data in (('expected', expected), ('actual', actual)):
            with open(os.path.join(d, name), 'wb') as f:
                f.write(data)
        r = subprocess.run([checker, '--match-text', os.path.join(d, 'expected'), os.path.join(d, 'actual')],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode == 2:
        raise BadScenario('the checker: ' + r.stderr.decode('latin-1'))
    return r.returncode == 0


def relay_string(arg):
    """The text of a string argument in Wine's relay trace ('hex "text"', escaped as Wine's
    debug strings are: backslash, quote, \\n, \\r, \\t and \\xNN)."""
    if '"' not in arg:
        return ''
    text = arg.split('"', 1)[1]
    text = text[:-1] if text.endswith('"') else text
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            if n == 'x' and i + 3 < len(text) + 0:
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append({'n': '\n', 'r': '\r', 't': '\t'}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return ''.join(out)


def registry_keys(node):
    """Every registry key the scenario names anywhere (machine, expectations)."""
    keys = set()
    if isinstance(node, dict):
        if isinstance(node.get('key'), str) and node['key'].upper().startswith(('HKEY_', 'HKLM\\', 'HKCU\\')):
            keys.add(node['key'])
        for v in node.values():
            keys |= registry_keys(v)
    elif isinstance(node, list):
        for v in node:
            keys |= registry_keys(v)
    return keys

def note(opts, line):
    """A SKIPPED or RETRY line: printed, and kept for the suite's summary (opts.notes, a file
    named after opts.name)."""
    print(line)
    if opts.notes:
        os.makedirs(opts.notes, exist_ok=True)
        with open(os.path.join(opts.notes, opts.name + '.txt'), 'a') as f:
            f.write(line + '\n')


def forget_notes(opts):
    if opts.notes:
        try:
            os.remove(os.path.join(opts.notes, opts.name + '.txt'))
        except OSError:
            pass


def with_wine_retries(opts, attempt):
    """attempt() on a new machine of its own until it ends without a WineFault: a run is tried
    again only when a probe of Wine itself (never the product's output) showed that Wine failed,
    at most twice for each run, each time with a RETRY line."""
    retries = {}
    while True:
        try:
            return attempt()
        except WineFault as e:
            where, why = e.args
            retries[where] = retries.get(where, 0) + 1
            if retries[where] > 2:
                raise BadScenario('Wine failed three times in %s: %s' % (where, why))
            note(opts, 'RETRY %s: %s: %s; again on a new machine' % (opts.name, where, why))


def main():
    ap = argparse.ArgumentParser(description='Runs one scenario with VorlaxClean.exe under Wine.')
    ap.add_argument('file')
    ap.add_argument('--win32-dir', default=os.path.join(ROOT, 'build', 'win32'))
    ap.add_argument('--samplegen', default=os.path.join(ROOT, 'build', 'host', 'samplegen'))
    ap.add_argument('--checker', default=os.path.join(ROOT, 'build', 'host', 'tests', 'runner', 'scenario_runner'))
    ap.add_argument('--cache', default=os.path.join(ROOT, 'build', 'host', 'wine-prefixes'))
    ap.add_argument('--notes', help='folder where the SKIPPED and RETRY lines are kept, one file a scenario')
    ap.add_argument('--keep', action='store_true')
    ap.add_argument('--verbose', action='store_true')
    ap.add_argument('--template-only', action='store_true',
                    help='make (or find) the template prefix of FILE (nt or 98) and print its path')
    opts = ap.parse_args()
    opts.cache = os.path.abspath(opts.cache)
    if opts.template_only:
        print(make_template(opts.file, opts.cache, opts.win32_dir))
        return 0
    started = time.time()
    opts.name = os.path.splitext(os.path.basename(opts.file))[0]
    forget_notes(opts)
    try:
        with open(opts.file) as f:
            scenario = yaml.safe_load(f)
        check_keys(scenario, SCENARIO_KEYS, 'the scenario')
        if scenario.get('host_only'):
            print('SKIP %s: host_only: %s' % (opts.file, scenario['host_only']))
            return 0
        # A run of the tool is tried again only when a probe of Wine itself (not the tool's
        # output) shows that Wine failed: a new process sees no drive C:, Wine answered the
        # tool's drive query with nothing, or the server no longer starts a program. The
        # scenario starts again from a new prefix, as the run needs its machine.
        def attempt():
            runner = Runner(scenario, opts, opts.file)
            del failures[:]
            try:
                return runner.run(), runner.limits
            finally:
                runner.cleanup()
        stages, limits = with_wine_retries(opts, attempt)
        with tempfile.NamedTemporaryFile('w', suffix='.json', delete=False) as f:
            json.dump({'limits': limits, 'stages': stages}, f)
            record = f.name
        try:
            r = subprocess.run([opts.checker, '--check-record', record, opts.file], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        finally:
            os.remove(record)
    except (BadScenario, yaml.YAMLError, OSError, subprocess.SubprocessError) as e:
        print('scenario error: %s' % e, file=sys.stderr)
        return 2
    out = r.stdout.decode('latin-1')
    for line in out.splitlines():
        if line.startswith('SKIPPED '):
            note(opts, line)
        else:
            print(line)
    sys.stderr.write(r.stderr.decode('latin-1'))
    for f in failures:
        print('\n' + f, file=sys.stderr)
    code = r.returncode if r.returncode != 0 or not failures else 1
    if code == 0:
        print('(%.0f s under Wine)' % (time.time() - started))
    return code


if __name__ == '__main__':
    sys.exit(main())
