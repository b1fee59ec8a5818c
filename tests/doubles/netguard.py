"""Refuse every network connection that leaves this machine.

Tests replay recorded replies through doubles and loopback servers; a call
that would still reach an outside host fails at once with
:class:`NetworkAccessRefused` instead of waiting for a time-out. The error is
not an ``OSError``, so network code that turns socket errors into "host
unreachable" lets it through; refusals are also remembered, so a refusal that
the code under test swallows still fails the test (see conftest).

Allowed: the loopback range (127.0.0.0/8, ::1), the unspecified address,
"localhost", and Unix-domain sockets.
"""

from __future__ import annotations

import ipaddress
import socket
import threading

__all__ = ["NetworkAccessRefused", "install", "uninstall", "take_refusals", "is_local"]


class NetworkAccessRefused(RuntimeError):
    pass


_lock = threading.Lock()
_refused: list[str] = []
_originals: dict = {}
_LOCAL_NAMES = {"localhost", "localhost.localdomain", "ip6-localhost", "ip6-loopback"}


def is_local(host) -> bool:
    if host is None:
        return True
    if isinstance(host, (bytes, bytearray)):
        host = host.decode("ascii", "replace")
    name = str(host).strip().lower()
    if name in ("", "<broadcast>"):
        return name == ""
    if name in _LOCAL_NAMES or name.endswith(".localhost"):
        return True
    name = name.strip("[]").split("%", 1)[0]
    try:
        ip = ipaddress.ip_address(name)
    except ValueError:
        # A host name other than localhost is refused without resolving it.
        return False
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return ip.is_loopback or ip.is_unspecified


def _refuse(host, port=None) -> None:
    where = f"{host}:{port}" if port is not None else f"{host}"
    with _lock:
        _refused.append(where)
    raise NetworkAccessRefused(f"network access refused in tests: {where}")


def _check_address(family, address) -> None:
    if family not in (socket.AF_INET, socket.AF_INET6):
        return
    if isinstance(address, (tuple, list)) and address:
        host = address[0]
        port = address[1] if len(address) > 1 else None
        if not is_local(host):
            _refuse(host, port)


def take_refusals() -> list[str]:
    """Return and forget the addresses refused so far."""
    with _lock:
        out = list(_refused)
        _refused.clear()
    return out


def install() -> None:
    """Patch the socket module (idempotent)."""
    if _originals:
        return
    sock_cls = socket.socket
    _originals.update(
        connect=sock_cls.connect,
        connect_ex=sock_cls.connect_ex,
        sendto=sock_cls.sendto,
        create_connection=socket.create_connection,
        getaddrinfo=socket.getaddrinfo,
        gethostbyname=socket.gethostbyname,
        gethostbyname_ex=socket.gethostbyname_ex,
    )

    def connect(self, address):
        _check_address(self.family, address)
        return _originals["connect"](self, address)

    def connect_ex(self, address):
        _check_address(self.family, address)
        return _originals["connect_ex"](self, address)

    def sendto(self, data, *rest):
        if rest:
            _check_address(self.family, rest[-1])
        return _originals["sendto"](self, data, *rest)

    def create_connection(address, *args, **kwargs):
        host, port = address[0], address[1]
        if not is_local(host):
            _refuse(host, port)
        return _originals["create_connection"](address, *args, **kwargs)

    def getaddrinfo(host, port, *args, **kwargs):
        if not is_local(host):
            _refuse(host, port)
        return _originals["getaddrinfo"](host, port, *args, **kwargs)

    def gethostbyname(host):
        if not is_local(host):
            _refuse(host)
        return _originals["gethostbyname"](host)

    def gethostbyname_ex(host):
        if not is_local(host):
            _refuse(host)
        return _originals["gethostbyname_ex"](host)

    sock_cls.connect = connect
    sock_cls.connect_ex = connect_ex
    sock_cls.sendto = sendto
    socket.create_connection = create_connection
    socket.getaddrinfo = getaddrinfo
    socket.gethostbyname = gethostbyname
    socket.gethostbyname_ex = gethostbyname_ex


def uninstall() -> None:
    if not _originals:
        return
    sock_cls = socket.socket
    sock_cls.connect = _originals["connect"]
    sock_cls.connect_ex = _originals["connect_ex"]
    sock_cls.sendto = _originals["sendto"]
    socket.create_connection = _originals["create_connection"]
    socket.getaddrinfo = _originals["getaddrinfo"]
    socket.gethostbyname = _originals["gethostbyname"]
    socket.gethostbyname_ex = _originals["gethostbyname_ex"]
    _originals.clear()
