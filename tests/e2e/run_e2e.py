#!/usr/bin/env python3
"""End-to-end tests of updater.exe under Wine.

Every scenario lays out a registry key, a temporary folder and an install
folder in a Wine prefix, runs the real updater, reads and answers each message
box through msgbox_driver.exe, and checks the exact texts, buttons and icons,
the order of the boxes, the updater's exit and the files on disk. A PNG of
every box is kept under <work_dir>/screenshots.

    run_e2e.py list                              scenario names, one a line
    run_e2e.py --config FILE setup               new prefix, Xvfb, wineserver
    run_e2e.py --config FILE scenario NAME...    run scenarios
    run_e2e.py --config FILE cleanup             stop Xvfb and wineserver, remove
                                                 the prefix (kept when
                                                 UPDATER_E2E_KEEP_PREFIX is set)
    run_e2e.py --config FILE all                 setup, every scenario, cleanup
    run_e2e.py --config FILE hygiene             checks of the shipped updater.exe
    run_e2e.py --config FILE selftest            the suite's handling of its X server

The config file is written by CMake (tests/e2e/CMakeLists.txt). Standard
library only.
"""

import argparse
import copy
import json
import os
import platform
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

# --- Bounds (seconds unless named _MS) ---------------------------------------

FIRST_BOX_MS = 20000      # the first box of a run; Wine may still start its desktop
NEXT_BOX_MS = 10000       # any later box
SILENT_WINDOW_MS = 2000   # how long a silent run is watched for a box
EXIT_AFTER_LAST_BOX = 8   # the updater must be gone this soon after its last box
SILENT_EXIT = 10          # a silent run must end within this
SECOND_INSTANCE_EXIT = 8  # a second updater must give up within this
WINE_COMMAND = 30         # reg, regedit and other short Wine commands

# What Wine prints when a new process finds its fixed addresses taken; it then
# ends with 1 before the program runs. Such a start is tried again.
WINE_START_FAULT = 'failed to map the shared user data'

IDOK, IDYES, IDNO = 1, 6, 7

# What differs between the two products one build can be made for.
PRODUCTS = {
    'OrvakBK': {'key': r'Software\Zorbe IT Service\Sylkum', 'folder_value': 'MDE',
                'lock': 'Sylkum.ldb', 'build_folder': r'C:\Sylkum\Foerbuild'},
    'OrvakLR': {'key': r'Software\Zorbe IT Service\Drovanel', 'folder_value': 'Path',
                'lock': 'Drovanel.ldb', 'build_folder': r'C:\Drovanel\Foerbuild'},
}
VENDOR_KEY = r'HKCU\Software\Zorbe IT Service'

# The user locales a scenario can run in. Wine takes its user locale from
# LANG, but only when glibc has that locale; the Danish one is compiled into
# the suite's own folder at setup (LOCPATH), so no machine setting counts.
# Wine writes the user locale to the prefix's registry at every process
# start, so every process of a scenario, helpers included, runs in the
# scenario's locale.
LOCALES = {
    'en': {'lang': 'C.UTF-8', 'name': 'en-US', 'decimal': '.',
           'labels': {IDOK: 'OK', IDYES: '&Yes', IDNO: '&No'}},
    'da': {'lang': 'da_DK.UTF-8', 'name': 'da-DK', 'decimal': ',',
           'labels': {IDOK: 'OK', IDYES: '&Ja', IDNO: '&Nej'}},
    # A PC set to "Use Unicode UTF-8 for worldwide language support": Wine
    # takes its ANSI code page from LC_CTYPE, and a locale Windows knows
    # only in Unicode gives 65001, while the user locale stays en-US.
    'utf8': {'lang': 'en_US.UTF-8', 'ctype': 'hi_IN.UTF-8', 'name': 'en-US', 'decimal': '.',
             'acp': 65001, 'labels': {IDOK: 'OK', IDYES: '&Yes', IDNO: '&No'}},
}


class Failure(Exception):
    """A check that did not hold; the message says what was seen."""


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f'{what}:\n  expected {expected!r}\n  actual   {actual!r}')


def check(condition, message):
    if not condition:
        raise Failure(message)


# --- Configuration and shared state ------------------------------------------

class Config:
    def __init__(self, path):
        with open(path, encoding='utf-8') as f:
            values = json.load(f)
        self.work_dir = Path(values['work_dir'])
        self.updater = Path(values['updater'])
        self.updater_shortwait = Path(values['updater_shortwait'])
        self.updater_signed = Path(values['updater_signed'])
        self.updater_codesigned = Path(values['updater_codesigned'])
        self.keys = Path(values['keys'])
        self.updater_tool = Path(values['tool'])
        self.msgbox_driver = Path(values['msgbox_driver'])
        self.hold_file = Path(values['hold_file'])
        self.copy_errors = Path(values['copy_errors'])
        self.product_id = values['product_id']
        self.display_name = values['display_name']
        self.tools = {name: values[name]
                      for name in ('wine', 'wineserver', 'xvfb', 'xwd', 'convert', 'objdump',
                                   'localedef')}
        self.prefix = self.work_dir / 'prefix'
        self.screenshots = self.work_dir / 'screenshots'
        self.logs = self.work_dir / 'logs'
        self.locales = self.work_dir / 'locales'
        self.state_file = self.work_dir / 'state.json'

    def tool(self, name):
        path = self.tools[name]
        if not path:
            raise Failure(f'{name} was not found when the build was configured; '
                          'install it (see scripts/test) and configure again')
        return path


def windows_path(unix_path):
    """The Windows name of a file outside the prefix (Wine's Z: drive)."""
    return 'Z:' + str(Path(unix_path).resolve()).replace('/', '\\')


class Wine:
    """Runs programs in the suite's prefix on the suite's X display."""

    def __init__(self, config, display, log_dir, locale='en'):
        self.config = config
        self.log_dir = Path(log_dir)
        self.log_dir.mkdir(parents=True, exist_ok=True)
        self.count = 0
        self.env = dict(os.environ)
        self.env.update({
            'WINEPREFIX': str(config.prefix),
            # Wine's own errors only, into the log files.
            'WINEDEBUG': 'fixme-all',
            # No Mono or Gecko installer, no menu entries in the real home.
            'WINEDLLOVERRIDES': 'mscoree,mshtml=;winemenubuilder.exe=d',
            'WINESERVER': config.tool('wineserver'),
            'DISPLAY': display,
            'HOME': str(config.work_dir / 'home'),
            # Unix file names and arguments are UTF-8 in either locale.
            'LANG': LOCALES[locale]['lang'],
            'LC_ALL': LOCALES[locale]['lang'],
        })
        if 'ctype' in LOCALES[locale]:
            del self.env['LC_ALL']
            self.env['LC_CTYPE'] = LOCALES[locale]['ctype']
        # Only the suite's own compiled locales; C.UTF-8 is built into glibc.
        self.env['LOCPATH'] = str(config.locales)
        self.env.pop('WINEARCH', None)
        # A Wine process needs some fixed addresses that a randomly placed
        # mapping can take now and then; without address randomization the
        # layout is the same every time. Programs it starts inherit this.
        setarch = shutil.which('setarch')
        self.launcher = [setarch, platform.machine(), '-R'] if setarch else []

    def drive_c(self):
        return self.config.prefix / 'drive_c'

    def unix_path(self, path):
        """The Unix name of a C: path in the prefix."""
        check(path[:3].upper() == 'C:\\', f'not a C: path: {path}')
        return self.drive_c().joinpath(*[p for p in path[3:].split('\\') if p])

    def start(self, args, label, env=None):
        """Starts a Wine program (with `env` added to the environment); its
        output goes to files, never to a pipe, so that a Wine process started
        along the way (the desktop, services) cannot hold the runner up by
        keeping the pipe open."""
        self.count += 1
        stem = self.log_dir / f'{self.count:03d}-{label}'
        out = open(f'{stem}.out', 'wb')
        err = open(f'{stem}.err', 'wb')
        try:
            process = subprocess.Popen(self.launcher + [self.config.tool('wine')] +
                                       [str(a) for a in args],
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       env=dict(self.env, **(env or {})))
        finally:
            out.close()
            err.close()
        return WineProcess(process, stem, label, self.log_dir / 'commands.log')

    def run(self, args, label, timeout=WINE_COMMAND):
        for _ in range(3):
            process = self.start(args, label)
            process.wait(timeout)
            if not process.failed_to_start():
                break
        return process

    def server(self, *args):
        return subprocess.run([self.config.tool('wineserver')] + list(args), env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=WINE_COMMAND, check=False)


