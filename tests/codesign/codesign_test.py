#!/usr/bin/env python3
"""Tests of the Authenticode signing of the Windows programs, and of their
reproducible build.

    codesign_test.py ARGS options   the signing options refused at configure time
    codesign_test.py ARGS build     a second, signed build of updater.exe and
                                    updater-tool.exe from a copy of the source
    codesign_test.py ARGS check     its signatures, their failures, its size and
                                    imports, and its bytes against the first build
    codesign_test.py ARGS token     the signing step with a key on a PKCS#11 token
                                    (SoftHSM)

The certificates are a throwaway root and code-signing certificate made with
openssl each time (test keys only). ARGS are written by CMake
(tests/codesign/CMakeLists.txt). Standard library only.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

PASSWORD = 'test-only-password'
PASSWORD_VAR = 'UPDATER_CODESIGN_TEST_PASSWORD'
URL = 'https://zorbe.example/opdatering'
MAX_UPDATER_SIZE = 256 * 1024
# The SoftHSM token of the token test, and its key.
SOFTHSM_MODULE = Path('/usr/lib/softhsm/libsofthsm2.so')
TOKEN_KEY = 'pkcs11:token=updater-test;object=codesign;type=private'


class Failure(Exception):
    """A check that did not hold; the message says what was seen."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(args, env=None, cwd=None, stdin=None):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd,
                          input=stdin, env=dict(os.environ, **(env or {})), check=False)


def make_certificates(folder):
    """A throwaway root, and a code-signing certificate it issued, as a
    PKCS#12 file with PASSWORD; also a second root that issued nothing.
    Returns (p12, root, other_root)."""
    folder.mkdir(parents=True, exist_ok=True)
    ext = folder / 'codesign.ext'
    ext.write_text('basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n'
                   'extendedKeyUsage=codeSigning\n')
    for name in ('root', 'other-root'):
        done = run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '3',
                    '-subj', f'/CN=Updater test {name} (throwaway)', '-keyout',
                    folder / f'{name}.key', '-out', folder / f'{name}.pem'])
        check(done.returncode == 0, f'openssl req: {done.stderr}')
    steps = [
        ['openssl', 'req', '-newkey', 'rsa:2048', '-nodes', '-subj',
         '/CN=Updater test signer (throwaway)', '-keyout', folder / 'signer.key', '-out',
         folder / 'signer.csr'],
        ['openssl', 'x509', '-req', '-in', folder / 'signer.csr', '-CA', folder / 'root.pem',
         '-CAkey', folder / 'root.key', '-set_serial', '2', '-days', '3', '-extfile', ext,
         '-out', folder / 'signer.pem'],
        ['openssl', 'pkcs12', '-export', '-in', folder / 'signer.pem', '-inkey',
         folder / 'signer.key', '-certfile', folder / 'root.pem', '-passout',
         'pass:' + PASSWORD, '-out', folder / 'signer.p12'],
    ]
    for step in steps:
        done = run(step)
        check(done.returncode == 0, f'{step[1]}: {done.stderr}')
    return folder / 'signer.p12', folder / 'root.pem', folder / 'other-root.pem'


def configure(args, build, source, options):
    """Configures the programs alone (no tests) in `build`; every signing
    option is given, so that none is left over from an earlier case."""
    values = {
        'UPDATER_CODESIGN_PKCS12': '', 'UPDATER_CODESIGN_PKCS11_MODULE': '',
        'UPDATER_CODESIGN_PKCS11_KEY': '', 'UPDATER_CODESIGN_PKCS11_CERT': '',
        'UPDATER_CODESIGN_URL': '', 'UPDATER_CODESIGN_TIMESTAMP_URL': '',
        'UPDATER_CODESIGN_PASSWORD_VAR': PASSWORD_VAR,
    }
    values.update(options)
    return run([args.cmake, '-S', source, '-B', build, '-G', 'Ninja', '--toolchain',
                args.toolchain, '-DCMAKE_BUILD_TYPE=MinSizeRel', '-DUPDATER_BUILD_TESTS=OFF',
                '-UUPDATER_CODESIGN_PASSWORD'] + [f'-D{k}={v}' for k, v in values.items()])


