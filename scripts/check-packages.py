#!/usr/bin/python3
"""Fails when the build, the tests or the scripts use a Debian package that a fresh machine would lack.

A fresh Debian 12 has its minimal base (the packages of priority "required", the essential ones and
what they depend on) and then what `apt-get install --no-install-recommends` of the package lists
(every scripts/*packages*.txt) brings; apt-get's own resolver works that out, simulating the install
against an empty package state. What is used, each mapped to its package by `dpkg-query -S`:
  - every header in the dependency records (`ninja -t deps`) of every Ninja build folder in the
    clone, the cross-built ones included, every program named by path in its build commands
    (`ninja -t commands`) and the tools CMake found for it (CMAKE_* and *_EXECUTABLE entries of
    its CMakeCache.txt; its other entries are optional finds);
  - every program that the scripts, the tests, the program's own code and the CMake files start:
    the command words of shell code (scripts, `sh -c` texts, CMake COMMANDs), the programs that
    C++ code starts by name or absolute path, `find_program` names; each looked up with
    `command -v` does, on the PATH of Debian's own folders (not /usr/local);
  - every module that the Python test servers import.
Files outside /usr (the build tree, the clone, caches such as a cross-built Qt) and below
/usr/local belong to no package and are left out. Run it after a build; it exits 1 naming each
missing package and what needs it, 0 when everything is covered; --list also shows each package used.
"""
import ast
import fnmatch
import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), '..'))
# Outside the two commands: benchmarks (built only with QUILLON_BENCH, run by hand beside peer
# tools) and the maintainer's picture-drawing script (its pictures are checked in).
NOT_SCANNED = {'.git', 'bench', 'resources'}
DEBIAN_PATH = '/usr/sbin:/usr/bin:/sbin:/bin'


def relative(path):
    return os.path.relpath(path, ROOT)


# ---- What the clone holds ----------------------------------------------------------------------

def ignored_patterns():
    try:
        with open(os.path.join(ROOT, '.gitignore')) as file:
            return [line.strip().strip('/') for line in file if line.strip() and not line.startswith('#')]
    except OSError:
        return []


def source_files():
    patterns = ignored_patterns()
    for folder, subfolders, files in os.walk(ROOT):
        subfolders[:] = [name for name in subfolders
                         if not (folder == ROOT and name in NOT_SCANNED)
                         and not any(fnmatch.fnmatch(name, pattern) for pattern in patterns)
                         and not os.path.exists(os.path.join(folder, name, 'CMakeCache.txt'))]
        for name in files:
            yield os.path.join(folder, name)


def build_folders():
    for folder, subfolders, files in os.walk(ROOT):
        subfolders[:] = [name for name in subfolders if name != '.git']
        if '.ninja_deps' in files:
            yield folder


def packaged_path(path):
    """True for paths that a Debian package may own."""
    return path.startswith('/usr/') and not path.startswith('/usr/local/') and not path.startswith(ROOT + '/')


# ---- Headers and CMake's findings --------------------------------------------------------------

def build_files(uses):
    folders = list(build_folders())
    if not folders:
        sys.exit('check-packages: no Ninja build folder below %s: build first' % ROOT)
    for folder in folders:
        records = subprocess.run(['ninja', '-C', folder, '-t', 'deps'], capture_output=True,
                                 text=True, check=True).stdout
        for line in records.splitlines():
            if line.startswith('    '):
                path = os.path.normpath(os.path.join(folder, line.strip()))
                if packaged_path(path):
                    uses[path].add(relative(folder))
        commands = subprocess.run(['ninja', '-C', folder, '-t', 'commands'], capture_output=True,
                                  text=True, check=True).stdout
        for command in re.split(r'\n| && ', commands):
            program = command.split(' ', 1)[0]
            if packaged_path(program):
                uses[program].add(relative(folder))
        cache = os.path.join(folder, 'CMakeCache.txt')
        if os.path.exists(cache):
            with open(cache) as file:
                for line in file:
                    match = re.match(r'(?:CMAKE_\w+|\w+_EXECUTABLE):FILEPATH=(/.*)$', line.rstrip('\n'))
                    if match and packaged_path(match.group(1)) and os.path.exists(match.group(1)):
                        uses[os.path.normpath(match.group(1))].add(relative(cache))
    return folders


