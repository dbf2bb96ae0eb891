#!/usr/bin/python3
"""An SFTP server on loopback for the transfer tests, serving --root DIR as "/", with fault switches (--help).

Once it listens it prints "PORT <n>" and "FINGERPRINT SHA256:..." and serves until its standard input closes.
"""

import argparse
import asyncio
import os
import re
import sys
import warnings

warnings.simplefilter('ignore')  # asyncssh's imports warn about old ciphers on stderr
import asyncssh  # noqa: E402

SWITCHES = [
    ('--drop-after', int, 'cut the connection once N bytes of file data were sent'),
    ('--stall-after', int, 'answer nothing more once N bytes of file data were sent'),
    ('--faults-once', bool, '--drop-after and --stall-after strike the first connection only'),
    ('--max-read', int, 'answer every read with at most N bytes'),
    ('--fail-open', str, 'opening a file whose server path matches REGEX is refused'),
    ('--stall-listing', str, 'listing a folder whose server path matches REGEX is never answered'),
    ('--read-error-after', int, 'reads at offset >= N fail with an SFTP failure (the session stays)'),
    ('--read-error-match', str, 'limit --read-error-after to server paths matching REGEX'),
    ('--extra-entry', list, 'DIR|NAME|SIZE: list a file NAME no file system can hold in DIR; repeatable'),
    ('--open-delay-ms', int, 'wait N ms before answering each open'),
    ('--log-listings', str, 'append the server path of every folder listed to FILE'),
    ('--log-reads', str, 'append the server path and byte count of every read answered to FILE'),
    ('--stop-file', str, 'serve until FILE is removed (Wine starts Linux programs without pipes)'),
    ('--protocol-fault', str, 'break SFTP once, on the first READDIR (READ for extra-data) of a path '
                              'matching --fault-path: unknown-id, oversized, length-past-packet, name-count, '
                              'attrs-past-packet, nul-name, wrong-type, extra-data, endless-listing, '
                              'empty-listing, listing-error, version (INIT answered with 4)'),
    ('--fault-path', str, 'where --protocol-fault strikes (default: everywhere)'),
]


def parse_args():
    parser = argparse.ArgumentParser()
    for name in ('--root', '--user', '--password'):
        parser.add_argument(name, required=True)
    options = {bool: {'action': 'store_true'}, list: {'action': 'append', 'default': []}}
    for name, kind, text in SWITCHES:
        parser.add_argument(name, help=text, **options.get(kind, {'type': kind}))
    args = parser.parse_args()
    args.open_delay_ms, args.fault_path = args.open_delay_ms or 0, args.fault_path or ''
    for name in ('root', 'log_listings', 'log_reads', 'stop_file'):
        path = getattr(args, name)  # a Windows test under Wine names them on drive Z:, which is "/"
        if path and re.match(r'^[Zz]:[\\/]', path):
            setattr(args, name, path[2:].replace('\\', '/'))
    return args


ARGS = parse_args()
CONNECTIONS = 0


def server_path(path):
    """The client's path, normalised the way the server maps it."""
    return os.path.normpath(os.path.join(b'/', path)).decode('utf-8', 'surrogateescape')


def append_line(log, line):
    if log:
        with open(log, 'a', encoding='utf-8', errors='surrogateescape') as file:
            file.write(line + '\n')


