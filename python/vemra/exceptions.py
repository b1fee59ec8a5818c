"""Exception classes of the vemra package."""


class VemraError(Exception):
    """Base class of every error raised on purpose by vemra."""


class VemraParamError(VemraError, ValueError):
    """An argument given by the caller cannot be used.

    Also a ValueError, so callers that only know the standard library's
    error for bad values still catch it.
    """

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message
