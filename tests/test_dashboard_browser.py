"""The dashboard in a real headless Chromium, on the NIFTY recording with a position and a store:
what the page shows against what the server sent, an expiry switch, the direct address, updates,
the failure banner, a reconnect across a server restart, and no console errors."""
import datetime as dt
import json
import os
import time

import pytest

import greeks.greeks as module
import recorded
from browsers import console_errors, start_chromium
from dashboards import Dashboard
from greeks.alerts import Alerts, parse_alert
from greeks.dashboard.history_view import StoredDay
from greeks.market import INDIA
from greeks.history.history import History
from greeks.positions.legs import leg_from_fields

WAIT = 60 if os.environ.get("GREEKS_EXPECT_SANITIZED") else 20
STRADDLE = [{"symbol": "NIFTY", "expiry": "07-Aug-2025", "strike": 24600, "side": side,
             "quantity": -75, "entry_price": price} for side, price in (("CE", 104.10),
                                                                        ("PE", 79.80))]


@pytest.fixture(scope="module")
def browser():
    driver = start_chromium()
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    keep = module.nse_optionchain_scrapper
    store = tmp_path_factory.mktemp("store")
    chain = recorded.chain("NIFTY")
    for minute in (0, 30):
        History(store).record(chain, now=dt.datetime(2025, 8, 5, 13, minute, tzinfo=INDIA))
    legs = [leg_from_fields(fields, f"leg {n}") for n, fields in enumerate(STRADDLE, 1)]
    figures = ("spot", "pnl")
    alerts = Alerts([parse_alert(text, figures) for text in ("pnl > -1e9", "spot < 1")],
                    say=lambda line: None)
    dashboard = Dashboard("NIFTY", chain, interval=0.5, legs=legs,
                          stored=StoredDay(str(store), "NIFTY"), alerts=alerts)
    dashboard.screenshot_path = store / "dashboard.png"
    yield dashboard
    dashboard.stop()
    module.nse_optionchain_scrapper = keep


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"waited {WAIT} s for {what}")


def page_refresh(driver):
    return int(driver.execute_script("return document.body.dataset.refresh || 0"))


def snapshot(served):
    return json.loads(served.get("/snapshot?symbol=NIFTY")[2])["data"]


def shown_rows(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#rows tr:not(.expiry-row)'),"
        " row => Array.from(row.cells, cell => cell.textContent))")


def open_page(driver, served, query):
    driver.get(f"{served.url}/?{query}")
    wait_for(lambda: page_refresh(driver), "the first message")


def test_the_page_shows_what_the_server_sent(browser, served):
    open_page(browser, served, "symbol=NIFTY&expiry=07-Aug-2025")
    data = snapshot(served)
    part = data["expiries"][0]
    rows = shown_rows(browser)
    assert len(rows) == len(part["strikes"])
    place = part["strikes"].index(part["nearest"])
    assert rows[place] == [*reversed(part["call"]["cells"][place]), f">{part['nearest']:g}",
                           *part["put"]["cells"][place]]
    marked = browser.execute_script("return document.querySelector('tr.nearest .strike').textContent")
    assert marked == f">{part['nearest']:g}"
    solved = sum(text.endswith("*") for side in ("call", "put") for row in part[side]["cells"]
                 for text in row)
    assert browser.execute_script("return document.querySelectorAll('td.solved').length") == solved
    for chart in ("delta", "gamma", "theta", "vega", "smile", "payoff", "atm-iv", "spot"):
        assert browser.execute_script(f"return document.querySelectorAll('#chart-{chart} path').length") > 0, chart
    assert browser.execute_script("return document.querySelectorAll('#chart-oi rect').length") > 4
    assert browser.find_element("id", "spot").text == data["spot_text"]
    assert browser.find_element("id", "max-pain").text == f"{part['max_pain']:g}"
    net = browser.execute_script("return Array.from(document.querySelector('#position-rows tr:last-child').cells, c => c.textContent)")
    assert net == data["position"]["rows"][-1] and net[0] == "net"
    assert browser.find_element("id", "history-day").text == "05-Aug-2025"
    # the alert holding is shown, the other not
    assert browser.find_element("id", "alerts").text == f"Alert: {data['alerts'][0]}"
    assert len(data["alerts"]) == 1 and data["alerts"][0].startswith("pnl > -1e9 (pnl ")
    browser.save_screenshot(os.environ.get("GREEKS_SCREENSHOT") or str(served.screenshot_path))
    assert console_errors(browser) == []


def test_an_expiry_switch_the_direct_address_and_every_leg(browser, served):
    from selenium.webdriver.support.ui import Select

    open_page(browser, served, "symbol=nifty&expiry=2025-08-28")
    expiries = snapshot(served)["expiries"]
    choice = Select(browser.find_element("id", "expiry"))
    assert choice.first_selected_option.get_attribute("value") == "2025-08-28"
    choice.select_by_value("2025-08-14")
    assert len(shown_rows(browser)) == len(expiries[1]["strikes"])
    assert browser.current_url.endswith("expiry=2025-08-14")
    choice.select_by_value("all")
    browser.refresh()  # the address the page wrote opens the same view
    wait_for(lambda: page_refresh(browser) > 0, "a message")
    legs = sum(len(row) and sum(text != "" for text in row) for row in shown_rows(browser))
    listed = sum(sum(part[side]["listed"]) for part in expiries for side in ("call", "put"))
    assert len(shown_rows(browser)) == sum(len(part["strikes"]) for part in expiries)
    assert legs > listed  # every listed leg's cells are drawn
    before = page_refresh(browser)
    wait_for(lambda: page_refresh(browser) > before, "an update with every leg shown")
    applied = float(browser.execute_script("return document.body.dataset.applyMs"))
    print(f"\nthe page applied an update with all {listed} legs in {applied:.1f} ms")
    assert console_errors(browser) == []


def test_updates_arrive_and_a_failed_fetch_shows_a_banner(browser, served):
    open_page(browser, served, "symbol=NIFTY")
    before = page_refresh(browser)
    wait_for(lambda: page_refresh(browser) > before, "an update")
    banner = browser.find_element("id", "banner")
    assert not banner.is_displayed()
    served.replay.failing = ConnectionError("Could not resolve host")
    try:
        wait_for(banner.is_displayed, "the failure banner")
        assert "ConnectionError: Could not resolve host" in banner.text
        assert "Showing the last good data" in banner.text
        assert len(shown_rows(browser)) > 0
    finally:
        served.replay.failing = None
    wait_for(lambda: not banner.is_displayed(), "the banner to go")
    assert console_errors(browser) == []


def test_a_page_reconnects_after_a_server_restart(browser, served):
    chain = recorded.chain("NIFTY")
    first = Dashboard("NIFTY", chain, interval=0.3)
    port = first.port
    try:
        open_page(browser, first, "symbol=NIFTY")
    finally:
        first.stop()
    chain["records"]["underlyingValue"] += 100  # the restarted server's data tells it apart
    second = Dashboard("NIFTY", chain, interval=0.3, port=port)
    try:
        wait_for(lambda: browser.find_element("id", "spot").text == "24723.45",
                 "the restarted server's data")
        assert browser.find_element("id", "connection").text == "live"
    finally:
        second.stop()
        browser.get_log("browser")  # the refused connections while it was down are expected
