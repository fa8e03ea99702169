"""Shared by traceview's tests: a throwaway cluster with the sample trace,
a traceview server on a free port, and raw HTTP requests that no client
library tidies up first."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import urllib.parse

SOURCE = os.path.realpath(os.environ.get('DAVER_SOURCE_DIR', os.path.join(os.path.dirname(__file__), '..', '..')))
BIN = os.environ.get('DAVER_BIN_DIR', os.path.join(SOURCE, 'build', 'bin'))


class Cluster:
    """A PostgreSQL cluster holding the schema and the sample trace, gone with stop()."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='tv-pg-', dir='/tmp')
        subprocess.run([os.path.join(SOURCE, 'scripts', 'pgcluster.sh'), 'start', self.dir,
                        os.path.join(SOURCE, 'db', 'schema.sql'), os.path.join(SOURCE, 'db', 'sample_trace.sql')],
                       check=True, stdout=subprocess.DEVNULL)
        self.env = dict(os.environ, PGHOST=os.path.join(self.dir, 'sock'), PGPORT='5432', PGUSER='postgres')

    def stop(self):
        subprocess.run([os.path.join(SOURCE, 'scripts', 'pgcluster.sh'), 'stop', self.dir], check=False)


def record_calc(cluster, into):
    """Records the demo project's two versions with tracemake, as labels r1 and r2."""
    for version, label in [('calc-v1', 'r1'), ('calc-v2', 'r2')]:
        tree = os.path.join(into, version)
        shutil.copytree(os.path.join(SOURCE, 'demo', version), tree)
        subprocess.run([os.path.join(BIN, 'tracemake'), 'record', '--label', label, '--', 'make'], cwd=tree,
                       env=cluster.env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Traceview:
    """traceview started with `args` on a free port; stopped with stop()."""

    def __init__(self, args, env=None):
        self.proc = subprocess.Popen([os.path.join(BIN, 'traceview'), '--port', '0'] + args, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if 'serving http://127.0.0.1:' not in line:
            self.proc.kill()
            raise RuntimeError('traceview did not start: ' + line + self.proc.stderr.read())
        self.port = int(line.rsplit(':', 1)[1].strip().strip('/'))
        self.url = 'http://127.0.0.1:%d' % self.port

    def stop(self):
        self.proc.terminate()
        try:
            status = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        errors = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        # A server that ends badly (a sanitizer's report, a crash) fails the test that stops it.
        if status != 0:
            raise RuntimeError('traceview ended with status %d: %s' % (status, errors[-4000:]))
        return status

    def raw(self, data, timeout=10):
        """Sends `data` (bytes) as it is and returns (status, headers, body)."""
        with socket.create_connection(('127.0.0.1', self.port), timeout=timeout) as s:
            s.sendall(data)
            reply = b''
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
                if _complete(reply):
                    break
        return _parse(reply)

    def request(self, method, target, body=b'', headers=None):
        host = {'Host': '127.0.0.1:%d' % self.port}
        host.update(headers or {})
        head = '%s %s HTTP/1.1\r\n' % (method, target)
        for k, v in host.items():
            head += '%s: %s\r\n' % (k, v)
        head += 'Connection: close\r\nContent-Length: %d\r\n\r\n' % len(body)
        return self.raw(head.encode('latin-1') + body)

    def get_json(self, path, **params):
        target = path + ('?' + urllib.parse.urlencode(params) if params else '')
        status, headers, body = self.request('GET', target)
        return status, json.loads(body)


def _complete(reply):
    head, sep, body = reply.partition(b'\r\n\r\n')
    if not sep:
        return False
    for line in head.split(b'\r\n')[1:]:
        k, _, v = line.partition(b':')
        if k.strip().lower() == b'content-length':
            return len(body) >= int(v)
    return False


def _parse(reply):
    head, _, body = reply.partition(b'\r\n\r\n')
    lines = head.decode('latin-1').split('\r\n')
    if not lines[0]:
        return 0, {}, body
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        k, _, v = line.partition(':')
        headers[k.strip().lower()] = v.strip()
    return status, headers, body


def copy_www(into):
    """A copy of the page's folder that a test may plant links in."""
    www = os.path.join(into, 'www')
    shutil.copytree(os.path.join(SOURCE, 'traceview', 'www'), www)
    return www