class WineProcess:
    """A started Wine program; when it ends, its exit code and run time are
    added to the scenario's commands.log."""

    def __init__(self, process, stem, label, journal):
        self.process = process
        self.stem = stem
        self.label = label
        self.journal = journal
        self.started = time.monotonic()
        self.logged = False

    def _log_end(self):
        if self.process.returncode is not None and not self.logged:
            self.logged = True
            with open(self.journal, 'a', encoding='utf-8') as log:
                log.write(f'{self.stem.name}: exit {self.process.returncode} after '
                          f'{time.monotonic() - self.started:.2f} s\n')

    def wait(self, timeout):
        """Waits for the end within `timeout`; kills the process and fails
        when it is still running then."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise Failure(f'{self.label} was still running after {timeout} s; '
                          f'output: {self.stderr()!r}') from None
        self._log_end()
        return self.process.returncode

    def poll(self):
        code = self.process.poll()
        self._log_end()
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._log_end()

    @property
    def returncode(self):
        return self.process.returncode

    def failed_to_start(self):
        """True when Wine gave up before the program ran (see
        WINE_START_FAULT)."""
        return self.process.returncode == 1 and WINE_START_FAULT in self.stderr()

    def stdout(self):
        return Path(f'{self.stem}.out').read_text(encoding='utf-8', errors='replace')

    def stderr(self):
        return Path(f'{self.stem}.err').read_text(encoding='utf-8', errors='replace')


# --- Setting up and stopping the Wine session --------------------------------

def read_state(config):
    try:
        with open(config.state_file, encoding='utf-8') as f:
            return json.load(f)
    except FileNotFoundError:
        raise Failure('the Wine session is not set up: run the e2e.setup test '
                      '(ctest does it for every scenario) or "run_e2e.py setup"') from None


def process_is(pid, name):
    try:
        return name in Path(f'/proc/{pid}/cmdline').read_bytes().decode(errors='replace')
    except OSError:
        return False


def stop_session(config):
    """Stops the wineserver of the prefix (and with it every Wine process
    there) and the Xvfb the suite started, also those of a run that was
    broken off."""
    state = {}
    if config.state_file.exists():
        state = read_state(config)
    if config.prefix.exists():
        wine = Wine(config, state.get('display', ''), config.logs / 'session')
        wine.server('-k')
        wine.server('-w')
    pid = state.get('xvfb_pid')
    if pid and process_is(pid, 'Xvfb'):
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            if not process_is(pid, 'Xvfb'):
                break
            time.sleep(0.1)
    if config.state_file.exists():
        config.state_file.unlink()


def cleanup(config):
    """Stops the session and removes the prefix (some 700 MB) unless
    UPDATER_E2E_KEEP_PREFIX is set, for a look at what a scenario left."""
    stop_session(config)
    if not os.environ.get('UPDATER_E2E_KEEP_PREFIX'):
        shutil.rmtree(config.prefix, ignore_errors=True)


def start_xvfb(config):
    """Starts Xvfb on a free display; returns (display, pid).

    Xvfb writes its display number to the -displayfd pipe at its start, and
    has been seen to die at a server reset writing it again to a pipe with
    no reader left ("Cannot write display number"). So it never resets
    (-noreset: a reset would come whenever its last client leaves, between
    two Wine programs) and it holds the read end of the pipe itself, open as
    long as it runs, where this process closes its own copy once it has the
    number."""
    config.logs.mkdir(parents=True, exist_ok=True)
    read_end, write_end = os.pipe()
    with open(config.logs / 'xvfb.log', 'wb') as log:
        process = subprocess.Popen(
            [config.tool('xvfb'), '-displayfd', str(write_end), '-noreset', '-nolisten', 'tcp',
             '-screen', '0', '1280x1024x24'],
            pass_fds=(write_end, read_end), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            start_new_session=True)
    os.close(write_end)
    number = b''
    deadline = time.monotonic() + 20
    while not number.endswith(b'\n') and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], 0.5)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        process.kill()
        raise Failure('Xvfb did not start; see ' + str(config.logs / 'xvfb.log'))
    return ':' + number.strip().decode(), process.pid


def x_server_answers(config, display):
    """One X client connects, reads the screen and disconnects: True when
    it could."""
    done = subprocess.run([config.tool('xwd'), '-root', '-display', display, '-silent'],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30, check=False)
    return done.returncode == 0


def check_x_server_stays(config, display, pid):
    """The X server outlives its last client: after one client has come and
    gone (the moment a server resets), it still runs and answers another."""
    check(x_server_answers(config, display), f'the X server on {display} does not answer; '
          f'see {config.logs / "xvfb.log"}')
    for _ in range(3):
        time.sleep(0.2)
        check(process_is(pid, 'Xvfb') and x_server_answers(config, display),
              f'the X server stopped when its only client left: see {config.logs / "xvfb.log"}')


def x_server_gone(config, state):
    """True when the suite's Xvfb no longer runs."""
    return not process_is(state.get('xvfb_pid', 0), 'Xvfb')


