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


def record_large_pair(cluster, into, labels, folders=30, sources=3, edited='d7/f1.c'):
    """Records two builds of the large shape (bench/compare/large_project.sh:
    `folders` sub-makes in one object folder outside the source tree, -j2)
    with tracemake: tree a into out-a as labels[0], then a copy of it, tree
    c, with `edited` changed, into out-c as labels[1].  Returns {tree: path}."""
    trees = {name: os.path.join(into, name) for name in ['a', 'c']}
    subprocess.run([os.path.join(SOURCE, 'bench', 'compare', 'large_project.sh'), trees['a'], str(folders),
                    str(sources)], check=True)
    shutil.copytree(trees['a'], trees['c'])
    with open(os.path.join(trees['c'], edited), 'w') as f:
        f.write('int edited;\n')
    for tree, objects, label in [('a', 'out-a', labels[0]), ('c', 'out-c', labels[1])]:
        subprocess.run([os.path.join(BIN, 'tracemake'), 'record', '--label', label, '--', 'make', '-j2',
                        'O=../' + objects], cwd=trees[tree], env=cluster.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return trees


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


LARGE_SOURCE = '/home/dev/linux'            # where the top make ran
LARGE_OBJECTS = '/home/dev/build/linux'     # its object folder (O=), outside the source tree
LARGE_OUTSIDE = ['/usr/include', '/usr/lib/gcc/x86_64-linux-gnu/12/include', '/lib/modules/6.1.0']


def write_large_build(path, compared=False, dirs=300, seed=7):
    """Writes the RSF of a build of the large shape, as `tracemake rsf` would:
    `dirs` source directories up to nine deep below LARGE_SOURCE, an object
    folder mirroring them outside it with one make process each (a goal
    built-in.a that the parent's make invokes), and a few files outside both
    (system headers, an installed file).  About 10,000 instances for 300
    directories.  With `compared`, two builds A and C: the files paired by
    SAME, a few changed (DIFF), added or removed.  Returns counts, with the
    dependencies (of the first build) between files of two roots by pair of roots."""
    import random
    rnd = random.Random(seed)
    out = []
    rec = lambda *t: out.append('\t'.join(str(x) for x in t))   # noqa: E731
    # Source directories: a chain nine deep, twenty more at the top, the rest under random parents.
    tree = ['']
    depth = {'': 0}
    for i in range(dirs):
        if i < 9:
            parent = tree[-1]
        elif i < 30:
            parent = ''
        else:
            parent = rnd.choice([d for d in tree if depth[d] < 9])
        d = parent + '/d%d' % i
        tree.append(d)
        depth[d] = depth[parent] + 1
    tree = tree[1:]
    oid = [1]

    def new():
        oid[0] += 1
        return oid[0]

    layers = ['A', 'C'] if compared else [None]
    if compared:
        rec('LAYERNAME', 'A', 0)
        rec('LAYERNAME', 'C', 1)
    rec('ROOT', LARGE_SOURCE, '-')
    for d in tree:
        parent = d.rsplit('/', 1)[0]
        rec('CONTAIN', LARGE_SOURCE + parent, LARGE_SOURCE + d)
    outside_dirs = [LARGE_OBJECTS] + [LARGE_OBJECTS + d for d in tree] + LARGE_OUTSIDE
    for d in outside_dirs:
        rec('CONTAIN', LARGE_SOURCE, d)   # the recorder hangs what lies outside from the top
    counts = {'instances': 0, 'procs': 0, 'changed': 0, 'added': 0, 'removed': 0, 'edges': 0,
              'between_roots': {}}
    root_of = {}   # OID -> the root its file lies under

    def root_path(directory):
        for r in [LARGE_OBJECTS] + LARGE_OUTSIDE + [LARGE_SOURCE]:
            if directory == r or directory.startswith(r + '/'):
                return r

    def instance(directory, name, flags=(), only=None, changed=False):
        """A file in both builds (or in `only`): the OIDs by layer."""
        oids = {}
        for layer in layers:
            if only is not None and layer != only:
                continue
            o = new()
            oids[layer] = o
            root_of[o] = root_path(directory)
            rec('FILE', o, name)
            if layer == layers[0] or only is not None:
                rec('CONTAIN', directory, o)
            if layer is not None:
                rec('LAYER', o, layer)
            for flag in flags:
                rec(flag, o, '-')
            counts['instances'] += 1
        if compared and len(oids) == 2:
            rec('SAME', oids['A'], oids['C'])
            if changed:
                rec('DIFF', oids['A'], oids['C'])
                counts['changed'] += 1
        if only == 'A':
            counts['removed'] += 1
        elif only == 'C':
            counts['added'] += 1
        return oids

    def depend(target, prereq, relation='DEPENDON'):
        for layer in target:
            if layer in prereq:
                rec(relation, target[layer], prereq[layer])
                counts['edges'] += 1
                ends = (root_of[target[layer]], root_of[prereq[layer]])
                if ends[0] != ends[1] and layer == layers[0]:
                    counts['between_roots'][ends] = counts['between_roots'].get(ends, 0) + 1

    made = [('GOAL',), ('TARGET', 'EXECUTED')]
    system = [instance(d, h) for d in LARGE_OUTSIDE[:2] for h in ['stddef.h', 'stdarg.h', 'types.h']]
    installed = instance(LARGE_OUTSIDE[2], 'modules.dep', made[1])
    headers = []
    for d in tree[:40]:
        headers += [instance(LARGE_SOURCE + d, 'h%d.h' % k) for k in range(3)]
    top_goal = instance(LARGE_SOURCE, 'all', ('PHONY',) + made[0] + made[1])
    image = instance(LARGE_OBJECTS, 'vmlinux', made[0] + made[1])
    depend(top_goal, image, 'INVOKE')
    depend(installed, image)
    archive_of = {'': image}
    counts['procs'] = 2
    for d in tree:
        src, obj = LARGE_SOURCE + d, LARGE_OBJECTS + d
        archive = instance(obj, 'built-in.a', made[0] + made[1])
        archive_of[d] = archive
        counts['procs'] += 1
        parent_archive = archive_of[d.rsplit('/', 1)[0]]
        depend(parent_archive, archive, 'INVOKE')
        depend(parent_archive, archive)
        for k in range(rnd.randint(8, 24)):
            only = None
            if compared and rnd.random() < 0.02:
                only = rnd.choice(layers)
            changed = compared and only is None and rnd.random() < 0.03
            source = instance(src, 'f%d.c' % k, only=only)
            objfile = instance(obj, 'f%d.o' % k, made[1], only=only, changed=changed)
            depend(objfile, source)
            for h in rnd.sample(headers, 2) + [rnd.choice(system)]:
                depend(objfile, h)
            depend(archive, objfile)
    with open(path, 'w') as f:
        f.write('\n'.join(out) + '\n')
    counts['dirs'] = len(tree)
    return counts