class FaultySFTPServer(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=ARGS.root.encode())
        global CONNECTIONS
        CONNECTIONS += 1
        faults_apply = not ARGS.faults_once or CONNECTIONS == 1
        self.drop_after = ARGS.drop_after if faults_apply else None
        self.stall_after = ARGS.stall_after if faults_apply else None
        self.sent = 0

    async def open(self, path, pflags, attrs):
        await asyncio.sleep(ARGS.open_delay_ms / 1000)
        if pflags & ~asyncssh.FXF_READ:
            raise asyncssh.SFTPPermissionDenied('This server is read-only')
        if ARGS.fail_open and re.search(ARGS.fail_open, server_path(path)):
            raise asyncssh.SFTPPermissionDenied('Open refused by --fail-open')
        return super().open(path, pflags, attrs)

    async def read(self, file_obj, offset, size):
        name = server_path(file_obj.name[len(ARGS.root.encode()):])  # the local path below the root
        if ARGS.read_error_after is not None and offset >= ARGS.read_error_after and \
                re.search(ARGS.read_error_match or '', name):
            raise asyncssh.SFTPFailure('Read refused by --read-error-after')
        size = min(size, ARGS.max_read or size)
        if self.stall_after is not None and self.sent >= self.stall_after:
            await asyncio.Event().wait()  # never set: the request is never answered
        if self.drop_after is not None and self.sent >= self.drop_after:
            # The bytes counted as sent reach the client before the cut, and it has time to read
            # them: Windows throws away unread bytes when a connection is reset.
            for _ in range(100):
                if self.channel.get_write_buffer_size() == 0:
                    break
                await asyncio.sleep(0.05)
            await asyncio.sleep(0.5)
            self.connection.abort()
            raise asyncssh.SFTPConnectionLost('Dropped by --drop-after')
        data = super().read(file_obj, offset, size)
        for limit in (self.drop_after, self.stall_after):
            if limit is not None:
                data = data[:max(0, limit - self.sent)]
        self.sent += len(data)
        append_line(ARGS.log_reads, '%s %d' % (name, len(data)))
        return data

    async def listdir(self, path):
        name = server_path(path)
        if ARGS.stall_listing and re.search(ARGS.stall_listing, name):
            await asyncio.Event().wait()  # never set: the listing is never answered
        append_line(ARGS.log_listings, name)
        entries = super().listdir(path)
        for extra in ARGS.extra_entry:
            folder, entry_name, size = extra.split('|')
            if server_path(folder.encode()) == name:
                attrs = asyncssh.SFTPAttrs(type=asyncssh.FILEXFER_TYPE_REGULAR, size=int(size),
                                           permissions=0o100644, uid=0, gid=0, atime=0, mtime=0)
                entries.append(asyncssh.SFTPName(entry_name.encode(), attrs=attrs))
        return entries


def u32(value):
    return value.to_bytes(4, 'big')


def sftp_string(value):
    return u32(len(value)) + value


def sftp_attrs(st):
    return (u32(0xf) + st.st_size.to_bytes(8, 'big') + u32(st.st_uid) + u32(st.st_gid) + u32(st.st_mode) +
            u32(int(st.st_atime)) + u32(int(st.st_mtime)))


def local_path(path):
    return os.path.join(ARGS.root.encode(), server_path(path).encode('utf-8', 'surrogateescape').lstrip(b'/'))