def compile_locales(config):
    """Compiles the locales the scenarios run in (Danish, and the one whose
    character set gives Wine the code page UTF-8) into the suite's folder;
    package locales has their sources. localedef ends with 1 for mere
    warnings, so success is told by the locale it wrote."""
    for name in (LOCALES['da']['lang'], LOCALES['utf8']['ctype']):
        target = config.locales / name
        done = subprocess.run([config.tool('localedef'), '-i', name.split('.')[0], '-f', 'UTF-8',
                               str(target)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=120, check=False)
        check((target / 'LC_CTYPE').is_file(),
              f'localedef could not compile {name} (is the package locales installed?): '
              f'{done.stdout.strip()}')


def check_locale(config, display, locale):
    """Wine really runs in `locale`: its name, decimal separator and code
    page, as a Windows program reads them."""
    wine = Wine(config, display, config.logs / 'session', locale)
    done = wine.run([config.msgbox_driver, 'locale'], f'locale-{locale}')
    check(done.returncode == 0, f'msgbox_driver locale failed: {done.stderr()}')
    seen = json.loads(done.stdout())
    expected = LOCALES[locale]
    check_equal((seen['name'], seen['decimal'], seen['acp']),
                (expected['name'], expected['decimal'], expected.get('acp', 1252)),
                f'Wine\'s user locale for {locale}')


def setup(config):
    stop_session(config)
    for folder in (config.prefix, config.screenshots, config.logs, config.work_dir / 'home',
                   config.locales):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
    compile_locales(config)
    display, xvfb_pid = start_xvfb(config)
    with open(config.state_file, 'w', encoding='utf-8') as f:
        json.dump({'display': display, 'xvfb_pid': xvfb_pid}, f)
    check_x_server_stays(config, display, xvfb_pid)

    wine = Wine(config, display, config.logs / 'session')
    # A persistent server keeps the prefix's services running between the
    # many short Wine processes of the scenarios.
    wine.server('-p')
    boot = wine.run(['wineboot', '-i'], 'wineboot', timeout=150)
    check(boot.returncode == 0, f'wineboot failed: {boot.stderr()}')
    check((config.prefix / 'drive_c' / 'windows' / 'system32').is_dir(),
          'wineboot made no Windows folder')
    # Without a window manager on the display, Wine waits 2 s for one to
    # acknowledge every window that is hidden; windows it manages itself
    # close at once.
    managed = wine.run(['reg', 'add', r'HKCU\Software\Wine\X11 Driver', '/v', 'Managed',
                        '/d', 'N', '/f'], 'x11-unmanaged')
    check(managed.returncode == 0, f'reg add failed: {managed.stderr()}')
    # The administrative share of drive C, as Windows has it, so that a folder
    # can be named by \\localhost\C$\... too.
    unc = config.prefix / 'dosdevices' / 'unc' / 'localhost'
    unc.mkdir(parents=True, exist_ok=True)
    (unc / 'c$').symlink_to('../../../drive_c')
    # Start the desktop now, not inside the first scenario.
    probe = wine.run([config.msgbox_driver, 'absent', 'no such box', '0'], 'desktop')
    check(probe.returncode == 0, f'msgbox_driver does not run: {probe.stderr()}')
    for locale in LOCALES:
        check_locale(config, display, locale)
    check(not x_server_gone(config, read_state(config)),
          f'the X server stopped during setup: see {config.logs / "xvfb.log"}')
    print(f'Wine prefix {config.prefix} ready on display {display}')


# --- Scenarios ---------------------------------------------------------------

class Texts:
    """The exact texts of the boxes for this build."""

    def __init__(self, config):
        name = config.display_name
        self.title = 'Zorbe IT - ' + config.product_id
        self.prompt = f'Der er en ny version af {name}\r\n\r\nØnsker du at opdatere nu ?'
        self.close_notice = (f'Venligst afslut {name}\r\n\r\nHusk at tage backup !\r\n\r\n'
                             f'Tryk på Ok når {name} er lukket.')
        self.not_closed = (f'Programmet {name} er ikke lukket rigtigt og kan derfor ikke '
                           'opdateres.')
        self.updated = 'Følgende filer er opdateret:\r\n'
        self.failed = 'Følgende filer kunne ikke opdateres:\r\n'

    def summary(self, updated, failed=()):
        """The summary for the destinations updated and (path, reason) failed."""
        text = self.updated + ''.join(path + '\r\n' for path in updated)
        if failed:
            text += '\r\n' + self.failed + ''.join(f'{path} ({reason})\r\n'
                                                   for path, reason in failed)
        return text


def snapshot(folder):
    """Every file under `folder`: relative path -> content."""
    folder = Path(folder)
    if not folder.exists():
        return {}
    return {str(p.relative_to(folder)): p.read_bytes()
            for p in sorted(folder.rglob('*')) if p.is_file()}


class Scene:
    """One scenario's world: registry, folders, the updater and its boxes."""

    def __init__(self, config, wine, name, locale='en'):
        self.config = config
        self.wine = wine
        self.name = name
        self.locale = locale
        self.texts = Texts(config)
        self.product = PRODUCTS[config.product_id]
        self.root = 'C:\\e2e\\' + name
        self.temp = self.root + '\\Temp'
        self.install = self.root + '\\Sylkum\\'
        self.roots = [self.root]
        self.processes = []
        self.step = 0
        self.predicted = None
        self.quick = False  # no screenshots of the boxes

    # Layout

    def path(self, windows_path):
        return self.wine.unix_path(windows_path)

    def reset(self):
        """Removes what scenarios leave: the vendor key and their folders."""
        self.wine.run(['reg', 'delete', VENDOR_KEY, '/f'], 'reg-delete')
        for root in self.roots:
            shutil.rmtree(self.path(root), ignore_errors=True)

    def registry(self, version='5.2', folder=None, version_type='REG_SZ'):
        """The product as installed, through reg.exe."""
        self.reg_value('Version', version_type, version)
        self.reg_value(self.product['folder_value'], 'REG_SZ',
                       self.install if folder is None else folder)

    def reg_value(self, name, kind, data):
        key = 'HKCU\\' + self.product['key']
        done = self.wine.run(['reg', 'add', key, '/v', name, '/t', kind, '/d', str(data), '/f'],
                             'reg-add')
        check(done.returncode == 0, f'reg add {name} failed: {done.stderr()}')

    def import_registry(self, values):
        """The product as installed, through a .reg file that regedit imports;
        `values` maps names to text or (for REG_DWORD) int."""
        lines = ['Windows Registry Editor Version 5.00', '',
                 f'[HKEY_CURRENT_USER\\{self.product["key"]}]']
        for name, value in values.items():
            if isinstance(value, int):
                lines.append(f'"{name}"=dword:{value:08x}')
            else:
                escaped = value.replace('\\', '\\\\').replace('"', '\\"')
                lines.append(f'"{name}"="{escaped}"')
        reg_file = self.root + '\\install.reg'
        self.write(reg_file, ('\ufeff' + '\r\n'.join(lines) + '\r\n').encode('utf-16-le'))
        done = self.wine.run(['regedit', '/S', reg_file], 'regedit')
        check(done.returncode == 0, f'regedit failed: {done.stderr()}')
        query = self.wine.run(['reg', 'query', 'HKCU\\' + self.product['key']], 'reg-query')
        for name in values:
            check(name in query.stdout(), f'regedit did not import {name}: {query.stdout()}')

    def write(self, windows_path, content):
        target = self.path(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)

    def manifest(self, version, entries, after_end=()):
        """The manifest in the temporary folder, in Windows-1252 with CRLF."""
        lines = [version] + [f'{s},{d}' for s, d in entries] + ['slut'] + list(after_end)
        self.write(self.temp + '\\' + self.config.product_id + '.ini',
                   ('\r\n'.join(lines) + '\r\n').encode('cp1252'))

    def payload(self, files):
        for name, content in files.items():
            self.write(self.temp + '\\' + name, content)

    def installed(self, files):
        self.path(self.install).mkdir(parents=True, exist_ok=True)
        for name, content in files.items():
            self.write(self.install + name, content)

    def install_files(self):
        return snapshot(self.path(self.install))

    def temp_files(self):
        return snapshot(self.path(self.temp))

    def check_install(self, expected):
        """The install folder holds exactly `expected` (relative path ->
        content); names compare without regard to case, as Windows does, but
        no name may be there twice."""
        actual = self.install_files()
        folded = {k.lower(): v for k, v in actual.items()}
        check(len(folded) == len(actual), f'names twice in another case: {sorted(actual)}')
        check_equal(folded, {k.lower(): v for k, v in expected.items()},
                    'install folder content')

    # The updater

    def start(self, program=None, env=None, terminate_when=None):
        """Starts the updater with TEMP and TMP set as a Windows parent does.
        A start of the shipped updater in the scene's own environment is
        first explained by updater-tool, which must then agree with what the
        updater does (see prompt, expect_silent and summary). With
        `terminate_when`, the updater is ended by TerminateProcess as soon as
        that (Windows) file exists."""
        self.predicted = self.explain() if program is None and env is None else None
        program = program or self.config.updater
        kill = ['--terminate-when', terminate_when] if terminate_when else []
        process = self.wine.start(
            [self.config.msgbox_driver, 'run'] + kill +
            [f'TEMP={self.temp}', f'TMP={self.temp}', '--', windows_path(program)], 'updater', env)
        process.predicted = self.predicted
        self.processes.append(process)
        return process

    def tool(self, args):
        """Runs updater-tool.exe with TEMP and TMP set as for the updater;
        returns its exit code and the lines it printed."""
        done = self.wine.run([self.config.msgbox_driver, 'run', f'TEMP={self.temp}',
                              f'TMP={self.temp}', '--', windows_path(self.config.updater_tool)] +
                             list(args), 'tool')
        raw = Path(f'{done.stem}.out').read_bytes()
        check(raw.count(b'\n') == raw.count(b'\r\n'), f'lines of the tool not ended by CR LF: {raw!r}')
        check('\ufffd' not in done.stdout(), f'the tool printed no UTF-8: {done.stdout()!r}')
        # Read with universal newlines: the tool's CR LF arrive as LF.
        return done.returncode, done.stdout().split('\n')

    def explain(self):
        """What updater-tool explain says the updater would do now: whether
        it offers the update, and the destinations the summary would list
        (every entry not passed over)."""
        code, lines = self.tool(['explain'])
        listed = set()
        for line in lines:
            entry = re.match(r'  line \d+: ".*?" -> (?:"(.*)"|\(none\)): (.*)$', line)
            if entry and not entry.group(2).startswith('passed over'):
                listed.add(self.install + (entry.group(1) or ''))
        # 4: offered, though it would not install cleanly now.
        return {'offered': code in (0, 4), 'listed': listed, 'text': '\n'.join(lines)}

    def check_predicted(self, offered):
        """The updater offered the update (or not) as explain said it would."""
        if self.predicted is not None:
            check_equal(offered, self.predicted['offered'],
                        'offered, as explain said before the run:\n' + self.predicted['text'])

    def hold(self, what):
        """Starts hold_file on `what` (a path, or ['--mutex', NAME]) and
        returns it once it holds that open."""
        holder = self.wine.start([self.config.hold_file] + list(what) + ['120'], 'hold')
        self.processes.append(holder)
        deadline = time.monotonic() + 20
        while 'held' not in holder.stdout():
            check(holder.poll() is None, f'hold_file ended: {holder.stderr()}')
            check(time.monotonic() < deadline, 'hold_file did not open it in time')
            time.sleep(0.05)
        return holder

    def asking(self):
        """Starts the updater and returns it once its prompt shows."""
        process = self.start()
        done, _ = self.driver(['wait', self.texts.title, str(FIRST_BOX_MS)], 'wait', FIRST_BOX_MS)
        check(done.returncode == 0, f'the updater showed no prompt: {done.stderr()}')
        return process

    def driver(self, args, label, timeout_ms):
        done = self.wine.run([self.config.msgbox_driver] + args, label,
                             timeout=timeout_ms / 1000 + WINE_COMMAND)
        return done, done.stdout().strip()

    def screenshot(self, step):
        out = self.config.screenshots / f'{self.name}-{step}.png'
        display = read_state(self.config)['display']
        xwd = subprocess.run([self.config.tool('xwd'), '-root', '-display', display, '-silent'],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30,
                             check=False)
        check(xwd.returncode == 0, f'xwd failed: {xwd.stderr!r}')
        png = subprocess.run([self.config.tool('convert'), 'xwd:-', f'png:{out}'],
                             input=xwd.stdout, stderr=subprocess.PIPE, timeout=30, check=False)
        check(png.returncode == 0, f'convert failed: {png.stderr!r}')

    def box(self, step, text, buttons, icon, press, timeout_ms=NEXT_BOX_MS):
        """Waits for the next box, checks it is the only one and shows exactly
        `text` (or, when `text` is a function, the text that function
        accepts without a Failure), `buttons` and `icon`, keeps a screenshot
        and presses `press` (None: WM_CLOSE, as its close button does)."""
        self.step += 1
        label = f'{self.step}-{step}'
        done, out = self.driver(['wait', self.texts.title, str(timeout_ms)], 'wait', timeout_ms)
        if done.returncode != 0:
            self.failure_screenshot()
            self.check_started()
            raise Failure(f'box "{step}" did not come: {done.stderr().strip()}')
        seen = json.loads(out)
        if not self.quick:
            self.screenshot(label)
        check_equal(seen['count'], 1, f'boxes open at "{step}"')
        if callable(text):
            text(seen['text'])
        else:
            check_equal(seen['text'], text, f'text of box "{step}"')
        check_equal(seen['buttons'], buttons, f'buttons of box "{step}"')
        check_equal(seen['labels'], [LOCALES[self.locale]['labels'][b] for b in buttons],
                    f'button texts of box "{step}"')
        check_equal(seen['icon'], icon, f'icon of box "{step}"')
        if press is None:
            done, _ = self.driver(['close', self.texts.title, str(NEXT_BOX_MS)], 'close',
                                  NEXT_BOX_MS)
        else:
            done, _ = self.driver(['press', self.texts.title, str(press), str(NEXT_BOX_MS)],
                                  'press', NEXT_BOX_MS)
        check_equal(done.returncode, 0, f'answering box "{step}" with {press} ({done.stderr()})')
        return seen

    def prompt(self, answer, timeout_ms=FIRST_BOX_MS):
        self.box('prompt', self.texts.prompt, [IDYES, IDNO], 'none', answer, timeout_ms)
        self.check_predicted(True)

    def close_notice(self):
        self.box('close-notice', self.texts.close_notice, [IDOK], 'information', IDOK)

    def summary(self, updated, failed=(), text=None):
        """The summary box of `updated` and `failed`; `text` replaces the
        exact text check when given (see box). The entries it lists are
        those explain said it would."""
        seen = self.box('summary', text or self.texts.summary(updated, failed), [IDOK],
                        'warning' if failed else 'information', IDOK)
        if self.predicted is not None and text is None:
            check_equal(set(updated) | {path for path, _ in failed}, self.predicted['listed'],
                        'entries listed, as explain said before the run:\n' +
                        self.predicted['text'])
        return seen

    def update(self, updated, failed=()):
        """A whole update: Yes at the prompt, OK at the notice, then the
        summary of `updated` and `failed`, and the updater ends."""
        process = self.start()
        self.prompt(IDYES)
        self.close_notice()
        self.summary(updated, failed)
        self.expect_exit(process)

    def no_box_for(self, ms, when):
        done, out = self.driver(['absent', self.texts.title, str(ms)], 'absent', ms)
        if done.returncode != 0:
            self.failure_screenshot()
            raise Failure(f'a box came {when}: {out or done.stderr()}')

    def expect_exit(self, process, within=EXIT_AFTER_LAST_BOX):
        """The updater ends on its own within `within` seconds, with 0."""
        try:
            process.process.wait(within)
            process.poll()
        except subprocess.TimeoutExpired:
            self.failure_screenshot()
            _, box = self.driver(['wait', self.texts.title, '0'], 'wait', 0)
            process.kill()
            raise Failure(f'the updater was still running {within} s later; '
                          f'box open: {box or "none"}') from None
        self.check_started()
        check_equal(process.returncode, 0, 'exit code of the updater')

    def expect_silent(self, process):
        """No box while the run lasts, and the updater ends by itself with 0.

        A message box holds the updater until someone answers it, and here
        no one does: once the updater has ended on its own, no box can come
        any more, so the watch for one stops then."""
        watch = self.wine.start([self.config.msgbox_driver, 'absent', self.texts.title,
                                 str(SILENT_WINDOW_MS)], 'absent')
        self.processes.append(watch)
        deadline = time.monotonic() + SILENT_EXIT
        while process.poll() is None and watch.poll() is None:
            check(time.monotonic() < deadline, f'the updater did not end in {SILENT_EXIT} s')
            time.sleep(0.02)
        self.check_predicted(False)
        if watch.poll() is None:
            watch.kill()
        elif watch.returncode != 0:
            self.failure_screenshot()
            raise Failure('a box came in a run that should end silently: '
                          f'{watch.stdout().strip() or watch.stderr()}')
        self.expect_exit(process, SILENT_EXIT)

    def check_started(self):
        """Fails with the true cause when Wine could not start an updater."""
        for process in self.processes:
            if process.poll() is not None and process.failed_to_start():
                raise Failure(f'Wine could not start {process.label} (a fault of Wine, not '
                              f'of the program): {process.stderr().strip()}')

    def failure_screenshot(self):
        try:
            self.screenshot('failure')
        except (Failure, OSError, subprocess.SubprocessError):
            pass

    def finish(self):
        for process in self.processes:
            process.kill()


SCENARIOS = {}
SCENARIO_LOCALES = {}


def scenario(function=None, locale='en'):
    """Registers a scenario, run in the user locale `locale` (see LOCALES)."""
    def register(function):
        name = function.__name__.replace('_', '-')
        SCENARIOS[name] = function
        SCENARIO_LOCALES[name] = locale
        return function
    return register(function) if function else register


# The summary box must fit a 1366 x 768 screen at 125 % scaling: in the
# suite's 96 DPI that is a box of at most 1092 x 614 pixels. Its text holds at
# most 24 lines of 90 characters, a line of more than 64 counting as two.
FIT_SIZE = (1366 * 4 // 5, 768 * 4 // 5)
SUMMARY_MAX_LINES, SUMMARY_MAX_COLUMNS, SUMMARY_WRAP_COLUMNS = 24, 90, 64
CONTINUATION = '    '


def unwrapped(text):
    """The text with each entry that was broken over lines joined again."""
    lines = []
    for line in text.split('\r\n'):
        if line.startswith(CONTINUATION) and lines:
            lines[-1] += line[len(CONTINUATION):]
        else:
            lines.append(line)
    return '\r\n'.join(lines)


def check_fits(seen, what):
    """The box `seen` fits the screen and a 1366 x 768 one at 125 %."""
    lines = seen['text'].split('\r\n')
    long_lines = [line for line in lines if len(line) > SUMMARY_MAX_COLUMNS]
    check(not long_lines, f'{what}: lines of more than {SUMMARY_MAX_COLUMNS}: {long_lines}')
    cost = sum(2 if len(line) > SUMMARY_WRAP_COLUMNS else 1 for line in lines if line)
    check(cost <= SUMMARY_MAX_LINES, f'{what}: {cost} lines of text')
    width, height = seen['size']
    check(width <= min(FIT_SIZE[0], seen['screen'][0]) and
          height <= min(FIT_SIZE[1], seen['screen'][1]),
          f'{what}: a box of {width} x {height} does not fit {FIT_SIZE} on {seen["screen"]}')


# Each scenario starts from an empty registry key and gets its own folders
# under C:\e2e\<name>: Temp (the temporary folder) and Sylkum (the install
# folder). The installed version is 5.2 unless said otherwise.

OLD_MDE = b'old mde \x00\x01\x02'
NEW_MDE = b'new mde \xff\xfe\r\n\x1a and more'


@scenario
def no_manifest(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.payload({'sylkum.mde': NEW_MDE})
    temp_before = s.temp_files()
    s.expect_silent(s.start())
    s.check_install({'Sylkum.mde': OLD_MDE})
    check_equal(s.temp_files(), temp_before, 'temporary folder')


def check_version_cases(s, cases):
    """Each (offered, installed, registry type, prompts): the updater asks
    (and is answered No) or ends silently, and touches nothing."""
    for offered, installed, kind, prompts in cases:
        s.reset()
        s.registry(version=installed, version_type=kind)
        s.installed({'Sylkum.mde': OLD_MDE})
        s.manifest(offered, [('sylkum.mde', 'Sylkum.mde')])
        s.payload({'sylkum.mde': NEW_MDE})
        process = s.start()
        try:
            if prompts:
                s.prompt(IDNO)
                s.expect_exit(process)
            else:
                s.expect_silent(process)
        except Failure as failure:
            raise Failure(f'offered {offered} over installed {installed} ({kind}): '
                          f'{failure}') from None
        s.check_install({'Sylkum.mde': OLD_MDE})


@scenario
def version_order(s):
    # Versions compare as text, without regard to case; the installed one
    # is read as a number first (1E20 reads back as 1E+20).
    cases = [
        # offered, installed, registry type, prompts
        ('10', '9', 'REG_SZ', False),
        ('5.2', '5.2', 'REG_SZ', False),
        ('5.1', '5.2', 'REG_SZ', False),
        ('1e+20', '1E20', 'REG_SZ', False),
        ('11', '12', 'REG_DWORD', False),
        ('9', '10', 'REG_SZ', True),
        # A decimal comma in the manifest reads as the locale's point.
        ('"5,3"', '5.2', 'REG_SZ', True),
        ('"5,1"', '5.2', 'REG_SZ', False),
        ('10.0', '9.5', 'REG_SZ', False),
        # The same version installed, however its number is written.
        ('6.0', '6.0', 'REG_SZ', False),
        ('5.20', '5.20', 'REG_SZ', False),
        ('5.30', '5.3', 'REG_SZ', False),
        ('5.3.1', '5.3.1', 'REG_SZ', False),
        ('7 beta', '7 beta', 'REG_SZ', False),
        ('5.20', '5.19', 'REG_SZ', True),
        ('6.0', '5.9', 'REG_SZ', True),
        ('5.3.2', '5.3.1', 'REG_SZ', True),
        ('7 a', '7 beta', 'REG_SZ', True),
    ]
    check_version_cases(s, cases)


@scenario
def not_installed(s):
    # The install folder must be there as text that is not empty.
    cases = {
        'no key': [],
        'no folder value': [('Version', 'REG_SZ', '5.2')],
        'empty folder': [('Version', 'REG_SZ', '5.2'),
                         (s.product['folder_value'], 'REG_SZ', '')],
        'folder as number': [('Version', 'REG_SZ', '5.2'),
                             (s.product['folder_value'], 'REG_DWORD', '7')],
        'relative folder': [('Version', 'REG_SZ', '5.2'),
                            (s.product['folder_value'], 'REG_SZ', 'Sylkum')],
        'folder relative to a drive': [('Version', 'REG_SZ', '5.2'),
                                       (s.product['folder_value'], 'REG_SZ', 'C:Sylkum')],
    }
    for case, values in cases.items():
        s.reset()
        for value in values:
            s.reg_value(*value)
        s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
        s.payload({'sylkum.mde': NEW_MDE})
        try:
            s.expect_silent(s.start())
        except Failure as failure:
            raise Failure(f'{case}: {failure}') from None


def refuse_at_prompt(s, answer):
    """The prompt answered `answer` (None: closed by WM_CLOSE): nothing more
    is shown and nothing copied."""
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    process = s.start()
    s.prompt(answer)
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': OLD_MDE})


@scenario
def answer_no(s):
    refuse_at_prompt(s, IDNO)


@scenario
def full_update(s):
    # Sources in other letter case than on disk, a Danish letter, a
    # sub-folder, a destination in other case than the installed file, and
    # an entry after the terminator that must be left alone.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, 'Sub\\data.dll': b'old data', 'keep.txt': b'keep'})
    s.manifest('5.3', [('SYLKUM.MDE', 'Sylkum.mde'),
                       ('HJÆLP.CHM', 'Hjælp.chm'),
                       ('data.dll', 'SUB\\DATA.DLL')],
               after_end=['after.dll,after.dll'])
    s.payload({'sylkum.mde': NEW_MDE, 'hjælp.chm': 'ny hjælp ÆØÅ'.encode('utf-8'),
               'data.dll': b'new data', 'after.dll': b'after'})
    temp_before = s.temp_files()
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    s.summary([s.install + 'Sylkum.mde', s.install + 'Hjælp.chm',
               s.install + 'SUB\\DATA.DLL'])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE, 'Hjælp.chm': 'ny hjælp ÆØÅ'.encode('utf-8'),
                     'Sub/data.dll': b'new data', 'keep.txt': b'keep'})
    # A new file gets the name the manifest gives it.
    check('Hjælp.chm' in s.install_files(), f'no Hjælp.chm: {sorted(s.install_files())}')
    check_equal(s.temp_files(), temp_before, 'temporary folder')


@scenario
def codesigned_program(s):
    # updater.exe with an Authenticode signature (the build signed with the
    # throwaway certificate of tests/codesign) runs a whole update.
    program = s.config.updater_codesigned
    check(program.is_file(), f'no signed build at {program}: run the codesign.build test first')
    check(pe_certificate_table(program.read_bytes())[1] > 0, f'{program} carries no signature')
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('ny.dll', 'ny.dll')])
    s.payload({'sylkum.mde': NEW_MDE, 'ny.dll': b'new dll'})
    process = s.start(program=program)
    s.prompt(IDYES)
    s.close_notice()
    s.summary([s.install + 'Sylkum.mde', s.install + 'ny.dll'])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE, 'ny.dll': b'new dll'})


