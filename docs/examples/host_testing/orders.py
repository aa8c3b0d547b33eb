"""Orders of a host package: placed through c_sdk, judged by their status, followed by events."""
from __future__ import annotations

import json
from typing import Any

import c_sdk


class OrderError(Exception):
    """The SDK accepted the call but answered something that is not an order."""


def place_limit_buy(symbol: str, volume: int, price: float) -> dict[str, Any] | None:
    """The order the SDK placed, or None when it refused (c_status_fail logs why)."""
    req = json.dumps({"symbol": symbol, "side": 1, "order_type": 1, "volume": volume, "price": price})
    status, res = c_sdk.py_zvi_place_order(req.encode())
    if c_sdk.c_status_fail(status, "zvi_place_order_pb"):
        return None
    try:
        order = json.loads(res or b"")
    except ValueError:
        raise OrderError(f"zvi_place_order_pb answered {res!r}") from None
    if not isinstance(order, dict) or "order_id" not in order:
        raise OrderError(f"zvi_place_order_pb answered {res!r}")
    return order


class OrderBook:
    """The event handler: the last status of every order, from its order_status events."""

    def __init__(self) -> None:
        self.status: dict[str, int] = {}

    def __call__(self, name: str, payload: bytes) -> None:
        if name == "order_status":
            order = json.loads(payload)
            self.status[order["order_id"]] = order["status"]
