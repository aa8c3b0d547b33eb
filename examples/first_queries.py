"""A first look at c_sdk: a few queries and an order against the stand-in SDK, with
every status judged the way a host does it.

    python examples/first_queries.py [--account demo] [--symbol SHSE.600000] [--volume 100]

Exit status 0 when every query succeeds; otherwise 1, with one line on standard error
naming the call that failed and the SDK's reason.
"""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any

import c_sdk

from session_control import SessionError, check


def query(name: str, request: dict[str, Any]) -> bytes:
    """The response of a request/response call; SessionError when its status is a failure."""
    status, body = getattr(c_sdk, name)(json.dumps(request))
    check(status, name)
    print(f"{name}: status {status}, {len(body)} response bytes")
    return body


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--account", default="demo", help="account id of the cash and position queries")
    p.add_argument("--symbol", default="SHSE.600000", help="symbol to subscribe and to order")
    p.add_argument("--volume", type=int, default=100, help="volume of the order")
    return p.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        print("SDK version:", c_sdk.zvi_get_c_version().decode() or "(stand-in)")
        print("running on Linux:", c_sdk.is_linux())
        status = c_sdk.py_zvi_subscribe(args.symbol, "1d", False)
        check(status, "py_zvi_subscribe")
        print("subscribe:", status)
        query("py_zvi_get_cash", {"account_id": args.account})
        query("py_zvi_get_positions", {"account_id": args.account})
        query("py_zvi_place_order", {"symbol": args.symbol, "volume": args.volume, "side": 1})
        status, accounts = c_sdk.py_zvi_get_accounts()
        check(status, "py_zvi_get_accounts")
        print("accounts:", status, accounts)
    except SessionError as exc:
        print(exc, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