@scenario(locale='utf8')
def utf8_code_page(s):
    # A PC whose ANSI code page is UTF-8 still reads the manifest as the
    # Windows-1252 it is written in: "hjælp.chm" is found and copied.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('hjælp.chm', 'Hjælp.chm')])
    s.payload({'sylkum.mde': NEW_MDE, 'hjælp.chm': b'ny hjaelp'})
    s.update([s.install + 'Sylkum.mde', s.install + 'Hjælp.chm'])
    s.check_install({'Sylkum.mde': NEW_MDE, 'Hjælp.chm': b'ny hjaelp'})


@scenario
def utf8_manifest(s):
    # A manifest saved as "UTF-8 with BOM" is read as UTF-8: the same version
    # installed is not offered again, and Danish names are found.
    s.registry(version='5.3')
    s.installed({'Sylkum.mde': OLD_MDE, 'Hjælp\\Hjælp.chm': b'gammel'})
    manifest = s.temp + '\\' + s.config.product_id + '.ini'
    s.write(manifest, '\ufeff5.3\r\nhjælp.chm,Hjælp\\Hjælp.chm\r\nslut\r\n'.encode('utf-8'))
    s.payload({'hjælp.chm': b'ny'})
    s.expect_silent(s.start())
    s.registry(version='5.2')
    s.update([s.install + 'Hjælp\\Hjælp.chm'])
    s.check_install({'Sylkum.mde': OLD_MDE, 'Hjælp/Hjælp.chm': b'ny'})


@scenario
def killed_while_copying(s):
    # Ended by TerminateProcess at random moments of its copy pass, the
    # updater leaves every destination with its old content or a whole new
    # one; the next complete run installs exactly the new files and leaves
    # no staged file behind.
    names = [f'data{i}.mdb' for i in range(6)]
    versions = [{name: bytes([65 + version, i]) * (1 << 20) for i, name in enumerate(names)}
                for version in range(3)]
    s.quick = True
    s.registry()
    s.installed(versions[0])
    s.manifest('5.3', [(name, name) for name in names])
    kill = s.root + '\\kill'

    def copy_pass(version, delay=None):
        """A run that installs `version`, ended `delay` seconds into its copy
        pass (None: a whole run); returns how long the copy pass took."""
        s.payload(versions[version])
        process = s.start(program=s.config.updater, terminate_when=kill)
        s.prompt(IDYES)
        s.close_notice()
        started = time.monotonic()
        if delay is None:
            s.summary([s.install + name for name in names])
            took = time.monotonic() - started
            s.expect_exit(process)
            return took
        time.sleep(delay)
        s.write(kill, b'')
        process.process.wait(SILENT_EXIT)
        s.path(kill).unlink()
        for name, content in s.install_files().items():
            if name in versions[0]:
                check(any(content == v[name] for v in versions),
                      f'{name} holds a part after a kill {delay:.3f} s into the copy pass')
        return None

    took = copy_pass(1)
    chance = random.Random(20261209)
    for kill_number in range(30):
        copy_pass(2 - kill_number % 2, chance.uniform(0, took))
    copy_pass(2)
    s.check_install(versions[2])


