#!/usr/bin/python3
"""zflash ui in a real browser: headless Chromium opens the page, loads
examples/blinky.mot, edits a byte, undoes and redoes it, programs the virtual
target (answering the library's questions in the page's dialog, the erase
question among them), checks the PASS screen and saves the image.

usage: ui_browser.py ZFLASH_EXE SOURCE_DIR [SCREENSHOT_DIR]
A missing browser, driver or selenium is a failure, not a skip."""
import os
import shutil
import subprocess
import sys
import tempfile

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT = 90  # seconds: only a hung page runs into it


def fail(text):
    print(f"error: {text}", file=sys.stderr)
    sys.exit(1)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    from selenium.common.exceptions import StaleElementReferenceException
except ImportError as e:
    fail(f"selenium is missing ({e}): install python3-selenium (scripts/setup does)")


def intel_hex_byte(path, address):
    """The byte at address in an Intel HEX file (records of type 0 and 4 only)."""
    base = 0
    with open(path) as f:
        for line in f:
            raw = bytes.fromhex(line.strip()[1:])
            count, offset, kind = raw[0], raw[1] << 8 | raw[2], raw[3]
            if kind == 4:
                base = (raw[4] << 8 | raw[5]) << 16
            elif kind == 0 and base + offset <= address < base + offset + count:
                return raw[4 + address - base - offset]
    return None


def main():
    if len(sys.argv) < 3:
        fail(__doc__)
    exe, source = sys.argv[1], sys.argv[2]
    shots = sys.argv[3] if len(sys.argv) > 3 else None
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            fail(f"{path} is missing: install chromium and chromium-driver (scripts/setup does)")

    work = tempfile.mkdtemp(prefix="zflash-browser-")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"))
    server = subprocess.Popen([exe, "ui", "--no-open"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True, env=env)
    driver = None
    try:
        url = server.stdout.readline().strip()
        if not url.startswith("http://127.0.0.1:"):
            fail(f"zflash ui printed no address: {url!r}")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run",
                     f"--user-data-dir={os.path.join(work, 'profile')}", "--window-size=1280,1000"):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        # The hex view redraws its rows, so an element found a moment ago may be gone.
        wait = WebDriverWait(driver, WAIT, ignored_exceptions=(StaleElementReferenceException,))
        find = lambda css: driver.find_element(By.CSS_SELECTOR, css)

        def type_into(css, text):
            field = find(css)
            field.clear()
            field.send_keys(text)

        def tab(name):
            find(f"#tab-{name}").click()

        def answer_questions(until, seen):
            """Answers Yes to every dialog until until() holds; collects the questions."""
            def step(_):
                dialog = find("#question")
                if dialog.get_attribute("open") is not None:
                    seen.append(find("#question-text").text)
                    find("#answer-yes").click()
                    return False
                return until()
            wait.until(step)

        driver.get(url)
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1")

        # The device: the bundled definition on the virtual target.
        tab("device")
        wait.until(lambda d: find("#port").get_attribute("value") == "sim")
        find("#connect").click()
        wait.until(lambda d: "connected: kernel word" in find("#identity").text)

        # The image: open, edit a byte in place, undo, redo.
        tab("editor")
        type_into("#open-path", os.path.join(source, "examples", "blinky.mot"))
        find("#open").click()
        wait.until(lambda d: find("#image-info").text.startswith("1856 bytes"))
        cell = '#hex span[data-a="16"]'
        wait.until(lambda d: find(cell).text == "00")
        find(cell).click()
        find("#hex").send_keys("ab")
        wait.until(lambda d: find(cell).text == "AB")
        if "Edit byte at H'00000010" not in find("#undo").text:
            fail(f"the undo button names no edit: {find('#undo').text!r}")
        find("#undo").click()
        wait.until(lambda d: find(cell).text == "00")
        find("#redo").click()
        wait.until(lambda d: find(cell).text == "AB")

        # A first write onto the blank chip, then the operator's job: the blocks
        # now hold data, so the library asks before erasing them.
        questions = []
        tab("device")
        find("#program").click()
        answer_questions(lambda: "program: done" in find("#log").text, questions)
        tab("operator")
        type_into("#job", "J-1")
        type_into("#operator-name", "Ann")
        find("#go").click()
        answer_questions(lambda: find("#verdict").text in ("PASS", "FAIL"), questions)
        if find("#verdict").text != "PASS":
            fail(f"the job did not pass; messages:\n{find('#log').text}")
        if not any("should be erased before writing" in q for q in questions):
            fail(f"no erase question was asked: {questions}")
        if not any("read-back verification" in q for q in questions):
            fail(f"no verification question was asked: {questions}")
        wait.until(lambda d: find("#units").text.startswith("1 units: 1 passed"))
        if shots:
            driver.save_screenshot(os.path.join(shots, "ui-operator.png"))

        # Save the edited image and read the byte back from the file.
        tab("editor")
        saved = os.path.join(work, "edited.hex")
        type_into("#save-path", saved)
        find("#save").click()
        wait.until(lambda d: "Saved 1856 bytes" in find("#log").text)
        if intel_hex_byte(saved, 0x10) != 0xAB:
            fail("the saved file does not hold the edited byte")
        if shots:
            driver.save_screenshot(os.path.join(shots, "ui-editor.png"))
        print("browser scenario: 1 passed, 0 failed")
    finally:
        if driver:
            driver.quit()
        server.terminate()
        server.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
