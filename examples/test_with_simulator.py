"""Testing your own gateway code without hardware: copy this file next to
your tests and run `pytest`. The kestrix_gateway fixture (from the
kestrix_spi package's pytest plugin) gives each test a kestrix-gateway
simulator of its own on a free loopback port; the marker of the same name
passes settings and faults to it (see kestrix_spi.testing.Simulator).
"""

import pytest

from kestrix_spi import Gateway, GatewayError
from kestrix_spi.testing import Simulator

JEDEC_ID = bytes([0x9F])


def flash_id(gateway: Gateway) -> bytes:
    """The code under test: manufacturer, type and capacity of the flash."""
    return gateway.transfer(JEDEC_ID, 4)[1:]


def test_reads_the_flash_id(kestrix_gateway: Simulator) -> None:
    with Gateway(kestrix_gateway.address) as gateway:
        assert flash_id(gateway) == bytes([0xEF, 0x40, 0x18])


@pytest.mark.kestrix_gateway(flash_size="1M")
def test_the_capacity_follows_the_flash_size(kestrix_gateway: Simulator) -> None:
    with Gateway(kestrix_gateway.address) as gateway:
        assert flash_id(gateway)[2] == 20


@pytest.mark.kestrix_gateway(faults=["no-answer"])
def test_a_silent_gateway_times_out(kestrix_gateway: Simulator) -> None:
    with Gateway(kestrix_gateway.address, timeout_ms=200) as gateway:
        with pytest.raises(TimeoutError):
            flash_id(gateway)


def test_a_failure_reported_by_the_gateway(kestrix_gateway: Simulator) -> None:
    with Gateway(kestrix_gateway.address) as gateway:
        kestrix_gateway.add_fault("result=0x21")
        with pytest.raises(GatewayError) as caught:
            flash_id(gateway)
        assert caught.value.result_byte == 0x21


def test_flash_contents_can_be_prepared_and_inspected() -> None:
    with Simulator(flash=b"\xA5" * 16) as simulator, Gateway(simulator.address) as gateway:
        assert gateway.transfer(b"\x03\x00\x00\x00", 8)[4:] == b"\xA5" * 4
        gateway.transfer(b"\x06")
        gateway.transfer(b"\x20\x00\x00\x00")
        assert simulator.read_flash()[:16] == b"\xFF" * 16