@scenario
def read_only_payload(s):
    # A payload file that comes read-only (from a CD, a share, some archive
    # tools) installs as an ordinary file, so its next update goes through.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    for content in (NEW_MDE, b'newer still'):
        s.payload({'sylkum.mde': content})
        source = s.path(s.temp + '\\sylkum.mde')
        source.chmod(0o444)
        s.update([s.install + 'Sylkum.mde'])
        s.check_install({'Sylkum.mde': content})
        installed = s.path(s.install + 'Sylkum.mde').stat().st_mode
        check(installed & 0o200, f'Sylkum.mde was installed read-only ({oct(installed)})')
        source.chmod(0o644)


@scenario
def copy_errors(s):
    # The Windows copy's reasons for each failure, its handling of read-only
    # sources, staged litter and a busy destination, on Wine's file system.
    folder = s.root + '\\Copies'
    s.path(folder).mkdir(parents=True)
    done = s.wine.run([s.config.copy_errors, folder], 'copy-errors')
    check_equal(done.returncode, 0, 'checks of the copy that failed: ' + done.stdout())


@scenario
def signed_updates(s):
    # A build that carries the maker's public key installs only what the
    # maker signed: pack --sign (CNG, under Wine) makes an update the signed
    # updater installs; with its checksum file changed after signing, signed
    # by another key, or with a signature file that is empty, too large or
    # garbage, it is not offered and nothing is written; nor is a signed
    # older release. A manifest that says it comes with a checksum file is
    # not offered without it, by an unsigned build either.
    tree = s.root + '\\Tree'
    s.write(tree + '\\Sylkum.mde', NEW_MDE)
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    key = windows_path(s.config.keys / 'test-signing-key-a.pem')
    code, lines = s.tool(['pack', '--version', '5.3', '--from', tree, '--to', s.temp,
                          '--sign', key])
    check_equal(code, 0, 'exit code of pack --sign: ' + '\n'.join(lines))
    signature = s.path(s.temp + '\\OrvakBK.sha256.sig').read_bytes()
    checksums = s.path(s.temp + '\\OrvakBK.sha256').read_bytes()
    # CNG's signature is one openssl verifies.
    verify = subprocess.run(['openssl', 'dgst', '-sha256', '-verify',
                             str(s.config.keys / 'test-signing-key-a.pub.pem'), '-signature',
                             str(s.path(s.temp + '\\OrvakBK.sha256.sig')),
                             str(s.path(s.temp + '\\OrvakBK.sha256'))], capture_output=True)
    check_equal(verify.returncode, 0, 'openssl dgst -verify of the signature pack made: ' +
                verify.stdout.decode() + verify.stderr.decode())
    other = subprocess.run(['openssl', 'dgst', '-sha256', '-sign',
                            str(s.config.keys / 'test-signing-key-b.pem')],
                           input=checksums, capture_output=True, check=True).stdout
    refused = {
        'unsigned': None,
        'checksum file changed after signing': ('checksums', checksums + b'\n'),
        'signed by another key': ('signature', other),
        'empty signature': ('signature', b''),
        'oversized signature': ('signature', signature + bytes(300)),
        'garbage signature': ('signature', bytes(range(70))),
    }
    for case, change in refused.items():
        s.path(s.temp + '\\OrvakBK.sha256').write_bytes(checksums)
        sig = s.path(s.temp + '\\OrvakBK.sha256.sig')
        if change is None:
            sig.unlink()
        elif change[0] == 'checksums':
            sig.write_bytes(signature)
            s.path(s.temp + '\\OrvakBK.sha256').write_bytes(change[1])
        else:
            sig.write_bytes(change[1])
        try:
            s.expect_silent(s.start(program=s.config.updater_signed))
        except Failure as failure:
            raise Failure(f'{case}: {failure}') from None
        s.check_install({'Sylkum.mde': OLD_MDE})
    # Signed as packed, it installs.
    s.path(s.temp + '\\OrvakBK.sha256').write_bytes(checksums)
    s.path(s.temp + '\\OrvakBK.sha256.sig').write_bytes(signature)
    process = s.start(program=s.config.updater_signed)
    s.prompt(IDYES)
    s.close_notice()
    s.summary([s.install + 'Sylkum.mde'])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})
    # A validly signed older release (9 over an installed 10) is never
    # offered by the signed build, though 9 sorts after 10 as text; the
    # unsigned build keeps the text order and asks.
    for old in s.path(s.temp).iterdir():
        old.unlink()
    code, lines = s.tool(['pack', '--version', '9', '--from', tree, '--to', s.temp,
                          '--sign', key])
    check_equal(code, 0, 'exit code of pack --sign: ' + '\n'.join(lines))
    s.registry(version='10')
    s.expect_silent(s.start(program=s.config.updater_signed))
    process = s.start()
    s.prompt(IDNO)
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})
    # Delivered without its checksum file, no build offers it.
    s.registry(version='5.2')
    s.path(s.temp + '\\OrvakBK.sha256').unlink()
    for program in (s.config.updater, s.config.updater_signed):
        s.expect_silent(s.start(program=program))


@scenario
def claim_looked_at(s):
    # A program that looks at the claim of a running updater, and keeps its
    # handle open after that updater has ended, never turns the next one
    # away.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    first = s.asking()
    looker = s.hold(['--mutex', 'Local\\Zorbe IT updater ' + s.config.product_id])
    s.prompt(IDNO)
    s.expect_exit(first)
    check(looker.poll() is None, 'hold_file let go of the claim too early')
    second = s.start()
    s.prompt(IDNO)
    s.expect_exit(second)
    s.check_install({'Sylkum.mde': OLD_MDE})


@scenario(locale='da')
def danish_version_order(s):
    # On a Danish Windows the installed version reads back with a decimal
    # comma: 5.2 becomes 5,2.
    cases = [
        # offered, installed, registry type, prompts
        ('5.3', '5.3', 'REG_SZ', False),
        ('5.1', '5.2', 'REG_SZ', False),
        ('"5,3"', '5.2', 'REG_SZ', True),
        ('"5,1"', '5.2', 'REG_SZ', False),
        ('5.3', '5.20', 'REG_SZ', True),
        ('10.0', '9.5', 'REG_SZ', False),
        ('19', '18', 'REG_DWORD', True),
        # The same version installed, written with a point or a comma.
        ('"5,20"', '5.20', 'REG_SZ', False),
        ('"5,20"', '5,20', 'REG_SZ', False),
        ('6.0', '6.0', 'REG_SZ', False),
        ('5.30', '5.3', 'REG_SZ', False),
        ('"5,20"', '5.19', 'REG_SZ', True),
    ]
    check_version_cases(s, cases)


@scenario(locale='da')
def danish_update(s):
    # A whole update as customers see it: Danish buttons, Danish letters.
    s.registry(version='5.20')
    s.installed({'Sylkum.mde': OLD_MDE, 'Hjælp\Bøger.dat': b'gamle'})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('bøger.dat', 'Hjælp\Bøger.dat')])
    s.payload({'sylkum.mde': NEW_MDE, 'bøger.dat': 'nye bøger'.encode('utf-8')})
    s.update([s.install + 'Sylkum.mde', s.install + 'Hjælp\Bøger.dat'])
    s.check_install({'Sylkum.mde': NEW_MDE, 'Hjælp/Bøger.dat': 'nye bøger'.encode('utf-8')})


@scenario
def missing_source(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('mangler.dll', 'mangler.dll'), ('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    # A listed file that is not in the temporary folder is passed over.
    s.summary([s.install + 'Sylkum.mde'])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})


@scenario
def missing_subfolder(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('a.dll', 'Mangler\\a.dll'), ('sylkum.mde', 'Sylkum.mde')])
    s.payload({'a.dll': b'a', 'sylkum.mde': NEW_MDE})
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    s.summary([s.install + 'Sylkum.mde'],
              [(s.install + 'Mangler\\a.dll', 'mappen findes ikke')])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})
    check(not s.path(s.install + 'Mangler').exists(), 'the missing folder was made')


@scenario
def read_only_destination(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, 'b.dll': b'old b'})
    s.path(s.install + 'Sylkum.mde').chmod(0o444)  # Wine shows it as read-only
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('b.dll', 'b.dll')])
    s.payload({'sylkum.mde': NEW_MDE, 'b.dll': b'new b'})
    s.update([s.install + 'b.dll'], [(s.install + 'Sylkum.mde', 'adgang nægtet')])
    s.check_install({'Sylkum.mde': OLD_MDE, 'b.dll': b'new b'})


@scenario
def file_in_use(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, 'b.dll': b'old b'})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('b.dll', 'b.dll')])
    s.payload({'sylkum.mde': NEW_MDE, 'b.dll': b'new b'})
    holder = s.hold([s.install + 'Sylkum.mde'])
    s.update([s.install + 'b.dll'], [(s.install + 'Sylkum.mde', 'filen er i brug')])
    holder.kill()
    s.check_install({'Sylkum.mde': OLD_MDE, 'b.dll': b'new b'})


@scenario(locale='da')
def whole_update_held_file(s):
    # An update that lands whole: one destination held open by another
    # program keeps every file old (the one already replaced is put back),
    # and the Danish box says that nothing was changed, and why.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, 'b.dll': b'old b'})
    s.manifest('5.3', [('b.dll', 'b.dll'), ('sylkum.mde', 'Sylkum.mde')],
               after_end=['helt-eller-slet-ikke'])
    s.payload({'sylkum.mde': NEW_MDE, 'b.dll': b'new b'})
    holder = s.hold([s.install + 'Sylkum.mde'])
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    s.box('summary', 'Opdateringen kunne ikke gennemføres. Ingen filer er ændret.\r\n\r\n' +
          s.texts.failed + s.install + 'Sylkum.mde (filen er i brug)\r\n', [IDOK], 'error', IDOK)
    s.expect_exit(process)
    holder.kill()
    s.check_install({'Sylkum.mde': OLD_MDE, 'b.dll': b'old b'})
    # Let go of, the same update is offered again and lands whole.
    s.update([s.install + 'b.dll', s.install + 'Sylkum.mde'])
    s.check_install({'Sylkum.mde': NEW_MDE, 'b.dll': b'new b'})


@scenario
def whole_update_makes_its_folders(s):
    # An update that lands whole makes the sub-folders its files need.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('a.dll', 'Mangler\\Under\\a.dll'), ('sylkum.mde', 'Sylkum.mde')],
               after_end=['helt-eller-slet-ikke'])
    s.payload({'a.dll': b'a', 'sylkum.mde': NEW_MDE})
    s.update([s.install + 'Mangler\\Under\\a.dll', s.install + 'Sylkum.mde'])
    s.check_install({'Sylkum.mde': NEW_MDE, 'Mangler/Under/a.dll': b'a'})