# ---- Programs ------------------------------------------------------------------------------------

SHELL_WORDS = set(subprocess.run(['bash', '-c', 'compgen -b; compgen -k'], capture_output=True,
                                 text=True).stdout.split())
# Words after which a shell word is again a command.
COMMAND_STARTS = {'{', '}', '!', 'then', 'do', 'else', 'elif', 'if', 'while', 'until', 'exec', 'time', 'nohup',
                  'xargs', 'env', 'setsid', '-exec', '-execdir'}
# Commands whose further words name programs to look up.
LOOK_UPS = {'command', 'type', 'which', 'hash'}
# Shells whose -c text is code too.
SHELLS = {'sh', 'bash', 'dash', '/bin/sh', '/bin/bash', 'su', 'runuser'}


def without_comment(line):
    """The line up to a # that starts a word outside quotes."""
    for match in re.finditer(r'(?:^|[ \t;])#', line):
        before = re.sub(r'\\.', '', line[:match.start()])
        if before.count("'") % 2 == 0 and before.count('"') % 2 == 0:
            return line[:match.start()]
    return line


def code_lines(code):
    """The shell code without comments and here-document texts."""
    kept, end = [], None
    for line in code.split('\n'):
        if end is not None:
            if line.strip() == end:
                end = None
            continue
        line = without_comment(line)
        kept.append(line)
        match = re.search(r"<<-?\s*['\"]?(\w+)['\"]?", line)
        if match and '<<<' not in line:
            end = match.group(1)
    return '\n'.join(kept)


PROGRAM_NAME = r'(?=.*[A-Za-z])[\w./+][\w./+-]*'


def substitution(text, start, backquoted):
    """The code of a command substitution that opens at text[start]."""
    if backquoted:
        return text[start:].split('`', 1)[0]
    depth = 1
    for index in range(start, len(text)):
        depth += {'(': 1, ')': -1}.get(text[index], 0)
        if depth == 0:
            return text[start:index]
    return text[start:]


def separator(token):
    """A run of ; & | ( ) and line ends, as the lexer returns it (redirections hold < or >)."""
    return all(c in ';&|()\n' for c in token)


def shell_commands(code):
    """The command words of a piece of shell code, with those of the code it hands on."""
    code = code_lines(code).replace('\\\n', ' ')
    lexer = shlex.shlex(code, posix=True, punctuation_chars=';&|()<>\n')
    lexer.whitespace = ' \t\r'
    lexer.commenters = ''
    lexer.wordchars += '+'
    tokens = []
    try:
        for token in lexer:
            tokens.append(token)
    except ValueError:  # an unbalanced quote: keep what was read
        pass
    words, before, previous, command, looking_up, arithmetic = [], '', '\n', '', False, False
    for token in tokens:
        if arithmetic or (previous == '$' and token.startswith('((')):
            arithmetic = '))' not in token
            before, previous = previous, '$((...))'
            continue
        for start in re.finditer(r'\$\((?!\()|`', token):
            words += shell_commands(substitution(token, start.end(), start.group() == '`'))
        if previous == '-c' and command in SHELLS:
            words += shell_commands(token)
        if separator(token) or token in COMMAND_STARTS:
            looking_up = False
        elif (separator(previous) or previous in COMMAND_STARTS) and not (previous == '{' and before in ('$', 'exec')):
            command = token
            if token in LOOK_UPS:
                looking_up = True
            elif re.fullmatch(PROGRAM_NAME, token) and token not in SHELL_WORDS:
                words.append(token)
        elif looking_up and re.fullmatch(PROGRAM_NAME, token):
            words.append(token)
        before, previous = previous, token
    return words


def literals(code):
    return [bytes(text, 'utf-8').decode('unicode_escape') for text in
            re.findall(r'"((?:[^"\\\n]|\\.)*)"', code)]


def cpp_programs(code):
    names = [text for text in literals(code) if text.startswith('/')]
    names += re.findall(r'\b(?:start|execute|startDetached|setProgram|findExecutable|startProgram)\s*\(\s*'
                        r'(?:QStringLiteral\s*\(\s*|QString\s*\(\s*)?"([^"\\]+)"', code)
    for code_text in re.findall(r'"-c"\s*,\s*"((?:[^"\\]|\\.)*)"', code):
        names += shell_commands(bytes(code_text, 'utf-8').decode('unicode_escape'))
    return names


