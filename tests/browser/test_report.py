"""The HTML report as a person sees it: opened in headless Chromium, drawn,
hovered and clicked."""
import json
import os
import shutil
import subprocess

import pytest

SNX_EXPORT = os.environ["SNX_EXPORT"]
EXAMPLES = os.environ["SARNIC_EXAMPLES_DIR"]
TESTS_DATA = os.environ["SARNIC_TESTS_DATA_DIR"]
CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
except ImportError:  # pragma: no cover - reported by the skip below
    webdriver = None

pytestmark = pytest.mark.skipif(
    webdriver is None or CHROMIUM is None or CHROMEDRIVER is None,
    reason="no browser: chromium, chromium-driver and python3-selenium are "
           "installed by scripts/setup.sh")


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1000"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def chain_graph(path, layers):
    """A graph file of `layers` layers: relu and add with skips."""
    nodes = [{"name": "l0", "attrs": {"op": "external", "output_shape": [1, 256]}}]
    edges = []
    for i in range(1, layers):
        back = f"l{max(0, i - 3)}"
        attrs = ({"op": "add", "x": f"l{i - 1}", "y": back, "output_shape": [1, 64 * (1 + i % 5)]}
                 if i % 2 else {"op": "relu", "x": f"l{i - 1}", "output_shape": [1, 128 * (1 + i % 3)]})
        nodes.append({"name": f"l{i}", "attrs": attrs})
        edges.append([f"l{i - 1}", f"l{i}"])
        if i % 2 and back != f"l{i - 1}":
            edges.append([back, f"l{i}"])
    doc = {"format": "snx-graph", "version": 1, "orig_inputs": ["l0"],
           "orig_outputs": [f"l{layers - 1}"], "nodes": nodes, "edges": edges}
    path.write_text(json.dumps(doc))


def report_of(tmp_path, graph, name):
    model, page = tmp_path / (name + ".snx"), tmp_path / (name + ".html")
    subprocess.run([SNX_EXPORT, str(graph), "-o", str(model), "--report", str(page)],
                   check=True, capture_output=True)
    return page


@pytest.mark.parametrize("which", ["example", "2000 layers"])
def test_the_report_draws_every_planned_layer_and_answers_the_mouse(browser, tmp_path, which):
    if which == "example":
        graph = os.path.join(EXAMPLES, "mobilenet", "mobilenet.json")
    else:
        graph = tmp_path / "chain.json"
        chain_graph(graph, 2000)
    page = report_of(tmp_path, graph, "report")
    browser.get(page.as_uri())
    data = json.loads(browser.find_element(By.ID, "data").get_attribute("textContent"))
    planned = [l for l in data["layers"] if l["block"] is not None and l["blocks"] > 0]
    assert planned
    assert browser.execute_script("return window.report.rectangles") == len(planned)
    assert browser.execute_script("return window.report.plannedRows") == len(planned)
    assert browser.execute_script("return window.report.rows") == len(data["layers"])
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []

    # Hover a known layer: the largest planned output.
    known = max(planned, key=lambda l: (l["blocks"] * (l["live"][1] - l["live"][0] + 1), -l["index"]))
    canvas = browser.find_element(By.ID, "plan")
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", canvas)
    x, y = browser.execute_script("return window.report.centerOf(arguments[0])", known["index"])
    box = browser.execute_script(
        "const b = arguments[0].getBoundingClientRect(); return [b.left, b.top, b.width, b.height]",
        canvas)
    dx, dy = x - (box[0] + box[2] / 2), y - (box[1] + box[3] / 2)
    ActionChains(browser).move_to_element_with_offset(canvas, int(dx), int(dy)).perform()
    tip = browser.find_element(By.ID, "tip")
    assert tip.is_displayed()
    assert known["name"] in tip.text and f"{known['bytes']} bytes" in tip.text

    ActionChains(browser).move_to_element_with_offset(canvas, int(dx), int(dy)).click().perform()
    selected = ("return [...document.querySelectorAll('#layers tr.selected')]"
                ".map(r => r.getAttribute('data-index'))")
    want = [str(known["index"])]
    assert eventually(lambda: browser.execute_script(selected), want) == want

    shot = tmp_path / "report.png"
    assert browser.save_screenshot(str(shot))
    pixels = browser.execute_script(
        "const c = document.getElementById('plan');"
        "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        "const seen = new Set(); for (let i = 0; i < d.length; i += 4 * 97)"
        " seen.add(d[i] + ',' + d[i + 1] + ',' + d[i + 2]); return seen.size")
    assert pixels > 3  # not blank: background, layers and the peak line