@scenario
def lock_released(s):
    lock = s.install + s.product['lock']
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, s.product['lock']: b''})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    # While the lock file is there the updater waits and writes nothing.
    s.no_box_for(2000, 'while the lock file was still there')
    s.check_install({'Sylkum.mde': OLD_MDE, s.product['lock']: b''})
    s.path(lock).unlink()
    s.summary([s.install + 'Sylkum.mde'])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})


@scenario
def manifest_gone(s):
    # The manifest went while the updater waited for the product, and a cut
    # one came in its place: the list read before the question is the one
    # applied, and the cut name is never used.
    lock = s.install + s.product['lock']
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, s.product['lock']: b''})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    manifest = s.path(s.temp + '\\' + s.config.product_id + '.ini')
    manifest.unlink()
    manifest.write_bytes(b'5.3\r\nsylkum.mde,Syl')
    s.path(lock).unlink()
    s.summary([s.install + 'Sylkum.mde'])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})


@scenario
def manifest_being_written(s):
    # A manifest caught while it is being written, its list cut in the
    # middle of a name: no box, nothing written, no file under the cut name.
    # Once it is whole, the same update installs.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.payload({'sylkum.mde': NEW_MDE, 'ny.dll': b'ny'})
    path = s.temp + '\\' + s.config.product_id + '.ini'
    whole = b'5.3\r\nsylkum.mde,Sylkum.mde\r\nny.dll,Ny.dll\r\nslut\r\n'
    s.write(path, whole[:whole.index(b'Ny.dll') + 2])
    s.expect_silent(s.start())
    s.check_install({'Sylkum.mde': OLD_MDE})
    s.write(path, whole)
    s.update([s.install + 'Sylkum.mde', s.install + 'Ny.dll'])
    s.check_install({'Sylkum.mde': NEW_MDE, 'Ny.dll': b'ny'})


@scenario
def lock_never_released(s):
    # The short-wait build gives up after a few tests of the lock file.
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, s.product['lock']: b'lock'})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    process = s.start(program=s.config.updater_shortwait)
    s.prompt(IDYES)
    s.close_notice()
    s.box('not-closed', s.texts.not_closed, [IDOK], 'error', IDOK)
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': OLD_MDE, s.product['lock']: b'lock'})


@scenario
def dword_version(s):
    s.registry(version=18, version_type='REG_DWORD')
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('19', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    s.update([s.install + 'Sylkum.mde'])
    s.check_install({'Sylkum.mde': NEW_MDE})


@scenario
def danish_install_folder(s):
    # Imported by regedit from a .reg file; no trailing backslash.
    s.install = s.root + '\\Programmer\\Sylkøm Åben\\'
    s.import_registry({'Version': '5.2', s.product['folder_value']: s.install.rstrip('\\')})
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('bøger.dat', 'bøger.dat')])
    s.payload({'sylkum.mde': NEW_MDE, 'bøger.dat': b'books'})
    s.update([s.install + 'Sylkum.mde', s.install + 'bøger.dat'])
    s.check_install({'Sylkum.mde': NEW_MDE, 'bøger.dat': b'books'})


@scenario
def danish_temp_folder(s):
    s.temp = 'C:\\users\\Åse\\AppData\\Local\\Temp'
    s.roots.append('C:\\users\\Åse')
    s.reset()
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    s.update([s.install + 'Sylkum.mde'])
    s.check_install({'Sylkum.mde': NEW_MDE})


@scenario
def build_folder_guard(s):
    build = s.product['build_folder']
    s.roots.append(build.rsplit('\\', 1)[0])
    drive, rest = build.split('\\', 1)
    parent, name = build.rsplit('\\', 1)
    # Every spelling Windows resolves to the build folder: separators,
    # "." and "..", a trailing dot or space, the \\?\ prefix, the short
    # name, and the administrative share of the drive.
    spellings = [build, build.lower() + '\\', build.replace('\\', '/') + '/',
                 build.replace('\\', '\\\\') + '\\\\', '\\\\?\\' + build + '\\',
                 build + '.\\', f'{parent}\\.\\{name}\\', f'{parent}\\x\\..\\{name}\\',
                 build + ' \\', 'short name', f'\\\\localhost\\{drive[0]}$\\{rest}\\']
    for folder in spellings:
        s.reset()
        s.install = build + '\\'
        s.installed({'Sylkum.mde': OLD_MDE})
        if folder == 'short name':
            done, folder = s.driver(['shortname', build + '\\'], 'shortname', 0)
            check(done.returncode == 0 and folder != build + '\\',
                  f'no short name for {build}: {folder} {done.stderr()}')
        s.registry(folder=folder)
        s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
        s.payload({'sylkum.mde': NEW_MDE})
        try:
            s.expect_silent(s.start())
        except Failure as failure:
            raise Failure(f'install folder {folder}: {failure}') from None
        s.check_install({'Sylkum.mde': OLD_MDE})


@scenario
def unsafe_destinations(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    unsafe = ['..\\a.dll', '\\e2e\\unsafe-destinations\\rooted.dll', 'C:\\x.dll',
              'sub\\..\\..\\b.dll', 'Sylkum.mde:stream']
    s.manifest('5.3', [('sylkum.mde', name) for name in unsafe] +
               [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    before_root = snapshot(s.path(s.root))
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    s.summary([s.install + 'Sylkum.mde'],
              [(s.install + name, 'ugyldigt filnavn') for name in unsafe])
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE})
    # Nothing appeared outside the install folder either.
    after_root = {k: v for k, v in snapshot(s.path(s.root)).items()
                  if not k.startswith('Sylkum/')}
    check_equal(after_root, {k: v for k, v in before_root.items()
                             if not k.startswith('Sylkum/')}, 'files beside the install folder')
    check(not s.path('C:\\x.dll').exists(), 'C:\\x.dll was written')


@scenario
def single_instance(s):
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    first = s.asking()
    second = s.start()
    s.expect_exit(second, SECOND_INSTANCE_EXIT)
    check(not second.predicted['offered'], 'explain did not see the first updater\'s claim')
    # Still one box, the first updater's prompt.
    s.predicted = first.predicted
    s.prompt(IDNO)
    s.expect_exit(first)
    s.check_install({'Sylkum.mde': OLD_MDE})


@scenario
def long_paths(s):
    # Every full path in the install folder passes 260 characters.
    s.install = (s.root + '\\' + 'Sylkum-' + 'l' * 120 + '\\' + 'Programmer-' + 'm' * 100 +
                 '\\')
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE, 'Sub\\data.dll': b'old data'})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('data.dll', 'Sub\\data.dll')])
    s.payload({'sylkum.mde': NEW_MDE, 'data.dll': b'new data'})
    check(len(s.install + 'Sylkum.mde') > 260, 'the install path is not long enough')
    expected = s.texts.summary([s.install + 'Sylkum.mde', s.install + 'Sub\\data.dll'])

    def broken_to_fit(text):
        # Each path is broken over lines that fit; joined, it reads the same.
        check_equal(unwrapped(text), expected, 'summary with its lines joined')
        check(text != expected, 'no line was broken')

    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    check_fits(s.summary(None, text=broken_to_fit), 'summary of long paths')
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': NEW_MDE, 'Sub/data.dll': b'new data'})


@scenario
def long_summary(s):
    # 200 entries, 10 of them into a folder that does not exist: the summary
    # shows the first updated files and counts the rest, and every failure.
    s.registry()
    s.installed({})
    names = [f'f{i:03d}.dll' for i in range(200)]
    entries = [(n, n if i < 190 else 'Ny\\' + n) for i, n in enumerate(names)]
    s.manifest('5.3', entries)
    s.payload({n: n.encode() for n in names})
    failed = [s.install + d + ' (mappen findes ikke)' for _, d in entries[190:]]
    check(all(len(f) <= SUMMARY_WRAP_COLUMNS for f in failed), 'failure lines too long')
    shown = 24 - 3 - len(failed) - 1  # heading, empty line and heading, count line
    text = (s.texts.updated + ''.join(s.install + n + '\r\n' for n in names[:shown]) +
            f'... og {190 - shown} filer mere er opdateret.\r\n' +
            '\r\n' + s.texts.failed + ''.join(f + '\r\n' for f in failed))
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    check_fits(s.box('summary', text, [IDOK], 'warning', IDOK), 'summary of 200 entries')
    s.expect_exit(process)
    s.check_install({n: n.encode() for n in names[:190]})


@scenario
def install_folder_outside_code_page(s):
    # Windows-1252 has no Ł: the ANSI registry read gives the look-alike
    # "Lukasz", another user's folder, which must stay untouched.
    s.install = s.root + '\\users\\\u0141ukasz\\Sylkum\\'
    look_alike = s.root + '\\users\\Lukasz\\Sylkum\\'
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.write(look_alike + 'Sylkum.mde', OLD_MDE)
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    s.update([s.install + 'Sylkum.mde'])
    s.check_install({'Sylkum.mde': NEW_MDE})
    check_equal(snapshot(s.path(look_alike)), {'Sylkum.mde': OLD_MDE}, 'the look-alike folder')


@scenario
def prompt_closed(s):
    # The prompt's close button (WM_CLOSE) is no Yes.
    refuse_at_prompt(s, None)


# --- updater-tool ------------------------------------------------------------

# Wine tells in the error stream of each process which DLLs it loads.
LOADER_TRACE = {'WINEDEBUG': 'fixme-all,+pid,+loaddll'}


def loaded_libraries(process, program):
    """The names (lower case) of the DLLs that the process running `program`
    loaded, from the trace that LOADER_TRACE asks for."""
    pid, names = None, set()
    for line in process.stderr().splitlines():
        found = re.match(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]*)"', line)
        if not found:
            continue
        path = found.group(2).replace('\\\\', '\\').lower()
        if pid is None and path.endswith('\\' + program.name.lower()):
            pid = found.group(1)
        elif found.group(1) == pid:
            names.add(path.rsplit('\\', 1)[-1])
    check(pid is not None, f'no trace of {program.name} loading: {process.stderr()[-2000:]!r}')
    return names


def check_libraries(process, program, wanted, unwanted, what):
    names = loaded_libraries(process, program)
    check(not names & unwanted, f'{what}: loaded {sorted(names & unwanted)} ({sorted(names)})')
    check(set(wanted) <= names, f'{what}: {sorted(set(wanted) - names)} not loaded ({sorted(names)})')


