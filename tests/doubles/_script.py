"""Scripted callables, call logs and module building shared by every double.

A double answers each call from its library's script:

* nothing scripted: the call's own default (if it has one, e.g. a client
  factory) or :class:`UnscriptedCall`;
* a plain value: returned on every call (tables are copied per call, like a
  fresh reply from the real library);
* a list or :class:`Seq`: one reply per call, in order; after the last one
  the call's default answers, or :class:`UnscriptedCall` is raised;
* an exception (instance or class): raised;
* :class:`Value`: returned literally (for replies that are lists or dicts);
* :class:`Compute`: ``fn(**bound_arguments)`` computes the reply;
* a dict, for calls keyed by symbol or host: the replies of each key.

Calls whose real result is a list take a plain list as the reply itself; use
:class:`Seq` for a sequence there.

Every call is bound against the real library's signature first, so a wrong
keyword fails here as it would against the real library, and is recorded as a
problem even when the code under test swallows the ``TypeError``.
"""

from __future__ import annotations

import collections
import importlib.machinery
import inspect
import itertools
import threading
import types
from typing import Any, Callable, Iterable

import pandas as pd

__all__ = [
    "UnscriptedCall",
    "Value",
    "Seq",
    "Compute",
    "CallRecord",
    "Scripted",
    "Library",
    "LIBRARIES",
    "take_problems",
]


class UnscriptedCall(AssertionError):
    """A double was called without a reply scripted for that call."""


