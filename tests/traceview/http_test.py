"""traceview over HTTP: the JSON API on the demo data and requests that try
to get round its checks.  Runs against its own cluster with the sample trace."""
import concurrent.futures
import html
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tvsupport import (BIN, LARGE_OBJECTS, LARGE_OUTSIDE, LARGE_SOURCE, SOURCE, Cluster, Traceview,  # noqa: E402
                       copy_www, record_calc, record_large_pair, write_large_build)

SAMPLE = os.path.join(SOURCE, 'demo', 'sample.rsf')
CHANGES = os.path.join(SOURCE, 'demo', 'sample.list')
ADD_O = '16417 16517'          # lib/add.o of v1 and v2
HOSTILE_NAMES = ['<script>alert(1)</script>', 'say"hi"', 'back\\slash', "it's"]

cluster = server = tmp = None


def setUpModule():
    global cluster, server, tmp
    tmp = tempfile.TemporaryDirectory()
    cluster = Cluster()
    os.symlink(os.path.join(SOURCE, 'CMakeLists.txt'), os.path.join(copy_www(tmp.name), 'outside.txt'))
    os.symlink('index.html', os.path.join(tmp.name, 'www', 'inside.html'))
    server = Traceview(['--rsf', SAMPLE, '--changes', CHANGES, '--www', os.path.join(tmp.name, 'www')], cluster.env)


def tearDownModule():
    server.stop()
    cluster.stop()
    tmp.cleanup()