@scenario
def lean_start(s):
    """A start with nothing to do loads neither user32 nor advapi32; advapi32
    comes with the first registry read, user32 with the first box. (Wine
    places its own DLLs in the system folder whatever asks for them, so
    where they came from cannot be told here.)"""
    s.registry()
    s.installed({'Sylkum.mde': OLD_MDE})
    s.payload({'sylkum.mde': NEW_MDE})
    process = s.start(env=LOADER_TRACE)
    s.expect_silent(process)
    check_libraries(process, s.config.updater, [], {'user32.dll', 'advapi32.dll'}, 'no manifest')

    s.manifest('5.2', [('sylkum.mde', 'Sylkum.mde')])
    process = s.start(env=LOADER_TRACE)
    s.expect_silent(process)
    check_libraries(process, s.config.updater, ['advapi32.dll'], {'user32.dll'}, 'not newer')

    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    process = s.start(env=LOADER_TRACE)
    s.prompt(IDNO)
    s.expect_exit(process)
    check_libraries(process, s.config.updater, ['advapi32.dll', 'user32.dll'], set(), 'newer')
    s.check_install({'Sylkum.mde': OLD_MDE})


@scenario
def no_box_library(s):
    """Without user32 no box can be shown: the run ends silently at the
    question and copies nothing."""
    overrides = r'HKCU\Software\Wine\AppDefaults\updater.exe'
    added = s.wine.run(['reg', 'add', overrides + r'\DllOverrides', '/v', 'user32', '/t',
                        'REG_SZ', '/d', '', '/f'], 'reg-add')
    check(added.returncode == 0, f'reg add of the DLL override failed: {added.stderr()}')
    try:
        s.registry()
        s.installed({'Sylkum.mde': OLD_MDE})
        s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
        s.payload({'sylkum.mde': NEW_MDE})
        process = s.start(env=LOADER_TRACE)
        s.expect_silent(process)
        check_libraries(process, s.config.updater, ['advapi32.dll'], {'user32.dll'},
                        'user32 switched off')
        s.check_install({'Sylkum.mde': OLD_MDE})
    finally:
        s.wine.run(['reg', 'delete', overrides, '/f'], 'reg-delete')


@scenario
def pack_round_trip(s):
    # The maker packs a tree with Danish letters, a comma in a name,
    # sub-folders two deep and a file in capitals; the updater installs it
    # over an older installation, which must then equal the tree.
    tree = s.root + '\\Tree'
    # Two names that differ by a soft hyphen alone, which Windows' own
    # collation ignores but its file systems keep apart: each has its own
    # line in the checksum file.
    files = {'Sylkum.mde': NEW_MDE, 'Hjælp\\hjælp.chm': 'ny hjælp ÆØÅ'.encode('utf-8'),
             'Hjælp\\Billeder\\LOGO.PNG': b'logo', 'Data\\rapport,2026.mdb': b'rapport',
             'Data\\Sylkum.mde': b'another Sylkum.mde', 'rap\u00adport.mdb': b'soft',
             'rapport.mdb': b'plain'}
    for name, content in files.items():
        s.write(tree + '\\' + name, content)
    s.registry()
    s.installed({name: b'old ' + content for name, content in files.items()})
    code, lines = s.tool(['pack', '--version', '5.3', '--from', tree, '--to', s.temp])
    check_equal(code, 0, 'exit code of pack: ' + '\n'.join(lines))
    check('Problems: none' in lines, 'pack\'s own check: ' + '\n'.join(lines))
    # The manifest lists the files in the order of their destinations.
    order = sorted(files, key=lambda name: (name.upper(), name))
    s.update([s.install + name for name in order])
    s.check_install({name.replace('\\', '/'): content for name, content in files.items()})


@scenario
def payload_checksums(s):
    """A packed update with one payload byte flipped is not offered and
    explain names the file; mended, a file changed while the updater waited
    for the product keeps the whole packed update out, every file old; put
    back as packed, it installs."""
    tree = s.root + '\\Tree'
    files = {'Sylkum.mde': NEW_MDE, 'data.dll': b'new data'}
    for name, content in files.items():
        s.write(tree + '\\' + name, content)
    s.registry()
    old = {'Sylkum.mde': OLD_MDE, 'data.dll': b'old data'}
    s.installed(dict(old, **{s.product['lock']: b''}))
    code, lines = s.tool(['pack', '--version', '5.3', '--from', tree, '--to', s.temp])
    check_equal(code, 0, 'exit code of pack: ' + '\n'.join(lines))

    mde = s.path(s.temp + '\\Sylkum.mde')
    mde.write_bytes(b'X' + NEW_MDE[1:])
    s.expect_silent(s.start())
    code, lines = s.tool(['explain'])
    check_equal(code, 3, 'exit code of explain: ' + '\n'.join(lines))
    check('  "Sylkum.mde" is damaged: its bytes do not match its line' in lines,
          'explain does not name the damaged file: ' + '\n'.join(lines))
    s.check_install(dict(old, **{s.product['lock']: b''}))

    mde.write_bytes(NEW_MDE)
    process = s.start()
    s.prompt(IDYES)
    s.close_notice()
    s.path(s.temp + '\\data.dll').write_bytes(b'changed!')
    s.path(s.install + s.product['lock']).unlink()
    s.box('summary', 'Opdateringen kunne ikke gennemføres. Ingen filer er ændret.\r\n\r\n' +
          s.texts.failed + s.install + 'data.dll (kildefilen er ændret)\r\n', [IDOK], 'error', IDOK)
    s.expect_exit(process)
    s.check_install(old)

    s.path(s.temp + '\\data.dll').write_bytes(files['data.dll'])
    s.update([s.install + 'data.dll', s.install + 'Sylkum.mde'])
    s.check_install(files)


def check_lines(actual, expected, what):
    """The output is exactly the expected lines, compared one by one."""
    actual = [line for line in actual if line]
    for number, (seen, wanted) in enumerate(zip(actual, expected), 1):
        check_equal(seen, wanted, f'{what}, line {number}')
    check_equal(len(actual), len(expected), f'{what}: number of lines')


def explain_head(s):
    return [f'What the updater for {s.config.product_id} ("{s.config.display_name}") would do '
            'now, step by step:',
            f'Build: {s.config.product_id} ("{s.config.display_name}"), unsigned build',
            f'Temporary folder: {s.temp}\\ (from the environment variable temp)']


def registry_lines(s, version, folder):
    key = 'HKEY_CURRENT_USER\\' + s.product['key']
    return [f'Registry key: {key}: opened',
            f'  Version: REG_SZ "{version}"',
            f'  {s.product["folder_value"]}: REG_SZ "{folder}"']


@scenario
def explain_nothing_to_do(s):
    # No manifest: the updater ends at once; explain still shows the
    # installed product, in a folder with Danish letters.
    s.install = s.root + '\\Programmer\\Sylkøm Åben\\'
    s.registry(folder=s.install.rstrip('\\'))
    s.installed({'Sylkum.mde': OLD_MDE})
    s.payload({'sylkum.mde': NEW_MDE})
    temp_before = s.temp_files()
    code, lines = s.tool(['explain'])
    check_equal(code, 1, 'exit code of explain')
    manifest = s.temp + '\\' + s.config.product_id + '.ini'
    check_lines(lines, explain_head(s) + [
        f'Manifest: {manifest}: not found: absent',
        '(The updater stops here; the steps below are for information.)',
        *registry_lines(s, '5.2', s.install.rstrip('\\')),
        'Installed version: "5.2" reads as 5.2 (decimal separator ".")',
        f'Install folder: {s.install}',
        f'Build-folder guard: {s.install} is not a developer build folder',
        'Another updater running now: no',
        f'Lock file {s.install}{s.product["lock"]}: absent now',
        'Outcome: the run would end silently: there is no manifest in the temporary folder.',
    ], 'explain')
    check_equal(s.temp_files(), temp_before, 'temporary folder')
    s.check_install({'Sylkum.mde': OLD_MDE})


@scenario(locale='da')
def explain_product_running(s):
    # A newer update on a Danish PC while the product runs and holds a file:
    # offered, but it would not install cleanly (status 4), and explain says
    # what stands in the way first; it also sees an updater that is asking,
    # without holding it back.
    s.registry(version='5.20')
    s.installed({'Sylkum.mde': OLD_MDE, 'Bøger.dat': b'gamle', s.product['lock']: b''})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde'), ('bøger.dat', 'Bøger.dat'),
                       ('ny.dll', 'Mangler\\ny.dll')])
    s.payload({'sylkum.mde': NEW_MDE, 'bøger.dat': b'nye', 'ny.dll': b'ny'})
    holder = s.hold([s.install + 'Bøger.dat'])
    product = s.hold([s.install + s.product['lock']])
    manifest = s.temp + '\\' + s.config.product_id + '.ini'
    lines_before_claim = explain_head(s) + [
        f'Manifest: {manifest}: found',
        'Offered version: "5.3"',
        *registry_lines(s, '5.20', s.install),
        'Installed version: "5.20" reads as 5,2 (decimal separator ",")',
        f'Install folder: {s.install}',
        'Version test: newer (5,3 sorts after 5,2)',
        f'Build-folder guard: {s.install} is not a developer build folder',
        f'Checksum file: {s.temp}\\{s.config.product_id}.sha256: none: the payload is copied '
        'unchecked',
    ]
    lines_after_claim = [
        f'Lock file {s.install}{s.product["lock"]}: present now, held open by a program: the '
        'product is running',
        'Lands: file by file (no "helt-eller-slet-ikke" after "slut", as in a hand-written '
        'manifest): each entry is copied on its own, and copies already made are never undone',
        'Entries:',
        f'  line 2: "sylkum.mde" -> "Sylkum.mde": copied; {s.install}Sylkum.mde can be written '
        'now',
        f'  line 3: "bøger.dat" -> "Bøger.dat": copied; {s.install}Bøger.dat cannot be written '
        'now: a program has it open',
        f'  line 4: "ny.dll" -> "Mangler\\ny.dll": copied; {s.install}Mangler\\ny.dll cannot be '
        'written now: its folder does not exist',
    ]
    code, lines = s.tool(['explain'])
    check_equal(code, 4, 'exit code of explain')
    check_lines(lines, lines_before_claim + ['Another updater running now: no'] +
                lines_after_claim + [
        'Outcome: the update would be offered now, but would not install cleanly: '
        f'{s.install}Bøger.dat cannot be written now: a program has it open (close the program '
        'that has it open). 2 of its 3 entries would not be updated now. The product is '
        'running: after the close notice the updater would wait up to ten minutes for it to '
        'close.'], 'explain')

    # With an updater asking, explain says so, and the updater goes on.
    process = s.asking()
    code, lines = s.tool(['explain'])
    check_equal(code, 1, 'exit code of explain while an updater asks')
    not_reached = [line.replace('": copied;', '": not reached; if reached: copied;')
                   for line in lines_after_claim]
    check_lines(lines, lines_before_claim + ['Another updater running now: yes'] +
                not_reached +
                ['Outcome: the run would end silently: another updater is running now.'],
                'explain while an updater asks')
    s.prompt(IDNO)
    s.expect_exit(process)
    s.check_install({'Sylkum.mde': OLD_MDE, 'Bøger.dat': b'gamle', s.product['lock']: b''})

    # Once no program holds it, the lock file is told apart as left over.
    product.kill()
    code, lines = s.tool(['explain'])
    check_equal(code, 4, 'exit code of explain with a lock file left over')
    for line in (f'Lock file {s.install}{s.product["lock"]}: present now, but no program holds '
                 'it open: left over, the product is closed',
                 'Outcome: the update would be offered now, but would not install cleanly: the '
                 f'lock file {s.install}{s.product["lock"]} is left over: the updater would wait '
                 'ten minutes for it to go and then say the product is not closed; delete it. 2 of '
                 'its 3 entries would not be updated now.'):
        check(line in lines, f'explain does not say {line!r}:\n' + '\n'.join(lines))


