"""The example notebook run in JupyterLab and looked at in headless Chromium.

Starts JupyterLab on 127.0.0.1 (a free port, a random token, a temporary copy
of examples/ as its root, its own settings and runtime folders), opens
examples/insight_board.ipynb, runs all cells and checks that the dashboard
rendered as widgets: the view toggle, the three feature selectors, the
importance chart and the four effect images, then that a selector redraws,
and that the local view shows the SHAP and LIME drawings and follows the
sample index. Screenshots of both views go to build/browser-check/ (and
failure.png there when a check fails).

Chromium is Debian's package, installed with apt-get when missing (the
``chromium`` fixture of conftest.py); playwright drives it through
executable_path (it never downloads a browser of its own).
The browser may reach only the loopback server: other requests are aborted,
and JupyterLab's update check and news feed are off.
"""

import json
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path
from urllib.parse import urlsplit

import pytest

pytest.importorskip("torch")

ROOT = Path(__file__).resolve().parents[1]
NOTEBOOK = ROOT / "examples" / "insight_board.ipynb"
SHOTS = ROOT / "build" / "browser-check"

# Upper bounds, in seconds, of each wait: generous for a loaded 2-core machine;
# every wait ends as soon as its condition holds.
SERVER_START = 90
LAB_READY = 120  # page, notebook and idle kernel
PANEL_BUILT = 240  # all cells, from the imports to the finished panel
REDRAW = 90  # a selector or the sample index changed
ACTION = 15_000  # a click or a selection, milliseconds (playwright's unit)

GLOBAL_TAB = "Global-Explainability"
LOCAL_TAB = "Local-Explainability"


def _tail(path, lines=40):
    try:
        return "\n".join(Path(path).read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return "(no log)"


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _request(url, token, method="GET"):
    request = urllib.request.Request(url, method=method, headers={"Authorization": "token " + token})
    with urllib.request.urlopen(request, timeout=5) as response:
        body = response.read()
    return json.loads(body) if body else None


def _descendants(pid):
    import psutil

    try:
        return psutil.Process(pid).children(recursive=True)
    except psutil.Error:
        return []


def _stop(process, token, base):
    """Stops the server and every process it started: its kernels are shut
    down through the API (they run in sessions of their own), then the
    server's process group is ended; whatever is left is killed."""
    import psutil

    started = _descendants(process.pid)
    if process.poll() is None:
        try:
            for kernel in _request(base + "/api/kernels", token) or []:
                _request(base + "/api/kernels/" + kernel["id"], token, method="DELETE")
        except (OSError, ValueError):
            pass  # the server does not answer: the signals below end it
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=15)
    for child in started:
        try:
            child.kill()
        except psutil.Error:
            pass
    psutil.wait_procs(started, timeout=10)