def test_filter_and_sort(browser, tmp_path):
    page = report_of(tmp_path, os.path.join(EXAMPLES, "mobilenet", "mobilenet.json"), "r")
    browser.get(page.as_uri())
    box = browser.find_element(By.ID, "filter")
    box.send_keys("conv2d")
    texts = ("return [...document.querySelectorAll('#layers tbody tr.layer')]"
             ".map(r => r.textContent)")

    def all_conv() -> bool:
        rows = browser.execute_script(texts)
        return bool(rows) and all("conv2d" in r for r in rows)
    assert eventually(all_conv, True)
    browser.find_element(By.CSS_SELECTOR, 'th[data-key="bytes"]').click()
    cells = ("return [...document.querySelectorAll('#layers tbody tr.layer')]"
             ".map(r => Number(r.children[4].textContent))")

    def sorted_sizes() -> bool:
        sizes = browser.execute_script(cells)
        return bool(sizes) and sizes == sorted(sizes)
    assert eventually(sorted_sizes, True)


def eventually(read, expected, seconds=10.0):
    """The value `read()` settles on: the virtual list renders on the next
    frame, later on a loaded machine. Each read is one script, so no row
    can be replaced between finding it and reading it."""
    import time
    deadline = time.monotonic() + seconds
    value = read()
    while value != expected and time.monotonic() < deadline:
        time.sleep(0.05)
        value = read()
    return value


def test_a_large_report_lists_rows_in_view_and_scales_the_plan(browser, tmp_path):
    graph = tmp_path / "big.json"
    chain_graph(graph, 20000)
    browser.get(report_of(tmp_path, graph, "big").as_uri())
    assert browser.execute_script("return window.report.rows") == 20000
    # A virtual list: only the rows in view are in the page, and scrolling
    # brings the others.
    in_page = browser.find_elements(By.CSS_SELECTOR, "#layers tbody tr.layer")
    assert 0 < len(in_page) < 200
    browser.execute_script("const b = document.getElementById('table-box');"
                           "b.scrollTop = b.scrollHeight;"
                           "b.dispatchEvent(new Event('scroll'))")
    last_row = ("const r = document.querySelectorAll('#layers tbody tr.layer');"
                "return r.length ? r[r.length - 1].getAttribute('data-index') : null")
    assert eventually(lambda: browser.execute_script(last_row), "19999") == "19999"
    # Selecting a layer from the plan scrolls its row into the list.
    browser.execute_script("window.report.select(12345)")
    selected = ("return [...document.querySelectorAll('#layers tr.selected')]"
                ".map(r => r.getAttribute('data-index'))")
    assert eventually(lambda: browser.execute_script(selected), ["12345"]) == ["12345"]
    # The planned blocks fill the canvas below the reserved band: most of
    # the plan's pixels are layers, not background.
    lit = browser.execute_script(
        "const c = document.getElementById('plan');"
        "const d = c.getContext('2d').getImageData(0, 30, c.width, c.height - 30).data;"
        "let n = 0; for (let i = 0; i < d.length; i += 4)"
        " n += (d[i] !== 42 || d[i + 1] !== 42 || d[i + 2] !== 42); return n / (d.length / 4)")
    assert lit > 0.3


def test_hover_finds_the_layer_drawn_under_the_pointer_and_the_tip_stays_in_view(browser, tmp_path):
    graph = tmp_path / "chain.json"
    chain_graph(graph, 2000)
    browser.get(report_of(tmp_path, graph, "r").as_uri())
    canvas = browser.find_element(By.ID, "plan")
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", canvas)
    # Every layer whose rectangle is at least 3 pixels each way is found at
    # its centre: the pointer finds what is drawn there.
    wrong = browser.execute_script(
        "const out = []; const c = document.getElementById('plan');"
        "const s = c.getBoundingClientRect().width / c.width;"
        "for (let i = 0; i < window.report.count; ++i) {"
        "  const r = window.report.rectOf(i); if (!r || r.w < 3 || r.h < 3) continue;"
        "  const [x, y] = window.report.centerOf(i);"
        "  if (window.report.layerAtPage(x, y) !== i) out.push(i); }"
        "return out")
    assert wrong == []
    # Near the right edge the tooltip turns to the pointer's left.
    box = browser.execute_script(
        "const b = arguments[0].getBoundingClientRect(); return [b.left, b.top, b.width, b.height]",
        canvas)
    for fx in (0.995, 0.5):
        ActionChains(browser).move_to_element_with_offset(
            canvas, int(box[2] * (fx - 0.5)), int(box[3] * 0.4)).perform()
        tip = browser.find_element(By.ID, "tip")
        if tip.is_displayed():
            right = browser.execute_script(
                "return document.getElementById('tip').getBoundingClientRect().right")
            assert right <= browser.execute_script("return window.innerWidth")


