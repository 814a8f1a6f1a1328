"""`trace` and `step`: the current trace and the receipt that new work links to, carried in
contextvars so that nested, threaded (with `contextvars.copy_context`) and asynchronous code
records linked receipts without passing ids by hand.

Within a trace, every step records an execution receipt when it starts. The receipt links to
the step that finished last in the same scope, or to the enclosing step for the first one, so
steps run one after another form a chain and steps nested in a step hang below it. Work
recorded with `record_work` inside a step links to that step.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import uuid
from contextvars import Token
from types import TracebackType
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple, Type, TypeVar, cast

from ._core import Client, Receipt, current_client, current_parent_id, current_trace_id, record_work

if TYPE_CHECKING:
    from typing import ParamSpec

    P = ParamSpec("P")

R = TypeVar("R")

__all__ = ["trace", "step"]


def _wrap(manager: Callable[[], Any], func: Callable[P, R]) -> Callable[P, R]:
    """`func` run inside a fresh context manager from `manager` on every call."""
    if inspect.iscoroutinefunction(func):
        coroutine_function = cast(Callable[..., Awaitable[Any]], func)

        @functools.wraps(func)
        async def run_async(*args: Any, **kwargs: Any) -> Any:
            async with manager():
                return await coroutine_function(*args, **kwargs)

        return run_async  # type: ignore[return-value]

    @functools.wraps(func)
    def run(*args: P.args, **kwargs: P.kwargs) -> R:
        with manager():
            return func(*args, **kwargs)

    return run


class _LeftAlike:
    """Leaving by `async with` is leaving by `with`: nothing on the way out waits."""

    __exit__: Callable[..., None]

    async def __aexit__(self, *exc_info: Any) -> None:
        self.__exit__(*exc_info)


class trace(_LeftAlike):
    """Run work in a trace: `with trace("nightly-etl", client=c) as trace_id: ...`.

    Without an id, a new one ("trace:" and a random UUID) is made on each entry. Inside, work
    recorded without an explicit `trace_id` belongs to this trace, and steps store their
    receipts in `client` (or in the client of an enclosing trace). Also a decorator (sync or
    async functions): each call runs in the trace.
    """

    def __init__(self, trace_id: Optional[str] = None, *, client: Optional[Client] = None) -> None:
        self.trace_id = trace_id
        self.client = client
        self._tokens: List[Tuple[Token[Optional[str]], Token[Optional[str]], Token[Optional[Client]]]] = []

    def __enter__(self) -> str:
        trace_id = self.trace_id if self.trace_id is not None else f"trace:{uuid.uuid4()}"
        client = self.client if self.client is not None else current_client.get()
        self._tokens.append(
            (current_trace_id.set(trace_id), current_parent_id.set(None), current_client.set(client))
        )
        return trace_id

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        trace_token, parent_token, client_token = self._tokens.pop()
        current_client.reset(client_token)
        current_parent_id.reset(parent_token)
        current_trace_id.reset(trace_token)

    async def __aenter__(self) -> str:
        return self.__enter__()

    def __call__(self, func: Callable[P, R]) -> Callable[P, R]:
        return _wrap(lambda: trace(self.trace_id, client=self.client), func)


class step(_LeftAlike):
    """Record one step of a trace: `with step("normalize-prices", {"currency": "EUR"}) as r:`.

    On entry an execution receipt is recorded (trace and parent from the context) and, when
    a client is given here or by the enclosing `trace`, stored; the body then runs with that
    receipt as the parent of new work. Also a decorator: `@step()` names the step after the
    function, and each call records one step.
    """

    def __init__(
        self,
        workload_id: Optional[str] = None,
        payload: Optional[Dict[str, Any]] = None,
        *,
        tags: Optional[Sequence[str]] = None,
        client: Optional[Client] = None,
    ) -> None:
        self.workload_id = workload_id
        self.payload = payload
        self.tags = tags
        self.client = client
        self._active: List[Tuple[str, Token[Optional[str]]]] = []

    def _record(self) -> Tuple[Receipt, Optional[Client]]:
        if self.workload_id is None:
            raise TypeError("step() needs a workload_id when used as a context manager")
        receipt = record_work(self.workload_id, self.payload if self.payload is not None else {},
                              tags=self.tags)
        return receipt, self.client if self.client is not None else current_client.get()

    def _enter(self, receipt: Receipt) -> Receipt:
        rid = receipt.get_rid()
        self._active.append((rid, current_parent_id.set(rid)))
        return receipt

    def __enter__(self) -> Receipt:
        receipt, client = self._record()
        if client is not None:
            receipt = client.store_receipt(receipt)  # as stored: signed by a signing client
        return self._enter(receipt)

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        rid, token = self._active.pop()
        current_parent_id.reset(token)
        # What follows in the same trace links to this step. Outside any trace nothing is
        # chained, so that a lone step leaves no parent behind for unrelated work.
        if current_trace_id.get() is not None:
            current_parent_id.set(rid)

    async def __aenter__(self) -> Receipt:
        receipt, client = self._record()
        if client is not None:
            receipt = await asyncio.to_thread(client.store_receipt, receipt)
        return self._enter(receipt)

    def __call__(self, func: Callable[P, R]) -> Callable[P, R]:
        name = self.workload_id if self.workload_id is not None else func.__qualname__
        return _wrap(lambda: step(name, self.payload, tags=self.tags, client=self.client), func)