class Api(unittest.TestCase):
    def test_overview_draws_the_sample_with_its_pairs_and_changes(self):
        status, view = server.get_json('/api/view', build='rsf')
        self.assertEqual(status, 200, view)
        self.assertIn('<svg', view['svg'])
        self.assertIn('<title>%s</title>' % ADD_O, view['svg'])
        self.assertIn('rotate(0', view['svg'])          # upright, not landscape
        self.assertEqual(view['nodes'][ADD_O]['oids'], ['16417', '16517'])
        self.assertTrue(view['nodes'][ADD_O]['changed'])
        self.assertEqual(view['nodes']['16424']['only_in'], 'v1')  # compat.h
        again = server.get_json('/api/view', build='rsf')[1]
        self.assertTrue(again['cached'])
        self.assertEqual(again['digest'], view['digest'])

    def test_small_limit_draws_directories_as_boxes(self):
        status, view = server.get_json('/api/view', build='rsf', limit='10')
        self.assertEqual(status, 200, view)
        boxes = {k: v for k, v in view['nodes'].items() if v['kind'] == 'dir'}
        self.assertEqual(boxes['/home/dev/calc-v1/lib']['files'], 13)   # v1's eleven, mul.c and mul.o of v2
        self.assertIn('13 files', view['svg'])
        self.assertLessEqual(len(view['nodes']), 10)

    def test_directory_and_file_views(self):
        status, lib = server.get_json('/api/view', build='rsf', kind='dir', id='/home/dev/calc-v1/lib')
        self.assertEqual(status, 200, lib)
        self.assertNotIn('16430 16531', lib['nodes'])   # src/main.c
        self.assertEqual([c['name'] for c in lib['crumbs']], ['/home/dev/calc-v1', 'lib'])   # a root by its path
        status, near = server.get_json('/api/view', build='rsf', kind='file', id=ADD_O)
        self.assertEqual(status, 200, near)
        # add.c and calc.h below it, libcalc.a above it, the goal of lib's make.
        for neighbour in ['16420 16521', '16423 16525', '16416 16516', '16414 16514']:
            self.assertIn(neighbour, near['nodes'])
        self.assertNotIn('16430 16531', near['nodes'])

    def test_unknown_views_are_refused(self):
        cases = [({'build': 'nope'}, 404), ({'build': 'rsf', 'kind': 'file', 'id': '/home/dev/calc-v1'}, 404),
                 ({'build': 'rsf', 'kind': 'dir', 'id': ADD_O}, 404), ({'build': 'rsf', 'kind': 'svg'}, 400),
                 ({'build': 'rsf', 'limit': '1e9'}, 400)]
        for params, expected in cases:
            status, answer = server.get_json('/api/view', **params)
            self.assertEqual(status, expected, params)
            self.assertIn('error', answer)

    def test_search_by_name_and_path(self):
        status, found = server.get_json('/api/search', build='rsf', q='ADD.O')
        self.assertEqual(status, 200)
        self.assertEqual(found['matches'][0]['id'], ADD_O)
        found = server.get_json('/api/search', build='rsf', q='calc-v1/src/ma')[1]
        self.assertEqual({m['name'] for m in found['matches']}, {'main.o', 'main.c'})
        self.assertEqual(server.get_json('/api/search', build='rsf', q='')[0], 400)

    def test_changes_name_changed_added_and_removed_files(self):
        changes = server.get_json('/api/changes', build='rsf')[1]
        self.assertEqual(changes['layers'], ['v1', 'v2'])
        self.assertEqual({f['name'] for f in changes['removed']}, {'compat.h'})
        self.assertEqual({f['name'] for f in changes['added']}, {'mul.c', 'mul.o'})
        self.assertIn('/home/dev/calc-v2/lib/mul.c', {f['path'] for f in changes['added']})
        self.assertIn('calc.1', {f['name'] for f in changes['changed']})

    def test_reports_of_one_instance_a_pair_and_a_comparison(self):
        cases = [('recipeshow', '16417', 'Command information for /home/dev/calc-v1/lib/add.o'),
                 ('procshow', '16436', 'make -e -C doc all'),
                 ('envshow', '16429 16436', 'Environment at 16429'),
                 ('envdiff', '16429 16530', '2< 1 CFLAGS='),
                 ('rulediff', '16428 16529', '-L../lib -lcalc')]
        for tool, oids, expected in cases:
            status, report = server.get_json('/api/report', tool=tool, oids=oids)
            self.assertEqual(status, 200, report)
            self.assertIn(expected, report['text'], tool)

    def test_a_relation_file_has_no_reasons_to_show(self):
        for path, params in [('/api/why', {'oid': '16417'}), ('/api/causes', {})]:
            status, answer = server.get_json(path, build='rsf', **params)
            self.assertEqual(status, 502, answer)
            self.assertIn('was not recorded', answer['error'])

    def test_a_failing_tool_is_reported_and_the_server_goes_on(self):
        status, report = server.get_json('/api/report', tool='rulediff', oids='99999 99998')
        self.assertEqual(status, 502)
        self.assertFalse(report['ok'])
        self.assertIn('exit status', report['error'])
        self.assertIn("doesn't exist", report['messages'] + report['text'])
        self.assertEqual(server.get_json('/api/builds')[0], 200)