@pytest.fixture
def lab(tmp_path):
    """A JupyterLab server on 127.0.0.1 serving a copy of examples/; yields
    (base URL, token, server log path)."""
    root = tmp_path / "root"
    shutil.copytree(NOTEBOOK.parent, root)
    settings = tmp_path / "lab-settings"
    for plugin, values in {
        # Every cell stays in the DOM, drawn or not: no virtual scrolling.
        "@jupyterlab/notebook-extension/tracker": {"windowingMode": "none"},
        # No prompt about news, no update check.
        "@jupyterlab/apputils-extension/notification": {"fetchNews": "false", "checkForUpdates": False},
    }.items():
        path = settings / (plugin + ".jupyterlab-settings")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(values))
    env = dict(os.environ)
    # The test suite draws with Agg; the kernel must use its inline backend,
    # or plt.show() would draw nothing into the widgets.
    env.pop("MPLBACKEND", None)
    env.update(
        JUPYTER_CONFIG_DIR=str(tmp_path / "config"),
        JUPYTER_DATA_DIR=str(tmp_path / "data"),
        JUPYTER_RUNTIME_DIR=str(tmp_path / "runtime"),
        JUPYTERLAB_SETTINGS_DIR=str(settings),
        JUPYTERLAB_WORKSPACES_DIR=str(tmp_path / "workspaces"),
        IPYTHONDIR=str(tmp_path / "ipython"),
        PATH=str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", ""),
    )
    token = secrets.token_hex(24)
    log_path = tmp_path / "jupyterlab.log"
    process = None
    for attempt in range(3):  # another process may take the port first
        port = _free_port()
        base = "http://127.0.0.1:%d" % port
        with open(log_path, "ab") as log:
            process = subprocess.Popen(
                [
                    sys.executable, "-m", "jupyterlab",
                    "--no-browser",
                    "--ip=127.0.0.1",
                    "--port=%d" % port,
                    "--ServerApp.port_retries=0",
                    "--IdentityProvider.token=" + token,
                    "--ServerApp.root_dir=" + str(root),
                    "--ServerApp.terminals_enabled=False",
                    "--LabApp.expose_app_in_browser=True",
                    "--LabApp.news_url=None",
                    "--LabApp.check_for_updates_class=jupyterlab.NeverCheckForUpdate",
                    "--LabApp.extension_manager=readonly",
                    # Should this test be killed before it stops the server,
                    # the server ends itself once idle.
                    "--MappingKernelManager.cull_idle_timeout=600",
                    "--ServerApp.shutdown_no_activity_timeout=900",
                ]
                + (["--allow-root"] if os.geteuid() == 0 else []),
                cwd=str(root),
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,  # its own process group, ended as one
            )
        try:
            deadline = time.monotonic() + SERVER_START
            while process.poll() is None and time.monotonic() < deadline:
                try:
                    _request(base + "/api/status", token)
                    break
                except (OSError, ValueError):
                    time.sleep(0.25)
            else:
                if process.poll() is None:
                    pytest.fail(
                        "JupyterLab did not answer on %s/api/status within %d s; its log:\n%s"
                        % (base, SERVER_START, _tail(log_path))
                    )
                if attempt < 2 and "already in use" in _tail(log_path):
                    continue
                pytest.fail("JupyterLab exited with code %s; its log:\n%s" % (process.returncode, _tail(log_path)))
            yield base, token, log_path
            return
        finally:
            _stop(process, token, base)


# ------------------------------------------------------------ page helpers

# JavaScript run in the page. `panel()` is the output area of the notebook's
# last cell, where the dashboard is displayed; `view()` is its view shown now
# (the box with the class "fix-img").
_JS_HELPERS = """
const panel = () => {
  const cells = document.querySelectorAll('.jp-Notebook .jp-CodeCell');
  return cells.length ? cells[cells.length - 1].querySelector('.jp-Cell-outputArea') : null;
};
const view = () => {
  const p = panel();
  return p ? [...p.querySelectorAll('.fix-img')].find(e => e.offsetParent !== null) || null : null;
};
const loaded = img => img.complete && img.naturalWidth > 0;
const text = e => (e.innerText || '').trim();
// A failed cell, or error text inside an output widget, ends a wait at once.
const failure = () => {
  const app = window.jupyterapp;
  const widget = app && app.shell.currentWidget;
  const session = widget && widget.sessionContext && widget.sessionContext.session;
  if (session && session.kernel && session.kernel.status === 'dead') return 'the kernel died';
  // Such as "Kernel Restarting" after the kernel died: no dialog is expected.
  const dialog = document.querySelector('.jp-Dialog');
  if (dialog) return 'JupyterLab shows a dialog: ' + text(dialog);
  const nb = widget && widget.content;
  if (nb && nb.model) {
    for (const cell of nb.model.cells) {
      if (cell.type !== 'code') continue;
      for (const out of cell.outputs.toJSON()) {
        if (out.output_type === 'error') {
          return 'cell failed: ' + out.ename + ': ' + out.evalue + '\\n' + (out.traceback || []).join('\\n');
        }
      }
    }
  }
  const p = panel();
  if (p) {
    for (const e of p.querySelectorAll('.widget-output [data-mime-type="application/vnd.jupyter.stderr"]')) {
      return 'error output inside the dashboard: ' + text(e);
    }
  }
  return null;
};
"""


