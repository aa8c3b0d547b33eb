import json
import logging

import c_sdk
import pytest
from zvsdk_standin import StandIn

from orders import OrderBook, OrderError, place_limit_buy

# Every answer a test scripts must be used by the code under test.
pytestmark = pytest.mark.zvsdk_strict

REQUEST = b'{"symbol": "SHSE.600000", "side": 1, "order_type": 1, "volume": 100, "price": 10.5}'


def test_a_placed_order_is_returned(zvsdk: StandIn) -> None:
    zvsdk.script("zvi_place_order_pb", status=0, response=b'{"order_id": "o-1", "status": 1}')

    assert place_limit_buy("SHSE.600000", 100, 10.5) == {"order_id": "o-1", "status": 1}
    zvsdk.assert_called_once_with("zvi_place_order_pb", REQUEST)


def test_a_refused_order_is_logged(zvsdk: StandIn, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger=c_sdk.zvsdklogger.name)
    zvsdk.script("zvi_place_order_pb", status=1002)
    zvsdk.set_strerror(1002, b"no such symbol")

    assert place_limit_buy("SHSE.600000", 100, 10.5) is None
    assert caplog.messages == ["invoke c fun=zvi_place_order_pb error code=1002, error info=no such symbol"]


def test_the_handler_follows_order_events(zvsdk: StandIn) -> None:
    book = OrderBook()
    c_sdk.py_zvi_set_data_callback(book)
    zvsdk.queue_event(b"order_status", b'{"order_id": "o-1", "status": 1}')
    zvsdk.queue_event(b"tick", b'{"symbol": "SHSE.600000", "price": 10.4}')
    zvsdk.queue_event(b"order_status", b'{"order_id": "o-1", "status": 3}')

    assert c_sdk.py_zvi_run() == 0
    assert book.status == {"o-1": 3}


def test_an_answer_the_sdk_never_sends_is_an_error(zvsdk: StandIn) -> None:
    # Poison mode overwrites what the SDK lent at its next call with 0xa5 bytes, as an SDK
    # reusing its buffers may; bytes like these must be refused, never read as an order.
    zvsdk.set_poison(True)
    zvsdk.script("zvi_place_order_pb", status=0, response=b"\xa5" * 16)

    with pytest.raises(OrderError, match="zvi_place_order_pb answered"):
        place_limit_buy("SHSE.600000", 100, 10.5)


@pytest.mark.zvsdk_sim("sim:seed=3", start_time="2024-03-04", end_time="2024-03-04")
def test_a_limit_buy_fills_in_a_simulated_session(zvsdk: StandIn) -> None:
    book = OrderBook()
    c_sdk.py_zvi_set_data_callback(book)
    order = place_limit_buy("SHSE.600000", 100, 1000.0)
    assert order is not None and order["status"] == 1

    assert c_sdk.py_zvi_run() == 0
    assert book.status[order["order_id"]] == 3
    status, cash = c_sdk.py_zvi_get_cash(b"{}")
    assert status == 0 and json.loads(cash or b"")["available"] < 1_000_000.0
