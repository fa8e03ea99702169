#!/usr/bin/python3
"""traceview's speed: the first view of a build of the large shape (about
10,000 instances, 300 make processes, an object folder outside the source
tree) and of two such builds compared, from traceview's start; the same view
again (cached); clicks into directories; the first view of two real recorded
builds of that shape (DIRS + 20 sub-makes in one object folder, 12 sources
each, the second in a copy of the tree with its own object folder and one
source edited), opened with --label twice; and a report click on the demo
data.
Prints the figures; asserts nothing.

    bench/traceview/traceview_bench.py [DIRS] [ROUNDS]     (defaults 300 and 5)
"""
import concurrent.futures
import json
import os
import statistics
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'tests', 'traceview'))
from tvsupport import SOURCE, Cluster, Traceview, record_large_pair, write_large_build  # noqa: E402


def fetch(url):
    started = time.perf_counter()
    with urllib.request.urlopen(url) as reply:
        reply.read()
        assert reply.status == 200, reply.status
    return time.perf_counter() - started


def view(tv, build='rsf', **params):
    """The view answer and the seconds it took."""
    started = time.perf_counter()
    with urllib.request.urlopen(tv.url + '/api/view?' + urllib.parse.urlencode(dict(build=build, **params))) as reply:
        answer = json.loads(reply.read())
        assert reply.status == 200, reply.status
    return answer, time.perf_counter() - started


def main():
    dirs = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    for compared in [False, True]:
        with tempfile.TemporaryDirectory() as d:
            rsf = os.path.join(d, 'large.rsf')
            counts = write_large_build(rsf, compared=compared, dirs=dirs)
            started = time.perf_counter()
            tv = Traceview(['--rsf', rsf])
            try:
                overview, _ = view(tv)
                first = time.perf_counter() - started
                cached = [view(tv)[1] for _ in range(rounds)]
                # A click into each of the largest boxes, as a person starts.
                boxes = sorted((n for n in overview['nodes'].values() if n['kind'] == 'dir'),
                               key=lambda n: -n['files'])[:rounds]
                clicks = [view(tv, kind='dir', id=b['id']) for b in boxes]
                deeper = [n for n in clicks[0][0]['nodes'].values() if n['kind'] == 'dir'][:rounds]
                deep_clicks = [view(tv, kind='dir', id=n['id'])[1] for n in deeper]
            finally:
                tv.stop()
        what = 'two builds compared' if compared else 'one build'
        print('%s: %d instances, %d make processes, %d source directories' %
              (what, counts['instances'], counts['procs'], counts['dirs']))
        print('  first view from traceview\'s start: %.3f s (%d nodes, %d ms in the server)' %
              (first, len(overview['nodes']), overview['ms']))
        print('  same view again (cached): median %.3f s, worst %.3f s' % (statistics.median(cached), max(cached)))
        print('  a click into one of the largest boxes: median %.3f s, worst %.3f s over %d' %
              (statistics.median(c[1] for c in clicks), max(c[1] for c in clicks), len(clicks)))
        if deep_clicks:
            print('  a click one level further: median %.3f s, worst %.3f s over %d' %
                  (statistics.median(deep_clicks), max(deep_clicks), len(deep_clicks)))

    cluster = Cluster()
    try:
        with tempfile.TemporaryDirectory() as d:
            recording = time.perf_counter()
            record_large_pair(cluster, d, ['A', 'C'], folders=dirs + 20, sources=12)
            recording = time.perf_counter() - recording
            started = time.perf_counter()
            tv = Traceview(['--label', 'A', '--label', 'C'], cluster.env)
            try:
                builds = json.loads(urllib.request.urlopen(tv.url + '/api/builds').read())
                overview, _ = view(tv, build=builds['first'])
                first = time.perf_counter() - started
                cached = [view(tv, build=builds['first'])[1] for _ in range(rounds)]
            finally:
                tv.stop()
        print('two recorded builds compared (%d make processes each, both recorded in %.0f s): %d files drawn' %
              (dirs + 21, recording, builds['builds'][0]['files']))
        print('  first view from traceview\'s start, the export by tracemake rsf included: %.3f s (%d nodes, %d ms in '
              'the server)' % (first, len(overview['nodes']), overview['ms']))
        print('  same view again (cached): median %.3f s' % statistics.median(cached))

        tv = Traceview(['--rsf', os.path.join(SOURCE, 'demo', 'sample.rsf')], cluster.env)
        try:
            clicks, serial = [], []
            urls = [tv.url + '/api/report?' + urllib.parse.urlencode({'tool': tool, 'oids': '16417 16517'})
                    for tool in ['recipeshow', 'procshow', 'envshow']]
            with concurrent.futures.ThreadPoolExecutor(3) as pool:
                for _ in range(rounds):
                    # One click asks for three reports at once, as the page does.
                    started = time.perf_counter()
                    list(pool.map(fetch, urls))
                    clicks.append(time.perf_counter() - started)
                    started = time.perf_counter()
                    for url in urls:
                        fetch(url)
                    serial.append(time.perf_counter() - started)
            single = [fetch(tv.url + '/api/report?tool=envdiff&oids=16429%2016530') for _ in range(rounds)]
        finally:
            tv.stop()
    finally:
        cluster.stop()
    print('report click on the demo data (its three reports at once): median %.3f s, worst %.3f s' %
          (statistics.median(clicks), max(clicks)))
    print('the same three reports one after another: median %.3f s, worst %.3f s' %
          (statistics.median(serial), max(serial)))
    print('one report (envdiff): median %.3f s, worst %.3f s' % (statistics.median(single), max(single)))


if __name__ == '__main__':
    main()