def options(args):
    """Signing options given by half, or wrongly, stop the configuration
    with a message that names the fault."""
    work = args.work / 'options'
    shutil.rmtree(work, ignore_errors=True)
    p12, root, _ = make_certificates(work / 'pki')
    good = {'UPDATER_CODESIGN_PKCS12': p12, 'UPDATER_CODESIGN_URL': URL,
            'UPDATER_CODESIGN_CA_FILE': root}
    refused = {
        'PKCS#12 file missing': (dict(good, UPDATER_CODESIGN_PKCS12=work / 'none.p12'),
                                 'does not exist'),
        'PKCS#12 and a token': (dict(good, UPDATER_CODESIGN_PKCS11_MODULE=p12),
                                'not both'),
        'token module without key and certificate': (
            {'UPDATER_CODESIGN_PKCS11_MODULE': p12, 'UPDATER_CODESIGN_URL': URL},
            'needs all of'),
        'token key not a PKCS#11 URI': (
            {'UPDATER_CODESIGN_PKCS11_MODULE': p12, 'UPDATER_CODESIGN_PKCS11_KEY': 'key.pem',
             'UPDATER_CODESIGN_PKCS11_CERT': root, 'UPDATER_CODESIGN_URL': URL},
            'must be a PKCS#11 URI'),
        'no maker address': (dict(good, UPDATER_CODESIGN_URL=''), "maker's address"),
        'password in the cache': (dict(good, UPDATER_CODESIGN_PASSWORD=PASSWORD),
                                  'Do not give the signing password to CMake'),
        'password variable not a name': (dict(good, UPDATER_CODESIGN_PASSWORD_VAR='a b'),
                                         'must name an environment variable'),
        'timestamp server not a web address': (
            dict(good, UPDATER_CODESIGN_TIMESTAMP_URL='tsa.example'), 'http:// or https://'),
        'root certificates missing': (dict(good, UPDATER_CODESIGN_CA_FILE=work / 'none.pem'),
                                      'does not exist'),
    }
    build = work / 'build'
    done = configure(args, build, args.source, good)
    check(done.returncode == 0, f'the configuration with a PKCS#12 file failed: {done.stderr}')
    check('are signed' in done.stdout, 'a configuration with a key did not say it signs')
    for case, (given, message) in refused.items():
        done = configure(args, build, args.source, given)
        check(done.returncode != 0, f'{case}: the configuration went through')
        said = ' '.join(done.stderr.split())  # CMake wraps its messages
        check(message in said, f'{case}: the message lacks "{message}": {done.stderr}')
        cache = (build / 'CMakeCache.txt').read_text(errors='replace')
        check(PASSWORD not in cache, f'{case}: the password is in CMakeCache.txt')
    done = configure(args, build, args.source, {
        'UPDATER_CODESIGN_PKCS11_MODULE': p12, 'UPDATER_CODESIGN_PKCS11_KEY': TOKEN_KEY,
        'UPDATER_CODESIGN_PKCS11_CERT': root, 'UPDATER_CODESIGN_URL': URL,
        'UPDATER_CODESIGN_CA_FILE': root})
    check(done.returncode == 0 and 'are signed' in done.stdout,
          f'a whole token configuration is refused: {done.stdout}{done.stderr}')
    done = configure(args, build, args.source, {'UPDATER_CODESIGN_CA_FILE': root})
    check(done.returncode == 0 and 'are signed' not in done.stdout,
          f'without a key the build is not unsigned: {done.stdout}{done.stderr}')
    shutil.rmtree(work, ignore_errors=True)
    print(f'options: {len(refused)} faulty signing configurations refused')


def signed_paths(args):
    build = args.work / 'build'
    return build / 'updater.exe', build / 'tool' / 'updater-tool.exe'


