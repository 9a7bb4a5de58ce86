"""Text encodings under which every name a server sends survives the round trip.

A server hands out names as it keeps them: bytes, which need not be valid in
the encoding the client is configured with (a file named in Latin-1 on a
UTF-8 server).  ftplib decodes replies and listings, and encodes commands,
with the encoding it is given and no error handler.  `escaping` names a codec
that is the configured one except that bytes it cannot decode become lone
surrogates ("surrogateescape"), which encode back to the very same bytes.  So
such a name is listed, and can be addressed and deleted, whatever its bytes,
without patching ftplib; names that are valid text are unchanged.
"""

from __future__ import annotations

import codecs
import functools
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["escaping"]

_PREFIX = "dravlen_escaped_"
_ERRORS = "surrogateescape"


def escaping(encoding: str) -> str:
    """The name of *encoding* with undecodable bytes kept as escapes.

    Raises `LookupError` for an encoding Python does not know.
    """
    base = codecs.lookup(encoding)
    _register()
    return _PREFIX + base.name


@functools.cache
def _register() -> None:
    codecs.register(_search)


def _search(name: str) -> codecs.CodecInfo | None:
    if not name.startswith(_PREFIX):
        return None
    base = codecs.lookup(name[len(_PREFIX):])
    return _escaped(base)


@functools.cache
def _escaped(base: codecs.CodecInfo) -> codecs.CodecInfo:
    # Whatever error handler the caller asks for, the escapes are used: that
    # is what keeps a name's bytes intact where ftplib asks for "strict".
    def encode(text: str, errors: str = "strict") -> tuple[bytes, int]:
        return base.encode(text, _ERRORS)

    def decode(data: Buffer, errors: str = "strict") -> tuple[str, int]:
        return base.decode(data, _ERRORS)

    class IncrementalEncoder(base.incrementalencoder):  # type: ignore[name-defined,misc]
        def __init__(self, errors: str = "strict") -> None:
            super().__init__(_ERRORS)

    class IncrementalDecoder(base.incrementaldecoder):  # type: ignore[name-defined,misc]
        def __init__(self, errors: str = "strict") -> None:
            super().__init__(_ERRORS)

    class StreamWriter(base.streamwriter):  # type: ignore[name-defined,misc]
        def __init__(self, stream: object, errors: str = "strict") -> None:
            super().__init__(stream, _ERRORS)

    class StreamReader(base.streamreader):  # type: ignore[name-defined,misc]
        def __init__(self, stream: object, errors: str = "strict") -> None:
            super().__init__(stream, _ERRORS)

    return codecs.CodecInfo(
        encode, decode, StreamReader, StreamWriter, IncrementalEncoder, IncrementalDecoder,
        name=_PREFIX + base.name,
    )
