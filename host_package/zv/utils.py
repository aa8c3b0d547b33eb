"""Helpers of the host package."""

import logging

# The SDK binding's logger: c_sdk.c_status_fail writes one debug line per failed status.
zvsdklogger = logging.getLogger("zv.sdk")
