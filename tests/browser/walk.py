"""Walks Quillet in headless Chromium as a person would: create a page, link,
edit, save, follow links, reopen the form and stop the server from a page; and
visits pages of other sites that try to save over a page or stop the server,
at the loopback address, at a local-network name and through a rebound name.

Runs on Debian's own packages: chromium, chromium-driver, python3-selenium.
Exit codes: 0 passed, 1 failed (a missing prerequisite is a failure too).
"""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wiki_client import PORT, listening  # noqa: E402

CHROMIUM = os.environ.get("QUILLET_CHROMIUM", "/usr/bin/chromium")
DRIVER = os.environ.get("QUILLET_CHROMEDRIVER", "/usr/bin/chromedriver")
SERVER = os.path.abspath(os.environ.get("QUILLET_SERVER", "../../build/quillet"))
SCREENSHOTS = os.path.abspath(
    os.environ.get("QUILLET_SCREENSHOTS", os.path.join(tempfile.gettempdir(), "quillet-shots")))
BASE = f"http://127.0.0.1:{PORT}"
# Names that the browser resolves to 127.0.0.1: one the wiki counts as its own
# (a local-network name, where browsers send no Sec-Fetch-* headers) and one
# it must not answer to (a hostile site's name pointed at this machine).
LAN_NAME = "wiki.lan"
LAN_BASE = f"http://{LAN_NAME}:{PORT}"
REBOUND_NAME = "rebind.test"
REBOUND_BASE = f"http://{REBOUND_NAME}:{PORT}"
WAIT_SECONDS = 10


def fail_missing(reason):
    print(f"FAILED: the browser test cannot run: {reason}")
    sys.exit(1)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    fail_missing(f"{sys.executable} has no selenium (apt-get install python3-selenium)")
for path, package in [(CHROMIUM, "chromium"), (DRIVER, "chromium-driver")]:
    if not os.path.exists(path):
        fail_missing(f"{path} not found (apt-get install {package})")
if not os.path.exists(SERVER):
    fail_missing(f"server binary {SERVER} not found (make build)")

checks = []


def check(what, ok, detail=""):
    checks.append(ok)
    print(f"{'ok  ' if ok else 'FAIL'} {what}{'' if ok or not detail else ': ' + str(detail)}")


def windows1252(text):
    """The browser's default encoding for pages that declare none."""
    return text.encode("cp1252")


def save_url(base, text, pad=""):
    return f"{base}/save/main?data={text}&eof=1{pad}"


def attack_pages():
    """Pages of another site that try to save over the wiki's pages or stop it
    while the user merely visits them."""
    padded = save_url(BASE, "forged+by+padding", "&pad=" + "p" * 700000)
    no_referrer = '<meta name="referrer" content="no-referrer">'
    lan_fetch = save_url(LAN_BASE, "forged+by+fetch")
    return {
        # An image, an image whose URL is padded past the server's 640 KiB so
        # that its headers are cut off, and a navigation.
        "/save": f"""<img src="{save_url(BASE, 'forged+by+image')}"><img src="{padded}">
            <script>setTimeout(() => {{ location = "{save_url(BASE, 'forged+by+navigation')}"; }},
            1500);</script>""",
        "/stop": f'<img src="{BASE}/byebye">',
        # The wiki's stop link in a frame, to be clicked unknowingly.
        "/frame": f'<iframe id=wiki src="{BASE}/bye" width=600 height=200></iframe>',
        # At a local-network name, with the Referer suppressed: the requests
        # carry nothing but the browser's usual headers.
        "/lan": f"""{no_referrer}<img src="{save_url(LAN_BASE, 'forged+by+image')}">
            <img src="{LAN_BASE}/byebye">
            <script>fetch("{lan_fetch}", {{mode: "no-cors", referrerPolicy: "no-referrer"}});
            setTimeout(() => {{ location = "{save_url(LAN_BASE, 'forged+by+navigation')}"; }},
            1500);</script>""",
    }


class AttackSite(http.server.BaseHTTPRequestHandler):
    pages = attack_pages()

    def do_GET(self):
        page = self.pages.get(self.path)
        self.send_response(200 if page else 404)
        self.send_header("Content-Type", "text/html")
        self.end_headers()
        self.wfile.write((page or "").encode())

    def log_message(self, *arguments):
        pass