def build(args):
    """Copies the source to a folder of its own and builds the two programs
    there: unsigned first, which must give the bytes of the first build;
    then configured to sign with the throwaway certificate, first with an
    empty password, which must fail and leave no program (not the unsigned
    one of before either), then with the password."""
    shutil.rmtree(args.work, ignore_errors=True)
    p12, root, _ = make_certificates(args.work / 'pki')
    source = args.work / 'source'
    for part in ('CMakeLists.txt', 'cmake', 'src', 'tool', 'bench'):
        origin = args.source / part
        if origin.is_dir():
            shutil.copytree(origin, source / part)
        else:
            source.mkdir(parents=True, exist_ok=True)
            shutil.copy2(origin, source / part)
    folder = args.work / 'build'
    targets = [args.cmake, '--build', folder, '--target', 'updater', 'updater-tool']
    done = configure(args, folder, source, {})
    check(done.returncode == 0, f'configuration failed: {done.stdout}{done.stderr}')
    done = run(targets)
    check(done.returncode == 0, f'the unsigned build failed: {done.stdout}{done.stderr}')
    for mine, first in zip(signed_paths(args), (args.updater, args.tool)):
        check(mine.read_bytes() == first.read_bytes(),
              f'{mine} differs from {first}: the build is not reproducible')

    done = configure(args, folder, source, {'UPDATER_CODESIGN_PKCS12': p12,
                                            'UPDATER_CODESIGN_URL': URL,
                                            'UPDATER_CODESIGN_CA_FILE': root})
    check(done.returncode == 0, f'configuration failed: {done.stdout}{done.stderr}')
    # Ninja goes on after the first failure (-k 0), so that both programs
    # are tried.
    done = run(targets + ['--', '-k', '0'], env={PASSWORD_VAR: ''})
    check(done.returncode != 0, 'the build went through with an empty password variable')
    check('is not set or empty' in done.stdout + done.stderr,
          f'the failed build does not say why: {done.stdout}')
    for program in signed_paths(args):
        check(not program.exists(), f'{program.name} is left unsigned after the failed signing')
    done = run(targets, env={PASSWORD_VAR: PASSWORD})
    check(done.returncode == 0, f'the signed build failed: {done.stdout}{done.stderr}')
    print('build: the same bytes as the first build in another folder; signed once the key is '
          'given; without the password the build fails and leaves no program')


def verify(args, program, root):
    return run([args.osslsigncode, 'verify', '-in', program, '-CAfile', root, '-ignore-cdp'])


def sign_script(args, program, env, key=None, pki=None):
    """Runs the build's signing step on `program` with the throwaway key
    (the PKCS#12 file unless `key` gives other options), in the environment
    `env` (whole)."""
    pki = pki or args.work / 'pki'
    key = key or ['--pkcs12', str(pki / 'signer.p12')]
    return subprocess.run(['bash', str(args.source / 'cmake' / 'codesign.sh'), '--osslsigncode',
                           str(args.osslsigncode), '--password-var', PASSWORD_VAR, '--name',
                           'Test', '--url', URL, '--ca-file', str(pki / 'root.pem')] + key +
                          [str(program)], capture_output=True, text=True, env=env, check=False)


def imports(args, program):
    headers = run([args.objdump, '-p', program]).stdout
    return sorted(d.lower() for d in re.findall(r'DLL Name:\s*(\S+)', headers))


def check_signed(args):
    pki = args.work / 'pki'
    root, other_root = pki / 'root.pem', pki / 'other-root.pem'
    scratch = args.work / 'scratch'
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir()
    updater, tool = signed_paths(args)
    names = {updater: 'Zorbe IT Opdatering', tool: 'Zorbe IT updater-tool'}
    unsigned = {updater: args.updater, tool: args.tool}
    for program in (updater, tool):
        done = verify(args, program, root)
        check(done.returncode == 0, f'{program.name} does not verify: {done.stdout}')
        for wanted in ('SHA256', f'Text description: {names[program]}',
                       f'URL description: {URL}'):
            check(wanted in done.stdout, f'{program.name}: "{wanted}" not in its signature')
        check(verify(args, program, other_root).returncode != 0,
              f'{program.name} verifies against a root that issued nothing')
        # One changed byte, in the code or in the signature, and it fails.
        data = program.read_bytes()
        for where, offset in (('code', 0x1000), ('signature', len(data) - 600)):
            changed = scratch / f'{where}-{program.name}'
            changed.write_bytes(data[:offset] + bytes([data[offset] ^ 1]) + data[offset + 1:])
            check(verify(args, changed, root).returncode != 0,
                  f'{program.name} still verifies with a byte of its {where} changed')
        # Detachable: the signature taken off gives the unsigned program of
        # the other build, and put on that program gives this one.
        stripped = scratch / f'stripped-{program.name}'
        done = run([args.osslsigncode, 'remove-signature', '-in', program, '-out', stripped])
        check(done.returncode == 0, f'remove-signature: {done.stdout}{done.stderr}')
        check(stripped.read_bytes() == unsigned[program].read_bytes(),
              f'{program.name} less its signature differs from {unsigned[program]}: '
              'the build is not reproducible')
        signature = scratch / f'{program.name}.p7'
        attached = scratch / f'attached-{program.name}'
        done = run([args.osslsigncode, 'extract-signature', '-in', program, '-out', signature])
        check(done.returncode == 0, f'extract-signature: {done.stdout}{done.stderr}')
        done = run([args.osslsigncode, 'attach-signature', '-sigin', signature, '-CAfile', root,
                    '-in', unsigned[program], '-out', attached])
        check(done.returncode == 0, f'attach-signature: {done.stdout}{done.stderr}')
        check(attached.read_bytes() == data,
              f'{unsigned[program]} with the signature attached differs from {program}')
    size = updater.stat().st_size
    check(size <= MAX_UPDATER_SIZE, f'the signed updater.exe has {size} bytes, over 256 KiB')
    check(imports(args, updater) == ['kernel32.dll', 'msvcrt.dll'],
          f'the signed updater.exe imports {imports(args, updater)}')

    # The signing step itself, on copies: a password that is missing, empty
    # or wrong fails, and the program is removed rather than left unsigned.
    cases = {'variable unset': None, 'variable empty': '', 'wrong password': 'wrong'}
    for case, password in cases.items():
        copy = scratch / 'copy.exe'
        shutil.copy2(args.updater, copy)
        env = dict(os.environ)
        env.pop(PASSWORD_VAR, None)
        if password is not None:
            env[PASSWORD_VAR] = password
        done = sign_script(args, copy, env)
        check(done.returncode != 0, f'signing with the {case} went through')
        check(not copy.exists(), f'signing with the {case} left the unsigned program')
    shutil.rmtree(scratch, ignore_errors=True)
    print(f'check: signatures verify, fail on one changed byte and on a foreign root; '
          f'signed updater.exe {size} bytes, imports kernel32 and msvcrt; byte-identical to '
          f'the first build less the signature')


