#!/usr/bin/python3
"""traceview's speed: the first view of a build of FILES files (cold layout
cache), the same view again (cached), a drill-down into a directory, and a
report click on the demo data.  Prints the figures; asserts nothing.

    bench/traceview/traceview_bench.py [FILES] [ROUNDS]     (defaults 10000 and 5)
"""
import concurrent.futures
import os
import statistics
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'tests', 'traceview'))
from tvsupport import SOURCE, Cluster, Traceview  # noqa: E402


def write_build(path, files):
    """A build of `files` files: 10 top directories of 10 subdirectories, each
    holding sources, objects and an archive, objects depending on their source
    and a shared header."""
    per_dir = max(3, -(-files // 100))
    oid = 1
    with open(path, 'w') as f:
        f.write('ROOT\t/src\t-\n')
        for top in range(10):
            tdir = '/src/t%d' % top
            f.write('CONTAIN\t/src\t%s\n' % tdir)
            for sub in range(10):
                d = '%s/s%d' % (tdir, sub)
                f.write('CONTAIN\t%s\t%s\n' % (tdir, d))
                header = oid
                f.write('FILE\t%d\tdefs.h\nCONTAIN\t%s\t%d\n' % (header, d, header))
                oid += 1
                for i in range(per_dir // 2):
                    src, obj = oid, oid + 1
                    oid += 2
                    f.write('FILE\t%d\tf%d.c\nCONTAIN\t%s\t%d\n' % (src, i, d, src))
                    f.write('FILE\t%d\tf%d.o\nCONTAIN\t%s\t%d\nTARGET\t%d\t-\nEXECUTED\t%d\t-\n' % (obj, i, d, obj, obj, obj))
                    f.write('DEPENDON\t%d\t%d\nDEPENDON\t%d\t%d\n' % (obj, src, obj, header))
                    if top > 0 and i == 0:
                        f.write('DEPENDON\t%d\t1\n' % obj)   # across directories
    return oid - 1


def fetch(url):
    started = time.perf_counter()
    with urllib.request.urlopen(url) as reply:
        reply.read()
        assert reply.status == 200, reply.status
    return time.perf_counter() - started


def main():
    files = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as d:
        rsf = os.path.join(d, 'big.rsf')
        made = write_build(rsf, files)
        started = time.perf_counter()
        tv = Traceview(['--rsf', rsf])
        load = time.perf_counter() - started
        try:
            first = fetch(tv.url + '/api/view?build=rsf')
            cached = [fetch(tv.url + '/api/view?build=rsf') for _ in range(rounds)]
            drill = fetch(tv.url + '/api/view?' + urllib.parse.urlencode({'build': 'rsf', 'kind': 'dir', 'id': '/src/t3/s4'}))
            drill_cached = fetch(tv.url + '/api/view?' + urllib.parse.urlencode({'build': 'rsf', 'kind': 'dir', 'id': '/src/t3/s4'}))
            # The same directory with every file of it, as far as the largest limit goes.
            whole = fetch(tv.url + '/api/view?' + urllib.parse.urlencode(
                {'build': 'rsf', 'kind': 'dir', 'id': '/src/t5/s5', 'limit': 2000}))
        finally:
            tv.stop()
    print('build of %d files: server up with it loaded in %.3f s' % (made, load))
    print('first view (overview, cold cache): %.3f s' % first)
    print('same view again (cached): median %.3f s, worst %.3f s over %d' % (statistics.median(cached), max(cached), rounds))
    print('drill-down into one directory: %.3f s cold, %.3f s cached' % (drill, drill_cached))
    print('another directory with up to 2000 of its files (limit 2000): %.3f s cold' % whole)

    cluster = Cluster()
    try:
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