def start_attack_site():
    site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), AttackSite)
    threading.Thread(target=site.serve_forever, daemon=True).start()
    return site


def body_text(driver):
    return driver.execute_script("return document.body ? document.body.textContent : ''")


def wait_until(driver, condition):
    WebDriverWait(driver, WAIT_SECONDS).until(lambda _: condition())


def images_settled(driver):
    wait_until(driver, lambda: driver.execute_script(
        "return [...document.images].every((image) => image.complete)"))


def click_and_wait(driver, by, what):
    """Clicks a link or button and waits for the page that it leads to."""
    driver.find_element(by, what).click()
    wait_until(driver, lambda: driver.execute_script("return document.readyState") == "complete")


def submit_form(driver):
    old = driver.find_element(By.TAG_NAME, "html")
    driver.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_until(driver, lambda: old.id != driver.find_element(By.TAG_NAME, "html").id)


class Walk:
    def __init__(self, directory, server):
        self.directory = directory
        self.server = server

    def read(self, name):
        with open(os.path.join(self.directory, "pages", name), "rb") as page:
            return page.read()

    def files(self):
        names = ["main.txt", "main.txt.old", "main.txt.new"]
        return [self.read(n) if os.path.exists(os.path.join(self.directory, "pages", n)) else None
                for n in names]

    def running(self):
        return self.server.poll() is None


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--window-size=900,560",
                     f"--host-resolver-rules=MAP {LAN_NAME} 127.0.0.1, MAP {REBOUND_NAME} 127.0.0.1"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


# What a person types, line by line (Enter between lines).
TYPED_LINES = [
    "My first page, see [Second] and [Third].",
    "Markup that must survive: </textarea> and a & b < c",
    "100% + more",
    "Accents: é ü ñ and the euro sign €",
]
TYPED = "\n".join(TYPED_LINES)


def create_and_edit(driver, walk):
    driver.get(f"{BASE}/")
    check("the main page is missing at first", "Unknown page main." in body_text(driver))
    click_and_wait(driver, By.LINK_TEXT, "Create it")
    check('"Create it" opens the edit form of main', driver.current_url == f"{BASE}/edit/main")

    driver.find_element(By.TAG_NAME, "textarea").send_keys(TYPED)
    submit_form(driver)
    body = body_text(driver)
    check('the saved page says "Page saved!"', body.startswith("Page saved! - "), body)
    check("the text shows as typed", "</textarea> and a & b < c" in body and
          "100% + more" in body and "é ü ñ and the euro sign €" in body, body)
    breaks = driver.execute_script("return document.body.innerHTML").count("<br>")
    check("each line ends in a line break", breaks == 2 + len(TYPED_LINES) - 1, breaks)
    driver.save_screenshot(os.path.join(SCREENSHOTS, "view.png"))

    stored = walk.read("main.txt")
    check("the page file holds the text with CRLF line ends, in windows-1252",
          stored == windows1252(TYPED.replace("\n", "\r\n")), stored)

    click_and_wait(driver, By.LINK_TEXT, "Second")
    check("a link leads to its page", driver.current_url == f"{BASE}/wiki/Second")
    check("a new page offers to be created",
          body_text(driver) == "Unknown page second. Create it.", body_text(driver))
    click_and_wait(driver, By.LINK_TEXT, "Create it")
    driver.find_element(By.TAG_NAME, "textarea").send_keys("Back to [main].")
    submit_form(driver)
    check("the second page is saved", "Page saved!" in body_text(driver))
    click_and_wait(driver, By.LINK_TEXT, "main")
    check("its link leads back", "My first page" in body_text(driver))

    click_and_wait(driver, By.LINK_TEXT, "Edit this page")
    in_form = driver.find_element(By.TAG_NAME, "textarea").get_property("value")
    check("the edit form holds exactly what was typed", in_form == TYPED, repr(in_form))
    driver.save_screenshot(os.path.join(SCREENSHOTS, "edit.png"))
    submit_form(driver)
    check("saving the form unchanged stores the same bytes", walk.read("main.txt") == stored)

    click_and_wait(driver, By.LINK_TEXT, "Edit this page")
    driver.find_element(By.TAG_NAME, "textarea").send_keys("\nA second version.")
    submit_form(driver)
    check("the previous text is kept as backup", walk.read("main.txt.old") == stored)
    second = walk.read("main.txt")
    driver.refresh()  # the browser sends the same save again
    check('reloading "Page saved!" keeps the page and its backup',
          walk.read("main.txt") == second and walk.read("main.txt.old") == stored and
          "Page saved!" in body_text(driver))


