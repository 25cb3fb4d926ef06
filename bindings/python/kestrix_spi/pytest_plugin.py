"""pytest plugin: the kestrix_gateway fixture, a simulator per test.

    from kestrix_spi import Gateway

    def test_flash_id(kestrix_gateway):
        with Gateway(kestrix_gateway.address) as gateway:
            assert gateway.transfer(b"\\x9f", 4)[1:] == b"\\xef\\x40\\x18"

    @pytest.mark.kestrix_gateway(faults=["no-answer@2"], flash_size="1M")
    def test_second_request_unanswered(kestrix_gateway):
        ...

    @pytest.mark.kestrix_gateway(device=MyAdc)
    def test_adc_sees_a_conversion_start(kestrix_gateway):
        ...
        assert kestrix_gateway.device.conversions == 1

The marker's arguments go to kestrix_spi.testing.Simulator. A class given
as device is made afresh for each test, so tests do not share its state;
the test finds it as kestrix_gateway.device. An installed
kestrix_spi (pip or cmake --install) registers the plugin by itself; otherwise load it with
`pytest -p kestrix_spi.pytest_plugin` or `pytest_plugins = ["kestrix_spi.pytest_plugin"]`
in a conftest.py. When a test fails, the simulator's log is shown with it.
"""

from __future__ import annotations

from typing import Any, Dict, Generator, Iterator, Tuple

import pytest

from .testing import Simulator

MARKER = "kestrix_gateway"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", f"{MARKER}(*options, **settings): how the {MARKER} fixture starts its simulator "
        "(the arguments of kestrix_spi.testing.Simulator)")


@pytest.fixture
def kestrix_gateway(request: pytest.FixtureRequest) -> Iterator[Simulator]:
    """A running kestrix-gateway simulator of this test's own; pass its
    address to Gateway. Stopped after the test, whatever the outcome."""
    options: Tuple[Any, ...] = ()
    settings: Dict[str, Any] = {}
    marker = request.node.get_closest_marker(MARKER)
    if marker is not None:
        options, settings = marker.args, dict(marker.kwargs)
    if isinstance(settings.get("device"), type):
        settings["device"] = settings["device"]()
    with Simulator(*options, **settings) as simulator:
        yield simulator


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()  # type: ignore[attr-defined]
    simulator = getattr(item, "funcargs", {}).get(MARKER)
    if report.failed and isinstance(simulator, Simulator):
        report.sections.append((f"{MARKER} log", "\n".join(simulator.log)))
        if simulator.device_errors:
            report.sections.append((f"{MARKER} device errors", "\n".join(map(repr, simulator.device_errors))))
