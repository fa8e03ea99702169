"""traceview in a real browser (headless Chromium through Selenium) on the
demo data: the graph appears upright and inside the window, a click on a file
shows its reports, the search centres a file, two files are compared, a
recorded build tells why a file was rebuilt and marks its first causes, and
names that hold markup stay text."""
import base64
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(__file__))
from tvsupport import BIN, SOURCE, Cluster, Traceview, record_calc, write_large_build  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

SCREENSHOT = os.environ.get('TRACEVIEW_SCREENSHOT')   # where to keep the picture, when set
cluster = server = browser = recorded = None


def setUpModule():
    global cluster, server, browser, recorded
    cluster = Cluster()
    recorded = tempfile.TemporaryDirectory()
    record_calc(cluster, recorded.name)
    server = Traceview(['--rsf', os.path.join(SOURCE, 'demo', 'sample.rsf'),
                        '--changes', os.path.join(SOURCE, 'demo', 'sample.list')], cluster.env)
    options = Options()
    for arg in ['--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1400,900']:
        options.add_argument(arg)
    options.binary_location = '/usr/bin/chromium'
    browser = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def tearDownModule():
    browser.quit()
    server.stop()
    cluster.stop()
    recorded.cleanup()


def wait(condition, timeout=40):
    return WebDriverWait(browser, timeout).until(lambda _: condition())


def node(title):
    for g in browser.find_elements(By.CSS_SELECTOR, '#graph g.node'):
        if g.find_element(By.TAG_NAME, 'title').get_attribute('textContent') == title:
            return g
    return None


def named(name):
    """The drawn file node of that visible name, or None."""
    for g in browser.find_elements(By.CSS_SELECTOR, '#graph g.node'):
        if g.text == name:
            return g
    return None


def report_text(tool, within='#reports'):
    pres = browser.find_elements(By.CSS_SELECTOR, within + ' pre[data-tool=%s]' % tool)
    return pres[0].text if pres else ''