class HostileRequests(unittest.TestCase):
    def test_oids_other_than_one_or_two_numbers_never_reach_a_tool(self):
        for oids in ['', '1;id', '1  2', '1 2 3', '-1', ' 1', '1 ', '1\n2', '1\t2', 'abc', '0x10', '1' * 30,
                     '$(id)', '1 -o']:
            status, answer = server.get_json('/api/report', tool='envshow', oids=oids)
            self.assertEqual(status, 400, repr(oids))
            self.assertNotIn('text', answer)
        for tool in ['', 'sh', '../relplot', 'relplot', 'changescan', 'envshow ']:
            self.assertEqual(server.get_json('/api/report', tool=tool, oids='16417')[0], 400, tool)

    def test_open_takes_only_a_list_of_label_strings(self):
        own = {'Origin': 'http://127.0.0.1:%d' % server.port, 'Content-Type': 'application/json'}
        cases = [(b'', b'send {'), (b'{', b'send {'), (b'[]', b'send {'), (b'"v1"', b'send {'), (b'{}', b'send {'),
                 (b'{"label": ["v1"]}', b'send {'), (b'{"labels": "v1"}', b'send {'),
                 (b'{"labels": {"v1": 1}}', b'send {'), (b'{"labels": [1]}', b'labels are strings'),
                 (b'{"labels": ["v1", null]}', b'labels are strings')]
        for body, said in cases:
            status, _, answer = server.request('POST', '/api/open', body, own)
            self.assertEqual(status, 400, body)
            self.assertIn(said, answer, body)

    def test_static_files_never_leave_the_page_folder(self):
        self.assertEqual(server.request('GET', '/')[0], 200)
        self.assertEqual(server.request('GET', '/app.js')[0], 200)
        for target in ['/../CMakeLists.txt', '/%2e%2e/CMakeLists.txt', '/%2E%2E/%2E%2E/etc/passwd',
                       '/..%2fCMakeLists.txt', '/%252e%252e/CMakeLists.txt', '/style.css/../../CMakeLists.txt',
                       '/.%2e/CMakeLists.txt', '//etc/passwd', '/outside.txt', '/inside.html', '/.hidden',
                       '/app.js%00.png', '/www/../../x', '\\..\\CMakeLists.txt']:
            status, _, body = server.request('GET', target)
            self.assertIn(status, (400, 404), target)
            self.assertNotIn(b'cmake_minimum_required', body, target)

    def test_answers_carry_the_content_security_policy(self):
        status, headers, body = server.request('GET', '/')
        self.assertIn("script-src 'self'", headers['content-security-policy'])
        self.assertNotIn(b'<script>', body.replace(b'<script src="/app.js" defer></script>', b''))
        self.assertEqual(headers['x-content-type-options'], 'nosniff')

    def test_other_hosts_are_refused(self):
        for host in ['evil.example:%d' % server.port, 'evil.example', '127.0.0.1', '127.0.0.1:1',
                     'localhost.evil.example:%d' % server.port, '']:
            status, _, _ = server.request('GET', '/api/builds', headers={'Host': host})
            self.assertEqual(status, 421, host)
        self.assertEqual(server.request('GET', '/', headers={'Host': 'LOCALHOST:%d' % server.port})[0], 200)

    def test_other_sites_cannot_start_programs_through_the_browser(self):
        for site, expected in [('cross-site', 403), ('same-site', 403), ('same-origin', 200), ('none', 200)]:
            status, _, _ = server.request('GET', '/api/search?build=rsf&q=add', headers={'Sec-Fetch-Site': site})
            self.assertEqual(status, expected, site)
        self.assertEqual(server.request('GET', '/', headers={'Sec-Fetch-Site': 'cross-site'})[0], 200)

    def test_changing_requests_need_this_origin_and_json(self):
        own = 'http://127.0.0.1:%d' % server.port
        body = json.dumps({'labels': ['v1']}).encode()
        cases = [({}, 403), ({'Origin': 'http://evil.example'}, 403), ({'Origin': 'null'}, 403),
                 ({'Origin': own, 'Content-Type': 'text/plain'}, 415),
                 ({'Origin': own, 'Content-Type': 'application/json'}, 503)]   # no build v1 recorded
        for headers, expected in cases:
            status, _, answer = server.request('POST', '/api/open', body, headers)
            self.assertEqual(status, expected, headers)
        self.assertIn(b'no build is recorded', answer)

    def test_oversized_bodies_and_targets_are_refused(self):
        own = {'Origin': 'http://127.0.0.1:%d' % server.port, 'Content-Type': 'application/json'}
        status, _, _ = server.request('POST', '/api/open', b'x' * (1 << 20), own)
        self.assertEqual(status, 413)
        self.assertEqual(server.request('GET', '/api/search?build=rsf&q=' + 'a' * 4000)[0], 414)
        self.assertIn(server.request('GET', '/' + 'a' * 20000)[0], (0, 414))
        self.assertEqual(server.request('GET', '/api/builds')[0], 200)

    def test_a_slow_client_is_dropped_and_others_are_served_meanwhile(self):
        slow = socket.create_connection(('127.0.0.1', server.port))
        slow.sendall(b'GET /api/builds HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n' % server.port)
        started = time.monotonic()
        self.assertEqual(server.request('GET', '/api/builds')[0], 200)
        self.assertLess(time.monotonic() - started, 5)   # not queued behind the slow one (read timeout 5 s)
        slow.settimeout(30)
        got = slow.recv(1024)
        self.assertTrue(got == b'' or got.startswith(b'HTTP/1.1 4'), got)   # closed by the server (or answered 4xx)
        self.assertLess(time.monotonic() - started, 15)
        slow.close()

    def test_two_clients_at_once(self):
        def work(i):
            if i % 2:
                return server.get_json('/api/report', tool='envshow', oids='16429')[0]
            return server.get_json('/api/view', build='rsf', kind='file', id=ADD_O, limit=str(20 + i))[0]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            self.assertEqual(list(pool.map(work, range(8))), [200] * 8)