class Value:
    """Reply with exactly this object (a list or a dict included)."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __repr__(self) -> str:
        return f"Value({self.value!r})"


class Seq:
    """Replies consumed one per call, in order."""

    __slots__ = ("items",)

    def __init__(self, *items: Any) -> None:
        self.items = items


class Compute:
    """Reply computed from the call: ``fn(**bound_arguments)``."""

    __slots__ = ("fn",)

    def __init__(self, fn: Callable[..., Any]) -> None:
        self.fn = fn


_LOCK = threading.RLock()
_PROBLEMS: list[str] = []
_SEQ = itertools.count(1)
LIBRARIES: list["Library"] = []


def _problem(message: str) -> None:
    with _LOCK:
        _PROBLEMS.append(message)


def take_problems() -> list[str]:
    """Return and forget the unscripted, exhausted and mis-bound calls seen so far."""
    with _LOCK:
        out = list(_PROBLEMS)
        _PROBLEMS.clear()
    return out


class CallRecord:
    """One call to a double, as the caller made it."""

    __slots__ = ("seq", "name", "args", "kwargs", "obj", "arguments", "result", "error", "thread")

    def __init__(self, name, args, kwargs, obj, arguments):
        self.seq = next(_SEQ)
        self.name = name
        self.args = args
        self.kwargs = kwargs
        self.obj = obj
        self.arguments = arguments
        self.result = None
        self.error = None
        self.thread = threading.current_thread().name

    def __getitem__(self, name: str) -> Any:
        return self.arguments[name]

    def __repr__(self) -> str:
        parts = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs.items()]
        return f"<{self.name}({', '.join(parts)})>"


class _Sequence:
    __slots__ = ("items", "used")

    def __init__(self, items: Iterable[Any]) -> None:
        self.items = collections.deque(items)
        self.used = 0


class _PerKey:
    __slots__ = ("table",)

    def __init__(self, table: dict) -> None:
        self.table = table


def _make_signature(params: str, with_self: bool) -> inspect.Signature:
    head = "self, /" if with_self else ""
    text = ", ".join(p for p in (head, params) if p)
    namespace: dict[str, Any] = {}
    exec(f"def _f({text}): pass", {}, namespace)  # noqa: S102 - fixed text written in this package
    return inspect.signature(namespace["_f"])


class _Bound:
    """A scripted method bound to its instance."""

    def __init__(self, scripted: "Scripted", obj: Any) -> None:
        self._scripted = scripted
        self._obj = obj
        self.__signature__ = scripted.signature
        self.__name__ = scripted.attr
        self.__self__ = obj

    def __call__(self, *args, **kwargs):
        return self._scripted.invoke(self._obj, args, kwargs)

    def __repr__(self) -> str:
        return f"<scripted method {self._scripted.label} of {self._obj!r}>"


class Scripted:
    """A callable (function, method or static method) answered from a script.

    ``params`` is the real parameter list without ``self``, as Python source.
    ``default(obj, arguments)`` answers when nothing is scripted.
    ``key`` names the argument (or is a function of ``(obj, arguments)``
    returning candidate keys) that selects a reply from a per-key dict.
    """

    def __init__(
        self,
        lib: "Library",
        name: str,
        params: str = "*args, **kwargs",
        *,
        label: str | None = None,
        default: Callable[[Any, dict], Any] | None = None,
        key: str | Callable[[Any, dict], list] | None = None,
        list_result: bool = False,
        method: bool = False,
        static: bool = False,
    ) -> None:
        self.lib = lib
        self.name = name
        self.attr = name
        self.label = label or f"{lib.prefix}{name}"
        self.default = default
        self.key = key
        self.list_result = list_result
        self.method = method
        self.static = static
        self.signature = _make_signature(params, with_self=False)
        # Seen from the class, a method shows ``self`` like a plain function does.
        self.__signature__ = _make_signature(params, with_self=True) if method else self.signature
        self.__name__ = name
        self.__qualname__ = name
        self.__doc__ = f"Scripted double of {self.label}."
        lib._register(self)

    def __set_name__(self, owner, attr):
        self.attr = attr

    def __get__(self, obj, owner=None):
        if obj is None or self.static or not self.method:
            return self
        return _Bound(self, obj)

    def __call__(self, *args, **kwargs):
        return self.invoke(None, args, kwargs)

    def __repr__(self) -> str:
        return f"<scripted {self.label}>"

    def keys_for(self, obj: Any, arguments: dict) -> list:
        if self.key is None:
            return []
        if callable(self.key):
            return list(self.key(obj, arguments))
        return [arguments.get(self.key)]

    def invoke(self, obj: Any, args: tuple, kwargs: dict) -> Any:
        try:
            bound = self.signature.bind(*args, **kwargs)
        except TypeError as exc:
            message = f"{self.label}() {exc}"
            _problem(f"wrong call: {message}")
            raise TypeError(message) from None
        bound.apply_defaults()
        record = CallRecord(self.name, tuple(args), dict(kwargs), obj, dict(bound.arguments))
        self.lib._log(record)
        try:
            result = self.answer(obj, record.arguments)
        except BaseException as exc:
            record.error = exc
            raise
        record.result = result
        return result

    def answer(self, obj: Any, arguments: dict) -> Any:
        return self.lib.script._answer(self, obj, arguments)


def _single(reply: Any, *, fresh: bool, arguments: dict) -> Any:
    if isinstance(reply, Value):
        return reply.value
    if isinstance(reply, Compute):
        return reply.fn(**arguments)
    if isinstance(reply, BaseException):
        raise reply
    if isinstance(reply, type) and issubclass(reply, BaseException):
        raise reply()
    if fresh and isinstance(reply, (pd.DataFrame, pd.Series)):
        return reply.copy()
    return reply


class Script:
    """Replies of one library, set as attributes named after its calls."""

    def __init__(self, lib: "Library") -> None:
        object.__setattr__(self, "_lib", lib)
        object.__setattr__(self, "_plans", {})

    def _function(self, name: str) -> Scripted:
        fn = self._lib._functions.get(name)
        if fn is None:
            known = ", ".join(sorted(self._lib._functions))
            raise AttributeError(f"{self._lib.name} double has no scripted call {name!r}; known: {known}")
        return fn

    def _prepare(self, fn: Scripted, plan: Any, top: bool) -> Any:
        if isinstance(plan, Seq):
            return _Sequence(plan.items)
        if isinstance(plan, list) and not fn.list_result:
            return _Sequence(plan)
        if top and isinstance(plan, dict) and fn.key is not None:
            return _PerKey({k: self._prepare(fn, v, top=False) for k, v in plan.items()})
        return plan

    def __setattr__(self, name: str, plan: Any) -> None:
        fn = self._function(name)
        prepared = self._prepare(fn, plan, top=True)
        with _LOCK:
            self._plans[name] = prepared

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        self._function(name)
        return self._plans.get(name)

    def __delattr__(self, name: str) -> None:
        with _LOCK:
            self._plans.pop(name, None)

    def set(self, name: str, plan: Any) -> None:
        setattr(self, name, plan)

    def clear(self) -> None:
        with _LOCK:
            self._plans.clear()

    def _answer(self, fn: Scripted, obj: Any, arguments: dict) -> Any:
        with _LOCK:
            plan = self._plans.get(fn.name, _UNSET)
        if plan is _UNSET:
            if fn.default is not None:
                return fn.default(obj, arguments)
            return self._unscripted(f"no scripted reply for {fn.label}")
        if isinstance(plan, _PerKey):
            keys = fn.keys_for(obj, arguments)
            for key in keys:
                if key in plan.table:
                    plan = plan.table[key]
                    break
            else:
                shown = keys[0] if keys else None
                return self._unscripted(f"no scripted reply for {fn.label} with {shown!r}")
        if isinstance(plan, _Sequence):
            with _LOCK:
                if not plan.items:
                    exhausted = True
                else:
                    exhausted = False
                    reply = plan.items.popleft()
                    plan.used += 1
            if exhausted:
                if fn.default is not None:
                    return fn.default(obj, arguments)
                return self._unscripted(f"scripted replies for {fn.label} exhausted after {plan.used} calls")
            return _single(reply, fresh=False, arguments=arguments)
        return _single(plan, fresh=True, arguments=arguments)

    @staticmethod
    def _unscripted(message: str):
        _problem(message)
        raise UnscriptedCall(message)


_UNSET = object()


class Library:
    """The double of one outside library: its modules, script and call log."""

    def __init__(self, name: str, prefix: str) -> None:
        self.name = name
        self.prefix = prefix
        self.modules: dict[str, types.ModuleType] = {}
        self.calls: list[CallRecord] = []
        self._functions: dict[str, Scripted] = {}
        self._reset_hooks: list[Callable[[], None]] = []
        self.script = Script(self)
        LIBRARIES.append(self)

    def _register(self, fn: Scripted) -> None:
        if fn.name in self._functions:
            raise ValueError(f"{self.name}: scripted call {fn.name!r} defined twice")
        self._functions[fn.name] = fn

    def _log(self, record: CallRecord) -> None:
        with _LOCK:
            self.calls.append(record)

    def function(self, name: str, params: str = "*args, **kwargs", **options) -> Scripted:
        return Scripted(self, name, params, **options)

    def calls_to(self, name: str) -> list[CallRecord]:
        """Calls of one scripted name (checked, so a typo fails loudly)."""
        self.script._function(name)
        with _LOCK:
            return [c for c in self.calls if c.name == name]

    def on_reset(self, hook: Callable[[], None]) -> Callable[[], None]:
        self._reset_hooks.append(hook)
        return hook

    def reset(self) -> None:
        self.script.clear()
        with _LOCK:
            self.calls.clear()
        for hook in self._reset_hooks:
            hook()

    def module(self, fullname: str, *, package: bool = False, doc: str | None = None, **attrs) -> types.ModuleType:
        """Make a module of the double (registered and linked to its parent)."""
        mod = types.ModuleType(fullname, doc or f"Test double of {fullname}.")
        plan = importlib.machinery.ModuleSpec(fullname, loader=None, is_package=package)
        mod.__spec__ = plan
        mod.__loader__ = None
        if package:
            mod.__path__ = []
            mod.__package__ = fullname
        else:
            mod.__package__ = fullname.rpartition(".")[0]
        for attr, value in attrs.items():
            setattr(mod, attr, value)
        parent, _, leaf = fullname.rpartition(".")
        if parent:
            setattr(self.modules[parent], leaf, mod)
        self.modules[fullname] = mod
        return mod