def _wait(page, condition, seconds, what):
    """Waits until the JavaScript expression `condition` is true in the page,
    failing at once on an error in the notebook and after `seconds` with what
    was awaited."""
    from playwright.sync_api import TimeoutError as PlaywrightTimeout

    script = "() => { %s const f = failure(); if (f) return f; return (%s) ? 'ok' : false; }" % (
        _JS_HELPERS,
        condition,
    )
    try:
        result = page.wait_for_function(script, timeout=seconds * 1000, polling=250).json_value()
    except PlaywrightTimeout:
        pytest.fail("timed out after %d s waiting for %s" % (seconds, what))
    if result != "ok":
        pytest.fail("while waiting for %s: %s" % (what, re.sub(r"\x1b\[[0-9;]*m", "", result)))


def _js(page, expression):
    return page.evaluate("() => { %s return (%s); }" % (_JS_HELPERS, expression))


def _mark_images(page):
    """Marks the images of the view shown; a redrawn output replaces its image
    by a new, unmarked one."""
    _js(page, "view().querySelectorAll('img').forEach(i => { i.dataset.drawnBefore = '1'; })")


REDRAWN = "[...view().querySelectorAll('img')].filter(i => !i.dataset.drawnBefore).length"


def test_notebook_panel_in_jupyterlab(launch_chromium, lab):
    from playwright.sync_api import sync_playwright

    base, token, log_path = lab
    SHOTS.mkdir(parents=True, exist_ok=True)
    for old in SHOTS.glob("*.png"):
        old.unlink()
    blocked = []

    def loopback_only(route):
        host = urlsplit(route.request.url).hostname
        if host in ("127.0.0.1", "localhost", "::1"):
            route.continue_()
        else:
            blocked.append(route.request.url)
            route.abort()

    with sync_playwright() as driver:
        browser = launch_chromium(driver)
        try:
            # Tall enough for the whole global view at once.
            context = browser.new_context(viewport={"width": 1500, "height": 2200})
            context.route("**/*", loopback_only)
            page = context.new_page()
            page.set_default_timeout(ACTION)
            try:
                _check_panel(page, base, token)
            except BaseException:
                try:
                    page.screenshot(path=str(SHOTS / "failure.png"))
                except Exception as error:  # the browser itself may be the failure
                    print("no failure screenshot: %s" % error)
                print("JupyterLab log (tail):\n" + _tail(log_path))
                if blocked:
                    print("requests blocked (not loopback): %s" % blocked)
                raise
        finally:
            browser.close()