def constants_between(path, layers):
    """A chain whose every other layer adds a constant of its own: the
    constants sit between the planned layers in the file."""
    nodes = [{"name": "x0", "attrs": {"op": "external", "output_shape": [1, 512]}}]
    edges, prev = [], "x0"
    for i in range(1, layers):
        name = f"x{i}"
        if i % 2:
            nodes.append({"name": f"c{i}", "attrs": {"op": "constant", "output_shape": [1, 512]}})
            nodes.append({"name": name, "attrs": {"op": "add", "x": prev, "y": f"c{i}",
                                                  "output_shape": [1, 512]}})
            edges.append([f"c{i}", name])
        else:
            nodes.append({"name": name, "attrs": {"op": "relu", "x": prev,
                                                  "output_shape": [1, 512]}})
        edges.append([prev, name])
        prev = name
    doc = {"format": "snx-graph", "version": 1, "orig_inputs": ["x0"],
           "orig_outputs": [prev], "nodes": nodes, "edges": edges,
           "tensor_dict": {f"c{i}": {"__ndarray__": {"dtype": "float32", "shape": [1, 512],
                                                      "data": [0.5] * 512}}
                           for i in range(1, layers, 2)}}
    path.write_text(json.dumps(doc))


def test_steps_are_the_planned_layers_numbered_as_the_picture_numbers_them(browser, tmp_path):
    graph = tmp_path / "consts.json"
    constants_between(graph, 41)
    browser.get(report_of(tmp_path, graph, "c").as_uri())
    data = json.loads(browser.find_element(By.ID, "data").get_attribute("textContent"))
    planned = [l for l in data["layers"] if l["block"] is not None]
    assert len(planned) == 41 and len(data["layers"]) == 61  # 20 constants take no step
    assert browser.execute_script("return window.report.steps") == 41
    # Step t is the t-th planned layer, as in the memory map picture.
    steps = browser.execute_script(
        "return arguments[0].map(i => window.report.stepOf(i))", [l["index"] for l in planned])
    assert steps == list(range(41))
    assert browser.execute_script("return window.report.stepOf(arguments[0])",
                                  next(l["index"] for l in data["layers"]
                                       if l["type"] == "constant")) is None
    # A chain holds two layers at once: the peak is two outputs' blocks.
    assert browser.execute_script("return window.report.peak.blocks") == 2 * planned[1]["blocks"]
    # Only planned steps across: the last planned layer reaches the right edge.
    last = browser.execute_script("return window.report.rectOf(arguments[0])", planned[-1]["index"])
    width = browser.execute_script("return document.getElementById('plan').width")
    assert last["x"] + last["w"] == width


def test_layers_are_outlined_and_every_type_has_its_own_colour(browser, tmp_path):
    browser.get(report_of(tmp_path, os.path.join(TESTS_DATA, "all_ops.json"), "ops").as_uri())
    data = json.loads(browser.find_element(By.ID, "data").get_attribute("textContent"))
    types = {l["type"] for l in data["layers"]}
    colours = browser.execute_script("return window.report.colours")
    assert set(colours) == types and len(types) > 20
    assert len(set(colours.values())) == len(types)
    # Each layer's rectangle has a dark edge inside it, so that layers of
    # one type side by side stay apart.
    graph = tmp_path / "consts.json"
    constants_between(graph, 41)
    browser.get(report_of(tmp_path, graph, "c").as_uri())
    edge = browser.execute_script(
        "const c = document.getElementById('plan'), g = c.getContext('2d');"
        "let i = 0; while (window.report.rectOf(i) === null) ++i;"
        "const r = window.report.rectOf(i);"
        "const px = (x, y) => [...g.getImageData(x, y, 1, 1).data].slice(0, 3);"
        "const y = r.y + Math.floor(r.h / 2);"
        "return [px(r.x, y), px(r.x + Math.floor(r.w / 2), y), r.w, r.h]")
    border, inside, w, h = edge
    assert w >= 4 and h >= 4
    assert sum(border) < sum(inside)


def test_the_table_shows_each_layers_settings_and_parameter_bytes(browser, tmp_path):
    browser.get(report_of(tmp_path, os.path.join(TESTS_DATA, "all_ops.json"), "ops").as_uri())
    browser.find_element(By.ID, "filter").send_keys("conv_1")
    rows = ("return [...document.querySelectorAll('#layers tbody tr.layer')]"
            ".map(r => [...r.children].map(c => c.textContent))")

    def conv_row():
        found = [r for r in browser.execute_script(rows) if r[1] == "conv_1"]
        return found[0] if found else None
    assert eventually(lambda: conv_row() is not None, True)
    row = conv_row()
    headers = browser.execute_script(
        "return [...document.querySelectorAll('#layers th')].map(h => h.textContent)")
    cell = dict(zip(headers, row))
    assert cell["parameter bytes"] == "592"  # a 3x3x4x4 filter and 4 biases, as floats
    assert cell["attributes"].startswith("kernel 3x3, activation relu, groups 1")
