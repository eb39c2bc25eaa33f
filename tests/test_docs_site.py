"""The built documentation looked at as a reader would: every internal link
and image of every page resolves, and four pages (the index, an API page, a
user-guide page and a gallery page) open in headless Chromium with all their
images loaded and nothing fetched from outside. Screenshots of the four go to
build/docs-check/.

make docs runs this file on the site it has just built (QALVO_DOCS_HTML names
the folder); elsewhere it is skipped.
"""

import functools
import http.server
import os
import re
import threading
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

ROOT = Path(__file__).resolve().parents[1]
SHOTS = ROOT / "build" / "docs-check"
SITE = os.environ.get("QALVO_DOCS_HTML")

built_site = pytest.mark.skipif(not SITE, reason="make docs runs it on the site it builds")

# Pages opened in the browser: a text each must show, and whether it has
# images (figures, screenshots) in its main part.
PAGES = {
    "index": ("index.html", "Interpretable machine learning", True),
    "api": ("api/estimators.html", "RampNetRegressor", False),
    "user-guide": ("user_guide/explanations.html", "Accumulated local effects", True),
    "gallery": ("auto_examples/plot_explain_regressor.html", "Every explanation of a regressor", True),
}


class _Links(HTMLParser):
    """The link targets, image sources and element ids of one page."""

    def __init__(self):
        super().__init__()
        self.targets = []  # (tag, url)
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        if tag == "a" and attrs.get("name"):
            self.ids.add(attrs["name"])
        for attribute in ("href", "src"):
            if attrs.get(attribute) and tag in ("a", "img", "link", "script", "source"):
                self.targets.append((tag, attrs[attribute]))


@functools.lru_cache(maxsize=None)
def _parsed(path):
    parser = _Links()
    parser.feed(Path(path).read_text(encoding="utf-8"))
    return parser


def broken_links(site):
    """'page: url (why)' for every internal link, image, style sheet or script
    of every page of ``site`` that does not resolve (a missing file, or a
    missing anchor in a page)."""
    site = Path(site)
    broken = []
    # _static holds the theme's own files (a template among them), no pages.
    pages = [p for p in sorted(site.rglob("*.html")) if "_static" not in p.relative_to(site).parts]
    for page in pages:
        for tag, url in _parsed(page).targets:
            parts = urlsplit(url)
            if parts.scheme or parts.netloc or url.startswith(("mailto:", "javascript:")):
                continue  # outside the site: not followed
            target = (page.parent / unquote(parts.path)).resolve() if parts.path else page
            name = "%s: %s" % (page.relative_to(site).as_posix(), url)
            if target.is_dir():
                target = target / "index.html"
            if not target.is_file():
                broken.append(name + " (no such file)")
            elif parts.fragment and target.suffix == ".html" and tag == "a":
                if unquote(parts.fragment) not in _parsed(target).ids:
                    broken.append(name + " (no such anchor)")
    return broken


def test_the_link_check_finds_missing_files_and_anchors(tmp_path):
    (tmp_path / "img").mkdir()
    (tmp_path / "img" / "a.png").write_bytes(b"")
    (tmp_path / "other.html").write_text('<h1 id="here">x</h1>')
    (tmp_path / "index.html").write_text(
        '<a href="other.html#here">ok</a><a href="other.html#gone">x</a><a href="missing.html">x</a>'
        '<img src="img/a.png"><img src="img/b.png"><a href="https://example.org/">out</a><a href="#">top</a>')
    assert broken_links(tmp_path) == [
        "index.html: other.html#gone (no such anchor)",
        "index.html: missing.html (no such file)",
        "index.html: img/b.png (no such file)",
    ]


@built_site
def test_internal_links_and_images_resolve():
    site = Path(SITE)
    assert (site / "index.html").is_file(), "no site built in %s" % site
    assert broken_links(site) == []


@built_site
def test_api_pages_describe_every_public_name_and_method():
    """Each public class or function, and each public method of a class, has
    its entry (an anchor named by its dotted path) on a built API page: its
    docstring was found, not only its name."""
    from api_names import public_methods, public_names, resolve

    pages = sorted((Path(SITE) / "api").glob("*.html"))
    ids = set().union(*(_parsed(page).ids for page in pages))
    html = "".join(page.read_text(encoding="utf-8") for page in pages)
    missing, without_parameters = [], []
    for name in public_names():
        if name not in ids:
            missing.append(name)
            continue
        target = resolve(name)
        if not isinstance(target, type):
            continue
        for method in sorted(public_methods(target)):
            dotted = "%s.%s" % (name, method)
            if dotted not in ids:
                missing.append(dotted)
            elif not isinstance(getattr(target, method), property):
                # A method's entry shows its parameters, "()" at least.
                entry = re.search(r'id="%s">(.*?)</dt>' % re.escape(dotted), html, re.S)
                if entry is None or "sig-paren" not in entry.group(1):
                    without_parameters.append(dotted)
    assert missing == []
    assert without_parameters == []


@pytest.fixture(scope="module")
def served_site():
    """The site on a loopback HTTP server; yields its base URL."""
    handler = functools.partial(_QuietHandler, directory=str(Path(SITE).resolve()))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d/" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


@pytest.fixture(scope="module")
def browser_page(launch_chromium):
    from playwright.sync_api import sync_playwright

    with sync_playwright() as driver:
        browser = launch_chromium(driver)
        try:
            context = browser.new_context(viewport={"width": 1400, "height": 1000})
            outside = []

            def loopback_only(route):
                if urlsplit(route.request.url).hostname in ("127.0.0.1", "localhost"):
                    route.continue_()
                else:
                    outside.append(route.request.url)
                    route.abort()

            context.route("**/*", loopback_only)
            page = context.new_page()
            page.set_default_timeout(30_000)
            errors = []
            page.on("pageerror", lambda error: errors.append(str(error)))
            yield page, outside, errors
        finally:
            browser.close()


@built_site
@pytest.mark.parametrize("shot", sorted(PAGES))
def test_page_renders_with_its_images(shot, served_site, browser_page):
    from playwright.sync_api import expect

    page, outside, errors = browser_page
    path, text, has_images = PAGES[shot]
    outside.clear()
    errors.clear()
    response = page.goto(served_site + path, wait_until="load")
    assert response is not None and response.ok, path
    expect(page.locator("main")).to_contain_text(text)
    # The version the pages document, in the top bar.
    import qalvo

    expect(page.locator(".qalvo-version").first).to_have_text("version " + qalvo.__version__)
    images = page.evaluate(
        "() => [...document.querySelectorAll('main img')].map(i => [i.currentSrc || i.src,"
        " i.complete && i.naturalWidth > 0])")
    assert bool(images) == has_images, (path, images)
    assert [src for src, loaded in images if not loaded] == []
    SHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SHOTS / ("%s.png" % shot)), full_page=True)
    assert outside == [], "requests outside the site: %s" % outside
    assert errors == [], "script errors: %s" % errors