def _check_panel(page, base, token):
    from playwright.sync_api import expect

    page.goto("%s/lab/tree/insight_board.ipynb?token=%s" % (base, token))
    _wait(
        page,
        "window.jupyterapp && jupyterapp.shell.currentWidget"
        " && jupyterapp.shell.currentWidget.context"
        " && jupyterapp.shell.currentWidget.context.path === 'insight_board.ipynb'"
        " && jupyterapp.shell.currentWidget.sessionContext.session"
        " && jupyterapp.shell.currentWidget.sessionContext.session.kernel"
        " && jupyterapp.shell.currentWidget.sessionContext.session.kernel.status === 'idle'",
        LAB_READY,
        "the notebook to open with an idle kernel",
    )
    # Not awaited (the command's promise ends with the last cell): the wait
    # below bounds the run.
    page.evaluate("() => { window.jupyterapp.commands.execute('notebook:run-all-cells'); }")

    # Global view: the toggle, the selectors, five images (importance first,
    # then PDP and ALE of one feature, then of two), the progress area gone.
    _wait(
        page,
        "view() && view().querySelectorAll('img').length === 5"
        " && [...view().querySelectorAll('img')].every(loaded)"
        " && view().querySelectorAll('select').length === 3"
        " && !text(panel()).includes('Calculating')",
        PANEL_BUILT,
        "the global view with its five images",
    )
    out = page.locator(".jp-Notebook .jp-CodeCell").last.locator(".jp-Cell-outputArea")
    toggle = out.locator(".widget-toggle-buttons")
    expect(toggle.locator("button"), "two view buttons").to_have_text([GLOBAL_TAB, LOCAL_TAB])
    expect(toggle.locator("button.mod-active"), "the global view chosen").to_have_text(GLOBAL_TAB)
    view = out.locator(".fix-img").filter(visible=True)
    for heading in ("Univariate:", "Bivariate:"):
        expect(view.get_by_role("heading", name=heading, exact=True)).to_be_visible()
    selectors = view.locator(".widget-dropdown")
    expect(selectors.locator("label"), "selector labels").to_have_text(["Feature 1:", "Feature 1:", "Feature 2:"])
    features = _js(page, "[...view().querySelector('select').options].map(o => o.value)")
    assert len(features) == 10 and "bmi" in features, features
    chosen = _js(page, "[...view().querySelectorAll('select')].map(s => s.value)")
    assert chosen == [features[0], features[0], features[1]], (chosen, features)
    sizes = _js(page, "[...view().querySelectorAll('img')].map(i => [i.clientWidth, i.clientHeight])")
    assert all(width >= 300 and height >= 200 for width, height in sizes), sizes
    assert "Please select" not in _js(page, "text(view())")
    out.screenshot(path=str(SHOTS / "global.png"))

    # The one-feature selector redraws both one-feature images; the same
    # feature twice in the pair selectors shows a message instead of images.
    _mark_images(page)
    selectors.nth(0).locator("select").select_option(features[2])
    _wait(
        page,
        "view().querySelectorAll('img').length === 5 && [...view().querySelectorAll('img')].every(loaded)"
        " && %s === 2" % REDRAWN,
        REDRAW,
        "the one-feature PDP and ALE to be redrawn for %r" % features[2],
    )
    redrawn = _js(page, "[...view().querySelectorAll('img')].map(i => !i.dataset.drawnBefore)")
    assert redrawn == [False, True, True, False, False]
    selectors.nth(2).locator("select").select_option(features[0])
    _wait(
        page,
        "view().querySelectorAll('img').length === 3"
        " && text(view()).split('Please select two different features').length === 3",
        REDRAW,
        "the two-feature views to ask for two different features",
    )

    # Local view: the sample index, then LIME (left) and SHAP (right).
    toggle.get_by_role("button", name=LOCAL_TAB, exact=True).click()
    local_ready = (
        "view() && view().querySelectorAll('img').length === 2"
        " && [...view().querySelectorAll('img')].every(loaded)"
        " && view().querySelector('input[type=number]')"
    )
    _wait(page, local_ready, REDRAW, "the local view with its SHAP and LIME images")
    expect(toggle.locator("button.mod-active"), "the local view chosen").to_have_text(LOCAL_TAB)
    local = out.locator(".fix-img").filter(visible=True)
    expect(local.get_by_text("Sample Index:", exact=True)).to_be_visible()
    index_box = local.locator("input[type=number]")
    expect(index_box).to_have_value("0")
    headings = _js(page, "[...view().querySelectorAll('h4')].map(text)")
    assert headings == ["LIME:", "SHAP:"], headings
    # Each heading's column holds its own drawing.
    for name in ("LIME:", "SHAP:"):
        column = local.locator(".widget-vbox").filter(has=page.get_by_role("heading", name=name, exact=True)).last
        expect(column.locator("img"), "the %s drawing" % name).to_have_count(1)
    out.screenshot(path=str(SHOTS / "local.png"))

    _mark_images(page)
    index_box.fill("1")
    index_box.press("Enter")
    _wait(page, local_ready + " && %s === 2" % REDRAWN, REDRAW, "SHAP and LIME to be redrawn for sample 1")