class Page(unittest.TestCase):
    def setUp(self):
        browser.get(server.url + '/')
        wait(lambda: node('16417 16517') is not None)

    def test_the_graph_fits_the_window_and_the_picture_is_not_blank(self):
        # A file picked first, so that the picture also shows reports beside the graph.
        node('16429 16530').click()
        wait(lambda: 'EXECUTED COMMAND' in report_text('recipeshow'))
        wait(lambda: 'Environment at' in report_text('envshow'))
        browser.find_element(By.ID, 'fit').click()
        inside = browser.execute_script("""
            const area = document.getElementById('graph').getBoundingClientRect();
            const parts = [...document.querySelectorAll('#graph g.node, #graph g.cluster, #graph g.edge')]
                .map(e => e.getBoundingClientRect());
            const g = {left: Math.min(...parts.map(r => r.left)), top: Math.min(...parts.map(r => r.top)),
                       right: Math.max(...parts.map(r => r.right)), bottom: Math.max(...parts.map(r => r.bottom))};
            g.width = g.right - g.left;
            g.height = g.bottom - g.top;
            return [g.width > area.width / 3 || g.height > area.height / 3,
                    g.left >= area.left - 1 && g.top >= area.top - 1 &&
                    g.right <= area.right + 1 && g.bottom <= area.bottom + 1,
                    g.height > g.width / 3];""")
        self.assertEqual(inside, [True, True, True])
        png = browser.get_screenshot_as_png()
        if SCREENSHOT:
            with open(SCREENSHOT, 'wb') as f:
                f.write(png)
        # The browser decodes its own screenshot: how much of the graph area is not white, in how many colours.
        counts = browser.execute_async_script("""
            const done = arguments[1];
            const img = new Image();
            img.onload = () => {
              const c = document.createElement('canvas');
              c.width = img.width; c.height = img.height;
              const ctx = c.getContext('2d');
              ctx.drawImage(img, 0, 0);
              const r = document.getElementById('graph').getBoundingClientRect();
              const d = ctx.getImageData(r.left, r.top, r.width, r.height).data;
              let inked = 0; const colours = new Set();
              for (let i = 0; i < d.length; i += 4) {
                if (d[i] < 240 || d[i + 1] < 240 || d[i + 2] < 240) inked++;
                colours.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
              }
              done([inked / (d.length / 4), colours.size]);
            };
            img.src = 'data:image/png;base64,' + arguments[0];""", base64.b64encode(png).decode())
        self.assertGreater(counts[0], 0.02)
        self.assertGreater(counts[1], 8)

    def test_clicking_a_file_shows_its_three_reports(self):
        node('16417 16517').click()
        wait(lambda: 'Command information for /home/dev/calc-v1/lib/add.o' in report_text('recipeshow'))
        wait(lambda: 'Command Line for' in report_text('procshow'))
        wait(lambda: 'Environment at 16417' in report_text('envshow'))
        self.assertIn('OID 16417 and 16517', browser.find_element(By.ID, 'node-info').text)
        view_width = "return +document.querySelector('#graph svg').getAttribute('viewBox').split(' ')[2]"
        before = browser.execute_script(view_width)
        browser.find_element(By.ID, 'zoom-node').click()
        self.assertLess(browser.execute_script(view_width), before / 2)   # zoomed in on it

    def test_search_centres_the_file_found(self):
        box = browser.find_element(By.ID, 'search')
        box.send_keys('main.c', Keys.ENTER)
        wait(lambda: 'found' in (node('16430 16531').get_attribute('class') or ''))
        centre = browser.execute_script("""
            const area = document.getElementById('graph').getBoundingClientRect();
            const n = [...document.querySelectorAll('#graph g.node')].find(
                g => g.querySelector('title').textContent === '16430 16531').getBoundingClientRect();
            return [(n.left + n.right) / 2 - (area.left + area.right) / 2,
                    (n.top + n.bottom) / 2 - (area.top + area.bottom) / 2];""")
        self.assertLess(abs(centre[0]), 30)
        self.assertLess(abs(centre[1]), 30)

    def test_a_move_right_after_a_click_pans_nothing(self):
        # The pointer's next move may come before the page's timer that ends
        # the click: it must not be taken for a drag.
        moved = browser.execute_script("""
            const g = [...document.querySelectorAll('#graph g.node')].find(
                n => n.querySelector('title').textContent === '16429 16530');
            const r = g.getBoundingClientRect(), x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
            const before = document.querySelector('#graph svg').getAttribute('viewBox');
            const at = (type, px, py, buttons) => new PointerEvent(type, {bubbles: true, clientX: px, clientY: py,
                                                                           button: 0, buttons, isPrimary: true});
            g.dispatchEvent(at('pointerdown', x, y, 1));
            g.dispatchEvent(at('pointerup', x, y, 0));
            window.dispatchEvent(at('pointermove', x + 300, y + 200, 0));
            return [before, document.querySelector('#graph svg').getAttribute('viewBox')];""")
        self.assertEqual(moved[1], moved[0])

    def test_comparing_two_versions_of_a_file_and_two_files(self):
        node('16428 16529').click()       # src/calc of both versions
        browser.find_element(By.ID, 'pick').click()
        browser.find_element(By.ID, 'compare').click()
        wait(lambda: '-L../lib -lcalc' in report_text('rulediff', '#comparison'))
        wait(lambda: 'Comparing Environment' in report_text('envdiff', '#comparison'))
        browser.find_element(By.ID, 'clear-picks').click()
        for title in ['16429 16530', '16436 16537']:   # main.o and doc/calc.1
            node(title).click()
            browser.find_element(By.ID, 'pick').click()
        browser.find_element(By.ID, 'compare').click()
        wait(lambda: '16429 16436' in browser.find_element(By.ID, 'comparison').text)
        wait(lambda: 'Comparing Environment at main.o and that at calc.1' in report_text('envdiff', '#comparison'))

    def test_a_directory_opens_and_the_changes_list_leads_to_a_file(self):
        browser.find_element(By.ID, 'overview').click()
        changes = browser.find_element(By.ID, 'changes')
        wait(lambda: 'compat.h' in changes.text)
        changes.find_element(By.XPATH, ".//li[contains(., 'mul.c')]").click()
        wait(lambda: 'only in v2' in browser.find_element(By.ID, 'node-info').text)