class HostileBuilds(unittest.TestCase):
    """Names holding markup, quotes and backslashes come back as data."""

    def test_names_stay_text(self):
        with tempfile.TemporaryDirectory() as d:
            rsf = os.path.join(d, 'hostile.rsf')
            with open(rsf, 'w') as f:
                f.write('ROOT\t/b\t-\nCONTAIN\t/b\t/b/<i>dir\n')
                for i, name in enumerate(HOSTILE_NAMES):
                    f.write('FILE\t%d\t%s\nCONTAIN\t/b/<i>dir\t%d\n' % (100 + i, name.replace(' ', '_'), 100 + i))
                f.write('DEPENDON\t100\t101\n')
            tv = Traceview(['--rsf', rsf])
            try:
                status, view = tv.get_json('/api/view', build='rsf')
                self.assertEqual(status, 200, view)
                self.assertNotIn('<script>', view['svg'])
                self.assertIn('&lt;script&gt;', view['svg'])
                names = {n['name'] for n in view['nodes'].values()}
                self.assertEqual(names, {n.replace(' ', '_') for n in HOSTILE_NAMES})
                found = tv.get_json('/api/search', build='rsf', q='back\\')[1]
                self.assertEqual(found['matches'][0]['name'], 'back\\slash')
            finally:
                tv.stop()