class RawSftpSession(asyncssh.SSHServerSession):
    """SFTP version 3 written by hand over the subsystem's bytes, to break the protocol on purpose."""

    def __init__(self):
        self.chan, self.buffer, self.struck, self.handles, self.counter = None, b'', False, {}, 0

    def connection_made(self, chan):
        self.chan = chan

    def subsystem_requested(self, subsystem):
        return subsystem == 'sftp'

    def data_received(self, data, datatype):
        self.buffer += data
        while len(self.buffer) >= 4 and len(self.buffer) >= 4 + int.from_bytes(self.buffer[:4], 'big'):
            length = int.from_bytes(self.buffer[:4], 'big')
            packet, self.buffer = self.buffer[4:4 + length], self.buffer[4 + length:]
            self.handle(packet)

    def send(self, kind, body, length=None):
        self.chan.write(u32(len(body) + 1 if length is None else length) + bytes([kind]) + body)

    def status(self, rid, code, text=b''):
        self.send(101, u32(rid) + u32(code) + sftp_string(text) + sftp_string(b''))

    def strike(self, path):
        if self.struck or not re.search(ARGS.fault_path, server_path(path)):
            return False
        self.struck = True
        return True

    def names(self, rid, entries):
        body = b''.join(sftp_string(n) + sftp_string(n) + sftp_attrs(st) for n, st in entries)
        self.send(104, u32(rid) + u32(len(entries)) + body)

    def new_handle(self, rid, prefix, value):
        self.counter += 1
        self.handles[prefix + b'%d' % self.counter] = value
        self.send(102, u32(rid) + sftp_string(prefix + b'%d' % self.counter))

    def handle(self, packet):
        fault, handles, send, names = ARGS.protocol_fault, self.handles, self.send, self.names
        kind = packet[0]
        if kind == 1:
            send(2, u32(4 if fault == 'version' else 3))
            return
        rid = int.from_bytes(packet[1:5], 'big')
        arg = packet[9:9 + int.from_bytes(packet[5:9], 'big')]
        try:
            if kind == 16:  # REALPATH
                names(rid, [(server_path(arg).encode('utf-8', 'surrogateescape'), os.stat(local_path(arg)))])
            elif kind in (7, 17):  # LSTAT, STAT
                send(105, u32(rid) + sftp_attrs((os.lstat if kind == 7 else os.stat)(local_path(arg))))
            elif kind == 11:  # OPENDIR
                folder = local_path(arg)
                self.new_handle(rid, b'd', (arg, [(n, os.lstat(os.path.join(folder, n))) for n in os.listdir(folder)]))
            elif kind == 3:  # OPEN
                self.new_handle(rid, b'f', (arg, open(local_path(arg), 'rb')))
            elif kind == 8:  # FSTAT
                send(105, u32(rid) + sftp_attrs(os.fstat(handles[arg][1].fileno())))
            elif kind == 4:  # CLOSE
                handle = handles.pop(arg, None)
                if handle and arg.startswith(b'f'):
                    handle[1].close()
                self.status(rid, 0)
            elif kind == 5:  # READ
                path, file_obj = handles[arg]
                rest = packet[9 + len(arg):]
                file_obj.seek(int.from_bytes(rest[:8], 'big'))
                data = file_obj.read(int.from_bytes(rest[8:12], 'big'))
                if fault == 'extra-data' and data and self.strike(path):
                    data += b'x' * 100
                send(103, u32(rid) + sftp_string(data)) if data else self.status(rid, 1)
            elif kind == 12:  # READDIR
                self.readdir(rid, arg)
            else:
                self.status(rid, 8, b'Unsupported')
        except OSError:
            self.status(rid, 2, b'No such file')

    def readdir(self, rid, handle):
        fault, send, names = ARGS.protocol_fault, self.send, self.names
        path, entries = self.handles[handle]
        st = os.stat(ARGS.root)
        if fault == 'endless-listing' and re.search(ARGS.fault_path, server_path(path)):
            self.counter += 1000
            names(rid, [(b'f%d' % (self.counter + i), st) for i in range(1000)])
        elif fault == 'empty-listing' and re.search(ARGS.fault_path, server_path(path)):
            names(rid, [])  # neither a name nor the end: a client without a guard asks for ever
        elif not entries and fault == 'listing-error' and self.strike(path):
            self.status(rid, 4, b'Failure by --protocol-fault')
        elif not entries:
            self.status(rid, 1)
        elif (fault in ('version', 'extra-data', 'endless-listing', 'empty-listing', 'listing-error')
              or not self.strike(path)):
            self.handles[handle] = (path, [])
            names(rid, entries)
        elif fault == 'unknown-id':
            names(rid + 1000, entries)
        elif fault == 'oversized':
            send(104, u32(rid), length=0x80000000)
        elif fault == 'length-past-packet':
            send(104, u32(rid) + u32(1) + u32(1000) + b'short' + bytes(20))
        elif fault == 'name-count':
            send(104, u32(rid) + u32(10000000) + sftp_string(b'a') + sftp_string(b'a') + sftp_attrs(st))
        elif fault == 'attrs-past-packet':
            send(104, u32(rid) + u32(1) + sftp_string(b'app.exe') * 2 + u32(0xf) + b'\0' * 6)
        elif fault == 'nul-name':
            names(rid, [(b'evil\0.exe', st)] + entries)
        elif fault == 'wrong-type':
            send(102, u32(rid) + sftp_string(b'h'))


class PasswordServer(asyncssh.SSHServer):
    def session_requested(self):
        return RawSftpSession() if ARGS.protocol_fault else False

    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        return username == ARGS.user and password == ARGS.password


async def main():
    key = asyncssh.generate_private_key('ssh-ed25519')
    sftp = {'encoding': None} if ARGS.protocol_fault else {'sftp_factory': FaultySFTPServer}
    server = await asyncssh.listen('127.0.0.1', 0, server_host_keys=[key], server_factory=PasswordServer,
                                   allow_scp=False, **sftp)
    print('PORT %d' % server.sockets[0].getsockname()[1], flush=True)
    print('FINGERPRINT %s' % key.get_fingerprint('sha256'), flush=True)
    # Serve until the test closes our standard input (or kills us), or removes the stop file.
    if ARGS.stop_file:
        while os.path.exists(ARGS.stop_file):
            await asyncio.sleep(0.2)
    else:
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.buffer.read)
    server.close()


if __name__ == '__main__':
    asyncio.run(main())