class RecordedBuilds(unittest.TestCase):
    def test_two_recorded_builds_opened_from_the_page(self):
        browser.get(server.url + '/')
        wait(lambda: browser.find_elements(By.ID, 'label-b'))
        Select(browser.find_element(By.ID, 'label-a')).select_by_value('r1')
        Select(browser.find_element(By.ID, 'label-b')).select_by_value('r2')
        browser.find_element(By.XPATH, "//button[text()='Open recorded']").click()
        wait(lambda: 'r1 against r2' in browser.find_element(By.ID, 'build').text)
        wait(lambda: 'compat.h' in browser.find_element(By.ID, 'changes').text)
        wait(lambda: any(g.text == 'main.o' for g in browser.find_elements(By.CSS_SELECTOR, '#graph g.node')))
        self.assertIn('Added in r2', browser.find_element(By.ID, 'changes').text)


class WhyRebuilt(unittest.TestCase):
    """A build of the demo rebuilt after a source and a header were edited:
    the file panel says why the object was made, the first causes name the
    two files and mark them in the drawing."""

    def test_the_reason_of_a_file_and_the_first_causes_in_the_drawing(self):
        with tempfile.TemporaryDirectory() as d:
            tree = os.path.join(d, 'calc')
            shutil.copytree(os.path.join(SOURCE, 'demo', 'calc-v1'), tree)
            subprocess.run(['make'], cwd=tree, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Everything built an hour ago, then a source and a header (which
            # both make processes that compile know) edited a minute ago:
            # newer than what was made from them, whatever the clock's grain,
            # and not in the future.
            now = time.time()
            for folder, _, names in os.walk(tree):
                for name in names:
                    os.utime(os.path.join(folder, name), (now - 3600, now - 3600))
            for edited in ['src/main.c', 'lib/calc.h']:
                os.utime(os.path.join(tree, edited), (now - 60, now - 60))
            subprocess.run([os.path.join(BIN, 'tracemake'), 'record', '--label', 'touched', '--', 'make'], cwd=tree,
                           env=cluster.env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            tv = Traceview(['--label', 'touched'], cluster.env)
            try:
                browser.get(tv.url + '/')
                wait(lambda: named('main.o') is not None and named('main.c') is not None)
                named('main.o').click()
                why = lambda: report_text('why')   # noqa: E731
                wait(lambda: 'rebuilt' in why())
                self.assertIn('main.o (make in src, OID ', why())
                self.assertIn('  prerequisite src/main.c is newer (changed outside the build)\n', why())
                self.assertIn('lib/calc.h', why())
                # The first causes, the header first (it led to more), each named once.
                causes = browser.find_element(By.ID, 'causes')
                wait(lambda: causes.find_elements(By.TAG_NAME, 'li'))
                listed = [li.text for li in causes.find_elements(By.TAG_NAME, 'li')]
                self.assertEqual(len(listed), 2, listed)
                self.assertRegex(listed[0], r'/calc/lib/calc\.h \([0-9]+ rebuilt\)$')
                self.assertRegex(listed[1], r'/calc/src/main\.c \(2 rebuilt\)$')
                # Marked where they are drawn: every node of the header (one
                # per make process that knows it), the source, nothing else.
                marked = sorted(g.text for g in browser.find_elements(By.CSS_SELECTOR, '#graph g.node.cause'))
                headers = [g for g in browser.find_elements(By.CSS_SELECTOR, '#graph g.node') if g.text == 'calc.h']
                self.assertGreaterEqual(len(headers), 2)
                self.assertEqual(marked, ['calc.h'] * len(headers) + ['main.c'])
                causes.find_elements(By.TAG_NAME, 'li')[1].click()
                wait(lambda: '/calc/src/main.c' in browser.find_element(By.ID, 'node-info').text)
                # The cause keeps its own outline when the click picks it out.
                outline = browser.execute_script("""
                    const g = [...document.querySelectorAll('#graph g.node')].find(
                        n => n.classList.contains('selected') && n.textContent.includes('main.c'));
                    const shape = getComputedStyle(g.querySelector('ellipse, polygon'));
                    return [g.classList.contains('cause'), shape.strokeDasharray, shape.strokeWidth];""")
                self.assertEqual(outline[0], True)
                self.assertNotEqual(outline[1], 'none')
                self.assertEqual(outline[2], '5px')
            finally:
                tv.stop()


class DatabaseDown(unittest.TestCase):
    def test_the_page_says_the_database_cannot_be_reached(self):
        env = dict(os.environ, PGHOST='/nonexistent-traceview-socket')
        tv = Traceview(['--rsf', os.path.join(SOURCE, 'demo', 'sample.rsf')], env)
        try:
            browser.get(tv.url + '/')
            wait(lambda: node('16417 16517') is not None)
            wait(lambda: 'cannot reach the trace database' in browser.find_element(By.ID, 'labels').text)
            node('16417 16517').click()
            wait(lambda: 'connection' in report_text('recipeshow'))
            self.assertIn('exit status', browser.find_element(By.ID, 'reports').text)
        finally:
            tv.stop()


class LargeBuild(unittest.TestCase):
    """The first view of a large build, two builds compared, read at Fit in a 1400x900 window."""

    # Rendered height of a label's line, in CSS pixels, from which it reads without zooming.
    LEGIBLE = 8

    def test_the_labels_of_the_first_view_are_legible_at_fit(self):
        with tempfile.TemporaryDirectory() as d:
            rsf = os.path.join(d, 'large.rsf')
            write_large_build(rsf, compared=True)
            tv = Traceview(['--rsf', rsf])
            try:
                browser.get(tv.url + '/')
                wait(lambda: len(browser.find_elements(By.CSS_SELECTOR, '#graph g.node')) > 20)
                browser.find_element(By.ID, 'fit').click()
                sizes = browser.execute_script("""
                    const area = document.getElementById('graph').getBoundingClientRect();
                    const texts = [...document.querySelectorAll('#graph g.node text, #graph g.cluster text')];
                    const heights = texts.map(t => t.getBoundingClientRect().height).sort((a, b) => a - b);
                    const parts = [...document.querySelectorAll('#graph g.node')].map(n => n.getBoundingClientRect());
                    return {smallest: heights[0], median: heights[heights.length >> 1], count: heights.length,
                            inside: parts.every(r => r.left >= area.left - 1 && r.right <= area.right + 1 &&
                                                     r.top >= area.top - 1 && r.bottom <= area.bottom + 1)};""")
                self.assertGreater(sizes['count'], 20)
                self.assertTrue(sizes['inside'])
                self.assertGreaterEqual(sizes['smallest'], self.LEGIBLE, sizes)
                self.assertIn('drawn closed', browser.find_element(By.ID, 'status').text)
            finally:
                tv.stop()


class HostileNames(unittest.TestCase):
    def test_markup_in_names_is_shown_as_text(self):
        with tempfile.TemporaryDirectory() as d:
            rsf = os.path.join(d, 'names.rsf')
            with open(rsf, 'w') as f:
                f.write('ROOT\t/b\t-\nFILE\t1\t<img_src=x_onerror=window.hit=1>\nCONTAIN\t/b\t1\n'
                        'FILE\t2\t<script>window.hit=2</script>\nCONTAIN\t/b\t2\n')
            tv = Traceview(['--rsf', rsf])
            try:
                browser.get(tv.url + '/')
                wait(lambda: node('2') is not None)
                browser.find_element(By.ID, 'search').send_keys('script', Keys.ENTER)
                wait(lambda: '<script>' in browser.find_element(By.ID, 'node-info').text)
                self.assertIsNone(browser.execute_script('return window.hit'))
                self.assertEqual(browser.find_elements(By.CSS_SELECTOR, '#graph script, #side script, #graph img'), [])
            finally:
                tv.stop()


if __name__ == '__main__':
    unittest.main(verbosity=2)
