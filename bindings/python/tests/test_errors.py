"""Exceptions by result-code layer, without a gateway."""

import pickle
import unittest

import kestrix_spi
from kestrix_spi import (BadArgumentError, FlashError, GatewayError, KestrixError, KestrixTimeoutError, NotConnectedError,
                         ProtocolError, error_class)


class ErrorClassTest(unittest.TestCase):
    def test_every_named_code_maps_to_its_kind(self):
        expected = {
            "RC_SOCKET_ERROR": NotConnectedError, "RC_NOT_CONNECTED": NotConnectedError,
            "RC_TIMEOUT": KestrixTimeoutError, "RC_STACK_INITIALIZING": NotConnectedError,
            "RC_STACK_NOT_INITIALIZED": NotConnectedError, "RC_BAD_CHECKSUM": ProtocolError,
            "RC_NOT_CONFIRMED": ProtocolError, "RC_BAD_CONFIRMATION": ProtocolError,
            "RC_BAD_HANDLE": NotConnectedError, "RC_WRONG_DEVICE_TYPE": KestrixError,
            "RC_BAD_PARAMETER": BadArgumentError, "RC_MAX_CONNECTIONS": NotConnectedError,
            "RC_EEPROM_FAILED": GatewayError, "RC_COMMAND_FAILED": GatewayError,
            "RC_SPI_INCONSISTENT_DATA": GatewayError, "RC_SPI_SEND_ERROR": GatewayError,
            "RC_SPI_SEQ_BAD_OPCODE": GatewayError, "RC_SPI_SEQ_TIMEOUT": GatewayError,
        }
        for name in ("NO_CHIP", "SIZE_UNKNOWN", "SIZE_MISMATCH", "OUT_OF_RANGE", "BUSY_TIMEOUT", "WRITE_REFUSED",
                     "MISMATCH", "CANCELLED", "NO_MEMORY", "CLOCK_TOO_SLOW"):
            expected["RC_FLASH_" + name] = FlashError
        self.assertEqual(set(expected), set(kestrix_spi.RESULT_CODES) - {"RC_OK"})
        for name, kind in expected.items():
            with self.subTest(name):
                self.assertIs(error_class(kestrix_spi.RESULT_CODES[name]), kind)

    def test_codes_with_a_device_type_keep_their_layer(self):
        self.assertIs(error_class(0x0C0300), ProtocolError)
        self.assertIs(error_class(0x040300), KestrixTimeoutError)
        self.assertIs(error_class(0x0301), GatewayError)

    def test_codes_outside_every_layer_are_plain(self):
        for code in (0x070000, 0x120056, -1, 0x7F000000):
            with self.subTest(code=hex(code)):
                self.assertIs(error_class(code), KestrixError)

    def test_kinds_are_the_matching_builtins(self):
        self.assertIsInstance(KestrixError.from_code(kestrix_spi.RC_TIMEOUT), TimeoutError)
        self.assertIsInstance(KestrixError.from_code(kestrix_spi.RC_NOT_CONNECTED), ConnectionError)
        self.assertIsInstance(KestrixError.from_code(kestrix_spi.RC_BAD_PARAMETER), ValueError)
        self.assertNotIsInstance(KestrixError.from_code(kestrix_spi.RC_SPI_SEND_ERROR), OSError)

    def test_gateway_error_names_result_byte_and_device_type(self):
        error = KestrixError.from_code(0x0321, "transfer")
        self.assertIsInstance(error, GatewayError)
        self.assertEqual((error.result_byte, error.device_type), (0x21, 3))
        self.assertEqual(str(error), "transfer: 0x000321: SPI error while sending")

    def test_detail_and_operation_reach_the_message(self):
        error = KestrixError.from_code(kestrix_spi.RC_BAD_PARAMETER, "transfer", "70000 bytes")
        self.assertEqual(str(error), "transfer: 0x920000: Invalid function parameter (70000 bytes)")
        self.assertEqual((error.operation, error.detail), ("transfer", "70000 bytes"))

    def test_pickles_with_its_class_and_fields(self):
        error = pickle.loads(pickle.dumps(KestrixError.from_code(kestrix_spi.RC_TIMEOUT, "read digital")))
        self.assertIsInstance(error, KestrixTimeoutError)
        self.assertEqual((error.code, error.operation, str(error)),
                         (kestrix_spi.RC_TIMEOUT, "read digital", "read digital: 0x040000: TCP/IP timeout occured"))


if __name__ == "__main__":
    unittest.main()
