"""The small module that holds PanicException (also varnel.PanicException)."""

class PanicException(BaseException):
    """An internal failure inside varnel (a broken invariant, an index out of
    range, an explicit stop such as a timeout). Derives from BaseException, so
    ``except Exception`` does not catch it."""
