"""zelkd's page in a real browser: Debian's chromium, headless, driven by
selenium against zelkd on a virtual printer. The key (typed, kept, given by
a slicer's window, carried by the QR code's address), an upload and print,
the printer waiting for its button, progress and the temperature chart
moving, pause, resume, abort, filament, the log and the history, the
printer pulled out while zelkd sends it a file; the layout on a phone's
screen.

ZELKD_SCREENSHOTS=FOLDER keeps the screenshots there (docs/ for the
README); otherwise they go with the test's folder."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import zelkdtest  # noqa: E402
from zelkdtest import Zelkd, browser, gcode, phone  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SERIAL = "ZK1-000101"


def wait(d, script, what, seconds=60):
    """Waits until the JavaScript expression `script` is true in the page."""
    WebDriverWait(d, seconds, poll_frequency=0.1).until(
        lambda d: d.execute_script("return " + script), what)


def card(attribute):
    return ("document.querySelector('[data-printer=\"%s\"]')%s" % (SERIAL, attribute))


def enter_key(d, key):
    field = d.find_element(By.ID, "key-input")
    field.clear()
    field.send_keys(key)
    d.find_element(By.CSS_SELECTOR, "#key-form button").click()


def press(d, button):
    d.find_element(By.CSS_SELECTOR, '[data-printer="%s"] .%s' % (SERIAL, button)).click()


def chart_samples(d):
    return d.execute_script("const c = Chart.getChart(%s); return [c.data.datasets[0].data.length,"
                            " c.data.datasets[1].data.slice(-1)[0].y]" % card(".querySelector('canvas')"))


def test_static_files_without_key():
    with Zelkd() as z:
        cases = [("/", 200, "text/html"), ("/app.js", 200, "text/javascript"),
                 ("/style.css", 200, "text/css"),
                 ("/javascript/chart.js/chart.min.js", 200, "text/javascript"),
                 # Only the page's libraries, nothing else of Debian's folder.
                 ("/javascript/chart.js/", 404, None), ("/javascript/jquery/jquery.js", 404, None),
                 ("/javascript/chart.js/.hidden", 404, None)]
        for path, status, kind in cases:
            got, body, r = z.get(path, key=False)
            assert got == status, (path, got)
            if kind:
                assert r.getheader("Content-Type").startswith(kind), (path, r.getheader(
                    "Content-Type"))
                assert "default-src 'self'" in r.getheader("Content-Security-Policy")


def test_page():
    with Zelkd(printers=("1:5,serial=" + SERIAL,)) as z:
        d = browser(z.folder)
        try:
            drive(z, d)
        finally:
            d.quit()
        # The key went in query strings (the event stream) and in headers:
        # none of it in zelkd's output or logs.
        logs = z.output() + z.app_log() + z.printer_log()
        assert z.key not in logs, "the key is in a log"
        assert "apikey=********" in logs  # the stream's address, masked


def drive(z, d):
    url = "http://127.0.0.1:%d/" % z.port
    shots = os.environ.get("ZELKD_SCREENSHOTS") or z.folder

    # No key yet: the page asks; a wrong one is refused.
    d.get(url)
    wait(d, "!document.getElementById('key-panel').hidden", "no key form")
    assert d.execute_script("return typeof Chart") == "function"  # served by zelkd
    enter_key(d, "W" * 32)
    wait(d, "!document.getElementById('key-error').hidden", "a wrong key was not refused")
    assert "refused" in d.find_element(By.ID, "key-error").text
    # The right one shows the printer, and is kept.
    enter_key(d, z.key)
    wait(d, card("?.dataset.state === 'Idle'"), "the printer did not show")
    wait(d, "document.getElementById('link').dataset.link === 'live'", "no live stream")
    assert d.execute_script("return localStorage.getItem('zelkd.apiKey')") == z.key
    d.refresh()
    wait(d, card("?.dataset.state === 'Idle'"), "the kept key was not used")
    assert d.find_element(By.ID, "key-panel").get_attribute("hidden")

    # Forgotten; then given by the QR code's address, which is cleaned up.
    d.find_element(By.ID, "forget").click()
    wait(d, "!document.getElementById('key-panel').hidden", "no key form after forgetting")
    assert d.execute_script("return localStorage.getItem('zelkd.apiKey')") is None
    d.get(url + "#key=" + z.key)
    wait(d, card("?.dataset.state === 'Idle'"), "the address's key was not used")
    assert "key" not in d.current_url and d.current_url == url
    assert d.execute_script("return localStorage.getItem('zelkd.apiKey')") == z.key
    # A slicer's window gives it in sessionStorage: used, not kept. It opens
    # the printer's own address, as the slicer was given it.
    d.find_element(By.ID, "forget").click()
    d.get(url + "printers/" + SERIAL)
    d.execute_script("sessionStorage.setItem('apiKey', arguments[0])", z.key)
    d.refresh()
    wait(d, card("?.dataset.state === 'Idle'"), "the slicer's key was not used")
    assert d.execute_script("return localStorage.getItem('zelkd.apiKey')") is None

    # Upload and print, optimized: the printer waits for its button.
    path = os.path.join(z.folder, "page.gcode")
    with open(path, "wb") as f:
        f.write(gcode(400 * 1024, celsius=207))
    d.find_element(By.CSS_SELECTOR, '[data-printer="%s"] .file' % SERIAL).send_keys(path)
    press(d, "optimize")
    press(d, "send")
    wait(d, card(".querySelector('.waiting').hidden === false"), "no wait for the button")
    z.wait_for_sim("JOB_QUEUED")
    assert "optimized page.gcode" in z.output()
    assert "press its button" in d.find_element(By.CSS_SELECTOR, ".waiting").text

    # The button, pressed on the printer: progress, minutes and the chart move.
    before, _ = chart_samples(d)
    z.sim("press-button")
    wait(d, card(".dataset.state === 'Building'"), "not printing", 120)
    wait(d, card(".querySelector('.progress').value > 0"), "no progress", 120)
    text = d.find_element(By.CSS_SELECTOR, ".progress-text").text
    assert re.match(r"\d+ % printed", text), text
    samples, target = chart_samples(d)
    assert samples > before and target == 207, (before, samples, target)
    if "ZELKD_SCREENSHOTS" in os.environ:
        time.sleep(60)  # the chart shows the heating and a minute of printing
    d.set_window_size(1280, 960)  # the log and the history too
    d.save_screenshot(os.path.join(shots, "zelkd-page-desktop.png"))
    phone(d)
    # Nothing wider than the phone: no sideways scrolling.
    assert d.execute_script("return document.documentElement.scrollWidth") <= 390
    d.save_screenshot(os.path.join(shots, "zelkd-page-phone.png"))
    phone(d, False)

    # Pause, resume, abort, through the page's buttons.
    press(d, "pause")
    wait(d, card(".dataset.state === 'Paused'"), "not paused", 120)
    z.wait_for_sim("PAUSED")
    assert d.find_element(By.CSS_SELECTOR, ".pause").text == "Resume"
    press(d, "pause")
    wait(d, card(".dataset.state === 'Building'"), "not resumed", 120)
    press(d, "abort")
    d.switch_to.alert.accept()
    wait(d, card(".dataset.state === 'Idle'"), "not aborted", 120)
    z.wait_for_sim("IDLE")
    wait(d, "document.querySelector('#history tbody tr')?.dataset.outcome === 'cancelled'",
         "the history does not show the job")
    assert "page.gcode" in d.find_element(By.CSS_SELECTOR, "#history tbody tr").text
    assert "File received" in d.find_element(By.ID, "log").text

    # Filament: unloading starts on the printer (held there, so that the
    # page's poll cannot miss it).
    z.sim("hold", "REMFIL_HEATING")
    press(d, "unload")
    z.wait_for_sim("REMFIL_HEATING", seconds=30)
    wait(d, card(".dataset.state === 'UnloadHeating'"), "the unload did not show")
    z.sim("release")
    z.wait_for_sim("IDLE", seconds=120)

    # The printer pulled out while zelkd sends it a file: the page says so.
    # Large enough that the push lasts while the page and the test look,
    # also when the event stream hands the page several changes at once.
    with open(path, "wb") as f:
        f.write(gcode(16 * 1024 * 1024))
    wait(d, card(".querySelector('.send').disabled === true"), "the form did not reset")
    d.find_element(By.CSS_SELECTOR, '[data-printer="%s"] .file' % SERIAL).send_keys(path)
    wait(d, card(".dataset.state === 'Idle'"), "not idle after the unload", 120)
    press(d, "send")
    wait(d, card(".querySelector('.progress-text').textContent.startsWith('Sending')"),
         "never sending to the printer", 180)
    z.sim("unplug")
    wait(d, card(".querySelector('.progress-text').textContent.includes('failed: the printer "
                 "went away')"), "the failure did not show")
    wait(d, card(".querySelector('.badge').textContent === 'Offline after error'"),
         "not offline after the error")
    assert d.find_element(By.CSS_SELECTOR, ".pause").get_attribute("disabled")


if __name__ == "__main__":
    zelkdtest.run([test_static_files_without_key, test_page])