def visit_forging_page(driver, url, wiki, what):
    """Visits a page whose images and script forge requests, up to the save
    that its script navigates to, which must say that it was refused."""
    driver.get(url)
    images_settled(driver)
    wait_until(driver, lambda: driver.current_url.startswith(f"{wiki}/save/"))
    check(what, "came from another web site" in body_text(driver), body_text(driver))


def forged_requests(driver, walk, site):
    port = site.server_address[1]
    # localhost is another site than 127.0.0.1 (Sec-Fetch-Site: cross-site);
    # the same address on another port is the same site but another origin.
    for origin in [f"http://localhost:{port}", f"http://127.0.0.1:{port}"]:
        visit_forging_page(driver, f"{origin}/save", BASE,
                           f"a save forged from {origin} is refused with a page that says so")
        driver.get(f"{origin}/stop")
        images_settled(driver)

    driver.get(f"http://127.0.0.1:{port}/frame")
    driver.switch_to.frame(driver.find_element(By.ID, "wiki"))
    driver.find_element(By.LINK_TEXT, "Click here to kill the server").click()
    wait_until(driver, lambda: "Click here" not in body_text(driver))
    framed = body_text(driver)
    driver.switch_to.default_content()
    check("a stop clicked in a frame on another site is refused",
          walk.running() and "refused" in framed, framed)

    visit_forging_page(
        driver, f"http://127.0.0.1:{port}/lan", LAN_BASE,
        f"at {LAN_NAME}, a navigation without a Referer is refused with a page that says so")

    driver.get(f"{REBOUND_BASE}/wiki/main")
    shown = body_text(driver)
    check(f"at {REBOUND_NAME}, the wiki shows no page text",
          "My first page" not in shown and "only at this machine's own addresses" in shown, shown)
    driver.get(save_url(REBOUND_BASE, "rebound"))
    driver.get(f"{REBOUND_BASE}/byebye")


def own_pages_at_lan_name(driver, walk):
    driver.get(f"{LAN_BASE}/wiki/main")
    click_and_wait(driver, By.LINK_TEXT, "Edit this page")
    textarea = driver.find_element(By.TAG_NAME, "textarea")
    textarea.clear()
    textarea.send_keys("Saved after the attacks.")
    submit_form(driver)
    check(f"after the attacks, the wiki's own form saves at {LAN_NAME}",
          walk.read("main.txt") == b"Saved after the attacks.")

    click_and_wait(driver, By.LINK_TEXT, "Kill the server")
    check('"Kill the server" asks for confirmation', driver.current_url == f"{LAN_BASE}/bye")
    driver.find_element(By.LINK_TEXT, "Click here to kill the server").click()
    try:
        code = walk.server.wait(timeout=5)
    except subprocess.TimeoutExpired:
        code = "still running"
    check(f"at {LAN_NAME}, the confirmation link stops the server with exit code 0", code == 0,
          code)


def main():
    directory = tempfile.mkdtemp(prefix="quillet-browser-")
    server = subprocess.Popen([SERVER], cwd=directory, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    walk = Walk(directory, server)
    driver = None
    site = None
    try:
        deadline = time.monotonic() + WAIT_SECONDS
        while not listening():
            if time.monotonic() > deadline:
                raise RuntimeError("the server did not start listening")
            time.sleep(0.05)
        os.makedirs(SCREENSHOTS, exist_ok=True)
        driver = start_browser()
        create_and_edit(driver, walk)

        before = walk.files()
        site = start_attack_site()
        forged_requests(driver, walk, site)
        check("forged saves leave the page, its backup and the directory unchanged",
              walk.files() == before)
        check("forged stops leave the server running", walk.running())
        own_pages_at_lan_name(driver, walk)
    except Exception:
        check("the walk completed", False, traceback.format_exc())
    finally:
        if driver:
            driver.quit()
        if site:
            site.shutdown()
        if server.poll() is None:
            server.terminate()
            try:
                server.wait(timeout=3)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(directory, ignore_errors=True)

    failed = checks.count(False)
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