class RecordedBuilds(unittest.TestCase):
    """Labels from ZTR_BUILD, opened through `tracemake rsf` and compared."""

    def test_two_recorded_builds_drawn_compared_and_reported(self):
        with tempfile.TemporaryDirectory() as d:
            record_calc(cluster, d)
            status, labels = server.get_json('/api/labels')
            self.assertEqual(status, 200, labels)
            self.assertEqual([l['label'] for l in labels['labels']], ['r1', 'r2'])
            self.assertEqual(labels['labels'][0]['topdir'], os.path.join(d, 'calc-v1'))
            own = {'Origin': 'http://127.0.0.1:%d' % server.port, 'Content-Type': 'application/json'}
            status, _, body = server.request('POST', '/api/open', json.dumps({'labels': ['r1', 'r2']}).encode(), own)
            self.assertEqual(status, 200, body)
            key = json.loads(body)['key']
            self.assertEqual(key, 'label:r1,r2')
            changes = server.get_json('/api/changes', build=key)[1]
            self.assertNotIn('note', changes)
            self.assertEqual({f['name'] for f in changes['removed']}, {'compat.h'})
            self.assertEqual({f['name'] for f in changes['added']}, {'mul.c', 'mul.o'})
            self.assertIn('main.o', {f['name'] for f in changes['changed']})
            self.assertNotIn('main.c', {f['name'] for f in changes['changed']})
            status, view = server.get_json('/api/view', build=key)
            self.assertEqual(status, 200, view)
            main_o = [n for n in view['nodes'].values() if n['name'] == 'main.o'][0]
            self.assertTrue(main_o['changed'])
            status, report = server.get_json('/api/report', tool='rulediff', oids=' '.join(main_o['oids']))
            self.assertEqual(status, 200, report)
            self.assertIn('-Wextra', report['text'])
            # Why each build made main.o: each OID answered by the build that has it.
            for oid, label in zip(main_o['oids'], ['r1', 'r2']):
                status, why = server.get_json('/api/why', build=key, oid=oid)
                self.assertEqual(status, 200, why)
                self.assertIn('main.o (make in src, OID %s): rebuilt\n' % oid, why['text'])
                self.assertIn('  did not exist before the build\n', why['text'])
            self.assertEqual(server.get_json('/api/why', build=key, oid='1 2')[0], 400)
            # The first causes of r2 since r1, as units of the drawing: v2 was
            # built in a fresh tree, so each target it made is its own cause.
            status, causes = server.get_json('/api/causes', build=key)
            self.assertEqual(status, 200, causes)
            self.assertTrue(causes['text'].startswith("build 'r2': "), causes['text'])
            self.assertIn('main.o', {c['name'] for c in causes['causes']})
            self.assertTrue(all(c['targets'] >= 1 for c in causes['causes']))
            for labels_asked in [['nope'], ['-o', 'x'], ['r1', 'r2', 'r1'], []]:
                status, _, body = server.request('POST', '/api/open', json.dumps({'labels': labels_asked}).encode(), own)
                self.assertEqual(status, 503, labels_asked)
                self.assertIn(b'error', body)
            # The same from the command line.
            tv = Traceview(['--label', 'r1'], cluster.env)
            try:
                builds = tv.get_json('/api/builds')[1]
                self.assertEqual(builds['first'], 'label:r1')
                self.assertEqual(builds['builds'][0]['title'], 'r1')
                self.assertGreater(builds['builds'][0]['files'], 20)
            finally:
                tv.stop()

    def test_a_build_recorded_again_is_drawn_anew_and_few_stay_loaded(self):
        own_cluster = Cluster()
        tv = Traceview([], own_cluster.env)
        try:
            with tempfile.TemporaryDirectory() as d:
                trees = {}
                for version in ['calc-v1', 'calc-v2']:
                    trees[version] = os.path.join(d, version)
                    shutil.copytree(os.path.join(SOURCE, 'demo', version), trees[version])

                def record(version, label):
                    subprocess.run([os.path.join(BIN, 'tracemake'), 'record', '--replace', '--label', label, '--',
                                    'make', '-B'], cwd=trees[version], env=own_cluster.env, check=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

                own = {'Origin': tv.url, 'Content-Type': 'application/json'}

                def open_and_find(label, name):
                    status, _, body = tv.request('POST', '/api/open', json.dumps({'labels': [label]}).encode(), own)
                    self.assertEqual(status, 200, body)
                    found = tv.get_json('/api/search', build='label:' + label, q=name)[1]
                    return [m['name'] for m in found['matches']]

                # mul.c is new in calc-v2.
                record('calc-v1', 'again')
                self.assertEqual(open_and_find('again', 'mul.c'), [])
                record('calc-v2', 'again')
                self.assertEqual(open_and_find('again', 'mul.c'), ['mul.c'])

                # Of nine builds opened, the first is let go; the others stay.
                for i in range(1, 9):
                    record('calc-v1', 'more%d' % i)
                    open_and_find('more%d' % i, 'main.c')
                self.assertEqual(tv.get_json('/api/view', build='label:again')[0], 404)
                for i in range(1, 9):
                    self.assertEqual(tv.get_json('/api/view', build='label:more%d' % i)[0], 200, i)
        finally:
            tv.stop()
            own_cluster.stop()

    def test_without_the_recorder_the_page_is_told_why(self):
        with tempfile.TemporaryDirectory() as d:
            os.symlink(os.path.join(BIN, 'relplot'), os.path.join(d, 'relplot'))
            tv = Traceview(['--rsf', SAMPLE, '--bin', d])
            try:
                own = {'Origin': tv.url, 'Content-Type': 'application/json'}
                status, _, body = tv.request('POST', '/api/open', b'{"labels": ["v1"]}', own)
                self.assertEqual(status, 503)
                self.assertIn('tracemake', json.loads(body)['error'])
            finally:
                tv.stop()


class LargeBuilds(unittest.TestCase):
    """The first view of a build of the large shape, alone and compared."""

    ROOTS = [LARGE_SOURCE, LARGE_OBJECTS] + LARGE_OUTSIDE

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.counts, cls.servers = {}, {}
        for name, compared in [('one', False), ('two', True)]:
            rsf = os.path.join(cls.tmp.name, name + '.rsf')
            cls.counts[name] = write_large_build(rsf, compared=compared)
            cls.servers[name] = Traceview(['--rsf', rsf])

    @classmethod
    def tearDownClass(cls):
        for tv in cls.servers.values():
            tv.stop()
        cls.tmp.cleanup()

    def view(self, name, **params):
        status, view = self.servers[name].get_json('/api/view', build='rsf', **params)
        self.assertEqual(status, 200, view.get('error'))
        return view

    def test_the_overview_keeps_its_limit_boxes_included(self):
        for name in ['one', 'two']:
            for limit in [10, 60, 200]:
                view = self.view(name, limit=str(limit))
                self.assertLessEqual(len(view['nodes']), limit, (name, limit))
                self.assertGreater(len(view['nodes']), 4, (name, limit))
                files = sum(n['files'] if n['kind'] == 'dir' else 1 for n in view['nodes'].values())
                if files < self.counts[name]['instances'] - self.counts[name]['removed']:
                    self.assertIn('drawn closed', view.get('note', ''), (name, limit))
        # Without a limit asked for, the overview's own (60).
        self.assertLessEqual(len(self.view('one')['nodes']), 60)

    def test_each_root_is_a_top_box_named_by_its_path(self):
        view = self.view('one', limit='10')
        self.assertEqual(sorted(view['nodes']), sorted(self.ROOTS))
        for root in self.ROOTS:
            self.assertEqual(view['nodes'][root]['name'], root)
            self.assertIn('>%s/</text>' % root, html.unescape(view['svg']))
        self.assertEqual(sum(n['files'] for n in view['nodes'].values()), self.counts['one']['instances'])
        self.assertEqual([c['name'] for c in view['crumbs']], ['roots'])
        # Opened, each is a frame of its own named by its path.
        opened = html.unescape(self.view('one', limit='60')['svg'])
        for root in self.ROOTS:
            self.assertIn('<title>cluster_%s</title>' % root, opened)
            self.assertIn('>%s</text>' % root, opened)
        # A root opens into its own directories; the object folder holds no source file.
        inside = self.view('one', kind='dir', id=LARGE_OBJECTS, limit='60')
        self.assertEqual([c['id'] for c in inside['crumbs']][1:], [LARGE_OBJECTS])
        self.assertTrue(all(n['path'].startswith(LARGE_OBJECTS) for n in inside['nodes'].values()))
        self.assertFalse(any(n['name'].endswith('.c') for n in inside['nodes'].values()))

    def test_edges_between_boxes_are_merged_with_their_counts(self):
        view = self.view('one', limit='10')
        merged = {(e['from'], e['to']): e['count'] for e in view['merged_edges']}
        self.assertEqual(merged, self.counts['one']['between_roots'])
        self.assertIn('>%d</text>' % merged[(LARGE_OBJECTS, LARGE_SOURCE)], view['svg'])
        # One edge a pair, however many dependencies it stands for.
        self.assertEqual(html.unescape(view['svg']).count('<title>%s->%s</title>' % (LARGE_OBJECTS, LARGE_SOURCE)), 1)

    def test_a_directory_of_more_than_the_limit_folds_the_rest_into_one_box(self):
        view = self.view('one', kind='dir', id=LARGE_SOURCE, limit='10')
        more = [n for n in view['nodes'].values() if n.get('more')]
        self.assertEqual(len(more), 1)
        self.assertEqual(len(view['nodes']), 10)
        self.assertIn('%d more directories' % more[0]['more'], view['svg'])
        rest = self.view('one', kind='dir', id=more[0]['id'], limit='200')
        shown = [n for n in rest['nodes'].values() if n['kind'] == 'dir']
        self.assertEqual(sum(n['files'] for n in rest['nodes'].values()), more[0]['files'])
        self.assertGreaterEqual(len(shown), 1)
        self.assertIn('more directories', rest['crumbs'][-1]['name'])

    def test_compared_boxes_count_what_changed(self):
        view = self.view('two', limit='10')
        total = {k: sum(n.get(k, 0) for n in view['nodes'].values()) for k in ['changed', 'added', 'removed']}
        self.assertEqual(total, {k: self.counts['two'][k] for k in total})
        self.assertIn('changed +', view['svg'])


class RecordedLargePair(unittest.TestCase):
    """Two recorded builds of the large shape: sub-makes in one object folder
    outside the source tree, the second built in a copy of the tree with an
    object folder of its own and one source edited.  Opened as a pair, each
    file of both builds is one node, the edited object among them."""

    def test_the_edited_object_is_one_changed_node(self):
        own_cluster = Cluster()
        try:
            with tempfile.TemporaryDirectory() as d:
                trees = record_large_pair(own_cluster, d, ['A', 'C'])
                objects_a, objects_c = os.path.join(d, 'out-a'), os.path.join(d, 'out-c')
                tv = Traceview(['--label', 'A', '--label', 'C'], own_cluster.env)
                try:
                    builds = tv.get_json('/api/builds')[1]
                    key = builds['first']
                    self.assertEqual(builds['builds'][0]['title'], 'A against C')
                    status, overview = tv.get_json('/api/view', build=key)
                    self.assertEqual(status, 200, overview.get('error'))
                    # The edited source, the object made from it: one node each, of both builds, changed.
                    edited_object = os.path.join(objects_a, 'd7', 'f1.o')
                    units = {}
                    for path in [os.path.join(trees['a'], 'd7', 'f1.c'), edited_object]:
                        found = tv.get_json('/api/search', build=key, q='/d7/' + os.path.basename(path))[1]
                        self.assertEqual([m['path'] for m in found['matches']], [path])
                        unit = units[path] = found['matches'][0]
                        self.assertEqual(len(unit['oids']), 2, unit)
                        self.assertTrue(unit['changed'], unit)
                        self.assertNotIn('only_in', unit)
                        status, near = tv.get_json('/api/view', build=key, kind='file', id=unit['id'])
                        self.assertEqual(status, 200, near.get('error'))
                        self.assertTrue(near['nodes'][unit['id']]['changed'])
                    # Nothing of the second tree or its object folder is a node of its own.
                    for second in [objects_c, trees['c']]:
                        found = tv.get_json('/api/search', build=key, q=second)[1]
                        self.assertEqual(found['matches'], [], second)
                    changes = tv.get_json('/api/changes', build=key)[1]
                    self.assertEqual(changes['layers'], ['A', 'C'])
                    self.assertEqual(sorted(f['path'] for f in changes['changed']),
                                     sorted([os.path.join(trees['a'], 'd7', 'f1.c'),
                                             os.path.join(objects_a, 'd7', 'f1.o'),
                                             os.path.join(objects_a, 'd7', 'lib.a')]))
                    self.assertEqual(changes['added'], [])
                    self.assertEqual(changes['removed'], [])
                    # C was built in a fresh object folder: each file made there is
                    # a first cause, named by C's path, and found as its node of both.
                    status, causes = tv.get_json('/api/causes', build=key)
                    self.assertEqual(status, 200, causes.get('error'))
                    named = re.findall(r'^  [0-9]+  ([^:]+): ', causes['text'], re.M)
                    self.assertIn(os.path.join(objects_c, 'd7', 'f1.o'), named)
                    self.assertEqual(len(causes['causes']), len(named))
                    self.assertNotIn('note', causes)
                    edited = [c['id'] for c in causes['causes'] if c['path'] == edited_object]
                    self.assertEqual(edited, [units[edited_object]['id']])
                finally:
                    tv.stop()
        finally:
            own_cluster.stop()


class Failures(unittest.TestCase):
    def test_database_down_gives_a_clear_message(self):
        env = dict(os.environ, PGHOST='/nonexistent-traceview-socket')
        tv = Traceview(['--rsf', SAMPLE], env)
        try:
            status, labels = tv.get_json('/api/labels')
            self.assertEqual(status, 503)
            self.assertIn('cannot reach the trace database', labels['error'])
            status, report = tv.get_json('/api/report', tool='recipeshow', oids='16417')
            self.assertEqual(status, 502)
            self.assertTrue(report['error'])
            self.assertIn('connection', report['text'] + report['messages'])
            self.assertEqual(tv.get_json('/api/view', build='rsf')[0], 200)
        finally:
            tv.stop()

    def test_tools_that_hang_or_crash_are_stopped(self):
        with tempfile.TemporaryDirectory() as d:
            os.symlink(os.path.join(BIN, 'relplot'), os.path.join(d, 'relplot'))
            for tool, script in [('procshow', 'exec sleep 60'), ('envshow', 'echo boom >&2; kill -SEGV $$')]:
                with open(os.path.join(d, tool), 'w') as f:
                    f.write('#!/bin/sh\n' + script + '\n')
                os.chmod(os.path.join(d, tool), 0o755)
            tv = Traceview(['--rsf', SAMPLE, '--bin', d, '--tool-seconds', '1'])
            try:
                started = time.monotonic()
                status, hung = tv.get_json('/api/report', tool='procshow', oids='16417')
                self.assertEqual(status, 502)
                self.assertIn('time limit', hung['error'])
                self.assertLess(time.monotonic() - started, 5)
                status, crashed = tv.get_json('/api/report', tool='envshow', oids='16417')
                self.assertIn('signal 11', crashed['error'])
                self.assertIn('boom', crashed['messages'])
                status, missing = tv.get_json('/api/report', tool='rulediff', oids='1 2')
                self.assertIn('could not be', missing['error'])
                self.assertEqual(tv.get_json('/api/view', build='rsf')[0], 200)
            finally:
                tv.stop()

    def test_a_layout_past_its_time_is_stopped_and_a_smaller_view_offered(self):
        with tempfile.TemporaryDirectory() as d:
            rsf = os.path.join(d, 'wide.rsf')
            with open(rsf, 'w') as f:
                f.write('ROOT\t/w\t-\n')
                # Three scattered edges a node: far more than dot lays out in a second.
                for i in range(2000):
                    f.write('FILE\t%d\tf%d.o\nCONTAIN\t/w\t%d\n' % (i, i, i))
                    for k in (7, 13, 31):
                        f.write('DEPENDON\t%d\t%d\n' % (i, (i * k + 1) % 2000))
            tv = Traceview(['--rsf', rsf, '--layout-seconds', '1'])
            try:
                started = time.monotonic()
                status, view = tv.get_json('/api/view', build='rsf', limit='2000')
                self.assertEqual(status, 504, view.get('error'))
                self.assertTrue(view['timed_out'])
                self.assertEqual(view['smaller_limit'], 500)
                self.assertLess(time.monotonic() - started, 8)
                self.assertEqual(tv.get_json('/api/view', build='rsf', limit='20')[0], 200)
            finally:
                tv.stop()

    def test_the_server_removes_its_private_folder_when_stopped(self):
        before = set(os.listdir(tempfile.gettempdir()))
        tv = Traceview(['--rsf', SAMPLE])
        mine = [n for n in set(os.listdir(tempfile.gettempdir())) - before if n.startswith('traceview-')]
        self.assertEqual(len(mine), 1)
        self.assertEqual(os.stat(os.path.join(tempfile.gettempdir(), mine[0])).st_mode & 0o777, 0o700)
        self.assertEqual(tv.stop(), 0)
        self.assertFalse(os.path.exists(os.path.join(tempfile.gettempdir(), mine[0])))


if __name__ == '__main__':
    unittest.main(verbosity=2)