def cmake_programs(code):
    code = re.sub(r'#.*', '', code)
    names = re.findall(r'\bCOMMAND\s+"?([\w./+-]+)', code)
    for listed in re.findall(r'find_program\s*\(\s*\w+\s+NAMES\s+([^)]*)\)', code):
        names += [name for name in re.split(r'\b(?:PATHS|HINTS|DOC|REQUIRED|NO_\w+)\b', listed)[0].split()
                  if '$' not in name]
    for code_text in re.findall(r'\bsh\s+-c\s+"((?:[^"\\]|\\.)*)"', code):
        names += shell_commands(code_text)
    return names


def python_modules(path, code):
    try:
        tree = ast.parse(code)
    except SyntaxError:
        return []
    modules = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            modules.update(alias.name.split('.')[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            modules.add(node.module.split('.')[0])
    found = []
    for module in sorted(modules):
        if os.path.exists(os.path.join(os.path.dirname(path), module + '.py')):
            continue  # the project's own
        module_info = importlib.util.find_spec(module)
        if module_info is None:
            found.append((module, None))
        elif module_info.origin and module_info.origin.startswith('/'):
            found.append((module, module_info.origin))
    return found


def program_files(uses, unknown):
    own_names = {name for _, _, files in os.walk(ROOT) for name in files}
    for path in source_files():
        name = os.path.basename(path)
        try:
            with open(path, encoding='utf-8', errors='replace') as file:
                code = file.read()
        except OSError:
            continue
        first = code.split('\n', 1)[0]
        shebang = first[2:].split() if first.startswith('#!') else []
        if name.endswith(('.cpp', '.h', '.hpp', '.cc')):
            names = cpp_programs(code)
        elif name == 'CMakeLists.txt' or name.endswith('.cmake'):
            names = cmake_programs(code)
        elif name.endswith('.py') or (shebang and 'python' in shebang[0]):
            names = shebang[:1]
            for module, origin in python_modules(path, code):
                if origin is None:
                    unknown['Python module ' + module].add(relative(path))
                elif packaged_path(origin):
                    uses[origin].add(relative(path))
        elif name.endswith('.sh') or (shebang and os.path.basename(shebang[0]) in ('sh', 'bash', 'dash')):
            # Its own functions and those of the files beside it that it sources.
            sourced = re.findall(r'(?m)^\s*\.\s+.*/([\w.-]+\.sh)"?\s*$', code)
            for helper in sourced:
                try:
                    with open(os.path.join(os.path.dirname(path), helper), encoding='utf-8') as file:
                        code += '\n' + file.read()
                except OSError:
                    pass
            functions = re.findall(r'(?m)^\s*(?:function\s+)?([\w-]+)\s*\(\)', code)
            names = shebang[:1] + [word for word in shell_commands(code) if word not in functions]
        else:
            continue
        for program in set(names):
            if program.startswith('/'):
                if not (os.path.isfile(program) and os.access(program, os.X_OK)) or not (
                        packaged_path(program) or packaged_path(merged_alias(program))):
                    continue  # a data file named by its path, a program of another system, or /usr/local
                found = program
            elif '/' in program:
                continue  # the project's own programs
            else:
                found = shutil.which(program, path=DEBIAN_PATH)
            if found is not None:
                uses[found].add(relative(path) + ' (' + program + ')')
            elif program not in own_names:
                unknown['program ' + program].add(relative(path))


# ---- Packages ------------------------------------------------------------------------------------

def merged_alias(path):
    """The other name of a path under Debian's merged /usr: /bin/sh and /usr/bin/sh."""
    for top in ('/bin/', '/sbin/', '/lib/', '/lib64/'):
        if path.startswith(top):
            return '/usr' + path
        if path.startswith('/usr' + top):
            return path[4:]
    return path


def owners(paths):
    """Path to the set of packages that own it, by dpkg-query -S, in batches."""
    found = defaultdict(set)
    paths = sorted(paths)
    for start in range(0, len(paths), 500):
        answer = subprocess.run(['dpkg-query', '-S'] + paths[start:start + 500], capture_output=True,
                                text=True).stdout
        for line in answer.splitlines():
            if line.startswith('diversion by'):
                continue
            packages, _, path = line.partition(': ')
            found[path].update(package.strip().split(':')[0] for package in packages.split(','))
    return found


def owning_packages(uses):
    """Maps each used path to its owners, trying its merged-/usr and resolved names when needed."""
    names = {path: [path, merged_alias(path), os.path.realpath(path), merged_alias(os.path.realpath(path))]
             for path in uses}
    first = owners(set(uses))
    rest = {name for path, tries in names.items() if path not in first for name in tries[1:]}
    second = owners(rest)
    result = {}
    for path, tries in names.items():
        for name in tries:
            packages = first.get(name) or second.get(name)
            if packages:
                result[path] = packages
                break
    return result


def listed_packages():
    listed, lists = set(), []
    folder = os.path.join(ROOT, 'scripts')
    for name in sorted(os.listdir(folder)):
        if 'packages' in name and name.endswith('.txt'):
            lists.append('scripts/' + name)
            with open(os.path.join(folder, name)) as file:
                listed.update(file.read().split())
    return listed, lists


def fresh_machine_packages(listed):
    """Every package a bare Debian 12 has after installing the lists, by apt-get's resolver."""
    with tempfile.NamedTemporaryFile() as empty_state:
        command = ['apt-get', '-s', '-o', 'Dir::State::status=' + empty_state.name,
                   '-o', 'APT::Install-Recommends=false', 'install', '?priority(required)', '?essential']
        command += sorted(listed)
        environment = dict(os.environ, LC_ALL='C')
        run = subprocess.run(command, capture_output=True, text=True, env=environment)
        if run.returncode != 0 and os.geteuid() == 0:
            # The package index may be missing or old on a machine that had nothing to install.
            subprocess.run(['apt-get', 'update', '-qq'], check=False)
            run = subprocess.run(command, capture_output=True, text=True, env=environment)
    if run.returncode != 0:
        sys.exit('check-packages: apt-get cannot install the package lists on a fresh machine:\n' +
                 run.stdout[-2000:] + run.stderr)
    return {line.split()[1] for line in run.stdout.splitlines() if line.startswith('Inst ')}


def main():
    uses, unknown = defaultdict(set), defaultdict(set)
    folders = build_files(uses)
    program_files(uses, unknown)
    packages = owning_packages(uses)
    listed, lists = listed_packages()
    fresh = fresh_machine_packages(listed)

    missing, unowned = defaultdict(list), []
    for path in sorted(uses):
        owned_by = packages.get(path)
        if owned_by is None:
            unowned.append(path)
        elif not owned_by & fresh:
            missing[', '.join(sorted(owned_by))].append(path)
    for name, users in sorted(unknown.items()):
        print('check-packages: note: %s (%s) is on no PATH of Debian\'s own folders here: no package to name'
              % (name, ', '.join(sorted(users))))
    for path in unowned:
        print('check-packages: note: %s (%s) belongs to no package' % (path, ', '.join(sorted(uses[path]))))
    used = set().union(*packages.values()) if packages else set()
    if '--list' in sys.argv:
        by_package = defaultdict(list)
        for path, owned_by in packages.items():
            by_package[', '.join(sorted(owned_by))].append(path)
        for owned_by, paths in sorted(by_package.items()):
            print('  %s: %d, such as %s' % (owned_by, len(paths), ', '.join(sorted(paths)[:2])))
    print('check-packages: %d files and programs used by %d build folders and the scripts and tests, '
          'from %d packages; a fresh machine with %s has %d packages'
          % (len(uses), len(folders), len(used), ' and '.join(lists), len(fresh)))
    for owned_by, paths in sorted(missing.items()):
        shown = ', '.join('%s (%s)' % (path, ', '.join(sorted(uses[path])[:2])) for path in paths[:3])
        more = ' and %d more' % (len(paths) - 3) if len(paths) > 3 else ''
        print('check-packages: MISSING %s: in no package list and pulled in by none; needed for %s%s'
              % (owned_by, shown, more))
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