def token(args):
    """The throwaway key on a SoftHSM token of its own: the signing step
    signs with it through the PKCS#11 module and the PIN from the
    environment, and a wrong PIN fails and leaves no program."""
    work = args.work.parent / 'codesign-token'
    shutil.rmtree(work, ignore_errors=True)
    pki = work / 'pki'
    make_certificates(pki)
    check(SOFTHSM_MODULE.is_file() and shutil.which('softhsm2-util'),
          'SoftHSM is not installed (packages softhsm2, libengine-pkcs11-openssl; see scripts/test)')
    (work / 'tokens').mkdir()
    config = work / 'softhsm2.conf'
    config.write_text(f'directories.tokendir = {work / "tokens"}\nobjectstore.backend = file\n')
    env = dict(os.environ, SOFTHSM2_CONF=str(config))
    pin = '4711'
    done = run(['openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', pki / 'signer.key', '-out',
                pki / 'signer.p8'])
    check(done.returncode == 0, f'openssl pkcs8: {done.stderr}')
    for step in (['--init-token', '--free', '--label', 'updater-test', '--pin', pin,
                  '--so-pin', '0000'],
                 ['--import', pki / 'signer.p8', '--token', 'updater-test', '--label',
                  'codesign', '--id', '01', '--pin', pin]):
        done = run(['softhsm2-util'] + step, env=env)
        check(done.returncode == 0, f'softhsm2-util: {done.stdout}{done.stderr}')
    key = ['--pkcs11-module', str(SOFTHSM_MODULE), '--pkcs11-key', TOKEN_KEY,
           '--pkcs11-cert', str(pki / 'signer.pem')]
    outcomes = {}
    for case, given in (('right PIN', pin), ('wrong PIN', '1234'), ('no PIN', '')):
        program = work / 'updater.exe'
        shutil.copy2(args.updater, program)
        done = sign_script(args, program, dict(env, **{PASSWORD_VAR: given}), key, pki)
        signed = program.exists() and verify(args, program, pki / 'root.pem').returncode == 0
        outcomes[case] = (done.returncode == 0, signed, program.exists())
    check(outcomes == {'right PIN': (True, True, True), 'wrong PIN': (False, False, False),
                       'no PIN': (False, False, False)},
          f'signing with the token (went through, verifies, program left): {outcomes}')
    shutil.rmtree(work, ignore_errors=True)
    print('token: signed through PKCS#11 with the PIN; a wrong or missing PIN leaves no program')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    for name in ('source', 'work', 'toolchain', 'cmake', 'osslsigncode', 'objdump', 'updater',
                 'tool'):
        parser.add_argument('--' + name, type=Path, required=True)
    parser.add_argument('command', choices=['options', 'build', 'check', 'token'])
    args = parser.parse_args()
    try:
        {'options': options, 'build': build, 'check': check_signed,
         'token': token}[args.command](args)
    except Failure as failure:
        print(f'FAILED: {failure}', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
