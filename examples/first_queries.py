"""A first look at c_sdk: a few queries and an order against the stand-in SDK, with
every status judged the way a host does it."""
import json

import c_sdk


def query(name, request):
    status, body = getattr(c_sdk, name)(json.dumps(request))
    if c_sdk.c_status_fail(status, name):
        print(f"{name}: failed with status {status}: {c_sdk.py_zvi_strerror(status).decode()}")
        return None
    print(f"{name}: status {status}, {len(body)} response bytes")
    return body


def main():
    print("SDK version:", c_sdk.zvi_get_c_version().decode() or "(stand-in)")
    print("running on Linux:", c_sdk.is_linux())
    print("subscribe:", c_sdk.py_zvi_subscribe("SHSE.600000", "1d", False))
    query("py_zvi_get_cash", {"account_id": "demo"})
    query("py_zvi_get_positions", {"account_id": "demo"})
    query("py_zvi_place_order", {"symbol": "SHSE.600000", "volume": 100, "side": 1})
    status, accounts = c_sdk.py_zvi_get_accounts()
    print("accounts:", status, accounts)


if __name__ == "__main__":
    main()
