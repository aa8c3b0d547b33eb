"""Constants shared with the SDK."""

# The SDK status that means success.
CSDK_OPERATE_SUCCESS = 0