@scenario
def explain_build_folder(s):
    build = s.product['build_folder']
    s.roots.append(build.rsplit('\\', 1)[0])
    s.reset()
    s.install = build + '\\'
    s.registry(folder=build.replace('\\', '/'))
    s.installed({'Sylkum.mde': OLD_MDE})
    s.manifest('5.3', [('sylkum.mde', 'Sylkum.mde')])
    s.payload({'sylkum.mde': NEW_MDE})
    code, lines = s.tool(['explain'])
    check_equal(code, 1, 'exit code of explain')
    folder = build.replace('\\', '/') + '\\'
    check_lines(lines, explain_head(s) + [
        f'Manifest: {s.temp}\\{s.config.product_id}.ini: found',
        'Offered version: "5.3"',
        *registry_lines(s, '5.2', build.replace('\\', '/')),
        'Installed version: "5.2" reads as 5.2 (decimal separator ".")',
        f'Install folder: {folder}',
        'Version test: newer (5.3 sorts after 5.2)',
        f'Build-folder guard: {folder} is a developer build folder',
        'Another updater running now: no',
        f'Lock file {folder}{s.product["lock"]}: absent now',
        'Lands: file by file (no "helt-eller-slet-ikke" after "slut", as in a hand-written '
        'manifest): each entry is copied on its own, and copies already made are never undone',
        'Entries:',
        f'  line 2: "sylkum.mde" -> "Sylkum.mde": not reached; if reached: copied; '
        f'{folder}Sylkum.mde can be written now',
        'Outcome: the run would end silently: the install folder is a developer build folder.',
    ], 'explain')
    s.expect_silent(s.start())


class Skipped(Exception):
    """A scenario that cannot run for a cause already reported."""


# What a skipped scenario ends with; ctest counts it as skipped, not failed.
SKIP_CODE = 77


def x_server_stopped(config, state):
    """The failure that says, once, that the suite's X server has died: the
    first scenario to see it fails with that, the later ones are skipped
    (no box can show any more, so their failures would say nothing)."""
    if state.get('x_server_reported'):
        return Skipped('skipped: the X server stopped (reported by an earlier scenario)')
    state['x_server_reported'] = True
    with open(config.state_file, 'w', encoding='utf-8') as f:
        json.dump(state, f)
    return Failure(f'the X server stopped: see {config.logs / "xvfb.log"}')


def run_scenario(config, name):
    state = read_state(config)
    if x_server_gone(config, state):
        raise x_server_stopped(config, state)
    locale = SCENARIO_LOCALES[name]
    wine = Wine(config, state['display'], config.logs / name, locale)
    scene = Scene(config, wine, name, locale)
    started = time.monotonic()
    scene.reset()
    try:
        SCENARIOS[name](scene)
    except Failure as failure:
        if x_server_gone(config, state):
            raise x_server_stopped(config, state) from failure
        raise
    finally:
        scene.finish()
        scene.reset()
    print(f'{name}: passed in {time.monotonic() - started:.1f} s')


def selftest(config):
    """The suite's own handling of its X server, without Wine, in a folder
    of its own: a started Xvfb outlives its clients; once it has died, the
    first scenario fails saying so and the later ones are skipped."""
    own = copy.copy(config)
    own.work_dir = config.work_dir / 'selftest'
    own.logs = own.work_dir / 'logs'
    own.state_file = own.work_dir / 'state.json'
    shutil.rmtree(own.work_dir, ignore_errors=True)
    display, pid = start_xvfb(own)
    try:
        with open(own.state_file, 'w', encoding='utf-8') as f:
            json.dump({'display': display, 'xvfb_pid': pid}, f)
        check_x_server_stays(own, display, pid)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        outcomes = []
        for name in list(SCENARIOS)[:3]:
            try:
                run_scenario(own, name)
                outcomes.append('passed')
            except Failure as failure:
                outcomes.append(f'failed: {failure}')
            except Skipped:
                outcomes.append('skipped')
        check_equal(outcomes, [f'failed: the X server stopped: see {own.logs / "xvfb.log"}',
                               'skipped', 'skipped'], 'scenarios after the X server died')
    finally:
        if process_is(pid, 'Xvfb'):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(own.work_dir, ignore_errors=True)
    print('selftest: the X server outlives its clients; its end is reported once')


# --- Hygiene of the shipped program ------------------------------------------

SYSTEM_DLLS = {'kernel32.dll', 'user32.dll', 'advapi32.dll', 'msvcrt.dll', 'gdi32.dll',
               'shell32.dll', 'ole32.dll', 'comctl32.dll', 'ntdll.dll', 'version.dll'}


def pe_certificate_table(data):
    """(offset, size) of a PE file's certificate table, where an
    Authenticode signature lies; (0, 0) in an unsigned file."""
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    check(data[pe:pe + 4] == b'PE\0\0', 'not a PE file')
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    return struct.unpack_from('<II', data, directories + 4 * 8)


def pe_resources(data):
    """The resources of a PE file: {(type, id): bytes} for numbered types
    and names (the first language of each)."""
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    check(data[pe:pe + 4] == b'PE\0\0', 'not a PE file')
    sections, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, rsrc_size = struct.unpack_from('<II', data, directories + 2 * 8)
    if rsrc_size == 0:
        return {}
    section_table = optional + optional_size
    for i in range(sections):
        _, vsize, va, raw_size, raw = struct.unpack_from('<8sIIII', data, section_table + 40 * i)
        if va <= rsrc_rva < va + max(vsize, raw_size):
            base = raw + (rsrc_rva - va)
            to_file = raw - va
            break
    else:
        raise Failure('the resource directory lies in no section')

    def entries(offset):
        named, numbered = struct.unpack_from('<12xHH', data, base + offset)
        for i in range(named + numbered):
            ident, target = struct.unpack_from('<II', data, base + offset + 16 + 8 * i)
            yield ident, target

    resources = {}
    for kind, kind_target in entries(0):
        for ident, ident_target in entries(kind_target & 0x7FFFFFFF):
            _, lang_target = next(entries(ident_target & 0x7FFFFFFF))
            rva, size = struct.unpack_from('<II', data, base + lang_target)
            resources[(kind, ident)] = data[rva + to_file:rva + to_file + size]
    return resources


def check_imports(config, exe, subsystem_wanted):
    """`exe` imports system DLLs only and is of the subsystem wanted (2 GUI,
    3 console); returns the DLLs."""
    headers = subprocess.run([config.tool('objdump'), '-p', str(exe)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, timeout=60, check=True).stdout
    dlls = re.findall(r'DLL Name:\s*(\S+)', headers)
    check(dlls, f'objdump lists no imported DLL of {exe.name}')
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
    check(not foreign, f'{exe.name} needs DLLs that are not part of Windows: {foreign}')
    subsystem = re.search(r'^Subsystem\s+([0-9a-fA-F]+)', headers, re.MULTILINE)
    check(subsystem is not None and int(subsystem.group(1), 16) == subsystem_wanted,
          f'{exe.name}: subsystem {subsystem.group(0) if subsystem else "none"}, '
          f'not {subsystem_wanted}')
    return dlls


def hygiene(config):
    tool_dlls = check_imports(config, config.updater_tool, 3)
    print(f'updater-tool.exe: imports {", ".join(tool_dlls)}; console')
    exe = config.updater
    dlls = check_imports(config, exe, 2)
    # Every other DLL is loaded when first needed, so a start with nothing to
    # do loads these alone.
    check_equal(sorted(d.lower() for d in dlls), ['kernel32.dll', 'msvcrt.dll'],
                'DLLs updater.exe imports')

    resources = pe_resources(exe.read_bytes())
    manifest = resources.get((24, 1))
    check(manifest is not None, 'no application manifest (RT_MANIFEST 1)')
    text = manifest.decode('utf-8')
    check(re.search(r'<requestedExecutionLevel\s+level="asInvoker"', text) is not None,
          'the manifest does not ask to run asInvoker')
    check('activeCodePage' not in text, 'the manifest sets activeCodePage')
    version = resources.get((16, 1))
    check(version is not None, 'no version resource (RT_VERSION 1)')
    check(version[6:6 + 30] == 'VS_VERSION_INFO'.encode('utf-16-le'),
          'the version resource does not start with VS_VERSION_INFO')
    print(f'updater.exe: imports {", ".join(dlls)}; GUI; manifest asInvoker; version resource')


# --- Command line ------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--config', type=Path)
    parser.add_argument('command', choices=['list', 'setup', 'cleanup', 'scenario', 'all',
                                            'hygiene', 'selftest'])
    parser.add_argument('names', nargs='*')
    args = parser.parse_args()
    if args.command == 'list':
        print('\n'.join(SCENARIOS))
        return 0
    if args.config is None:
        parser.error('--config is needed')
    config = Config(args.config)
    try:
        if args.command == 'setup':
            setup(config)
        elif args.command == 'cleanup':
            cleanup(config)
        elif args.command == 'hygiene':
            hygiene(config)
        elif args.command == 'scenario':
            unknown = [n for n in args.names if n not in SCENARIOS]
            if unknown or not args.names:
                parser.error(f'scenario names needed, from: {", ".join(SCENARIOS)}')
            for name in args.names:
                run_scenario(config, name)
        elif args.command == 'selftest':
            selftest(config)
        else:
            setup(config)
            failed = []
            try:
                for name in SCENARIOS:
                    try:
                        run_scenario(config, name)
                    except Failure as failure:
                        print(f'{name}: FAILED: {failure}', file=sys.stderr)
                        failed.append(name)
                    except Skipped:
                        failed.append(name)
            finally:
                cleanup(config)
            if failed:
                raise Failure(f'{len(failed)} scenario(s) failed: {", ".join(failed)}')
    except Failure as failure:
        print(f'FAILED: {failure}', file=sys.stderr)
        return 1
    except Skipped as skipped:
        print(skipped, file=sys.stderr)
        return SKIP_CODE
    return 0


if __name__ == '__main__':
    sys.exit(main())
