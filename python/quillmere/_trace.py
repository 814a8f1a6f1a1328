"""`trace` and `step`: the current trace and the receipt that new work links to, carried in
contextvars so that nested, threaded (with `contextvars.copy_context`) and asynchronous code
records linked receipts without passing ids by hand.

Within a trace, a step records its execution receipt when its block completes: a block that
raises stores nothing and leaves the chain where it was. A step's inputs are hashed on entry
and its outputs on exit, and its receipt links to the steps of the trace that produced its
inputs (matched by content, or by the place an earlier step wrote to, when the data there
changed since). A step whose inputs no step of the trace produced names the last step that
succeeded in `prev_execution_rid` only; a step without inputs links to it. Steps nested in a
step, and work recorded with `record_work` inside it, link to that step.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import uuid
from contextvars import Token
from types import TracebackType
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple, Type, TypeVar, cast

from ._core import Client, Receipt, current_client, current_parent_id, current_trace_id
from ._steps import TraceState, current_trace_state, step

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


class trace:
    """Run work in a trace: `with trace("nightly-etl", client=c) as trace_id: ...`.

    Without an id, a new one ("trace:" and a random UUID) is made on each entry. Inside, work
    recorded without an explicit `trace_id` belongs to this trace, and steps store their
    receipts in `client` (or in the client of an enclosing trace). Also a decorator (sync or
    async functions): each call runs in the trace.
    """

    def __init__(self, trace_id: Optional[str] = None, *, client: Optional[Client] = None) -> None:
        self.trace_id = trace_id
        self.client = client
        self._tokens: List[Tuple[Token[Optional[str]], Token[Optional[str]], Token[Optional[Client]],
                                 Token[Optional[TraceState]]]] = []

    def __enter__(self) -> str:
        trace_id = self.trace_id if self.trace_id is not None else f"trace:{uuid.uuid4()}"
        client = self.client if self.client is not None else current_client.get()
        self._tokens.append(
            (current_trace_id.set(trace_id), current_parent_id.set(None), current_client.set(client),
             current_trace_state.set(TraceState()))
        )
        return trace_id

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        trace_token, parent_token, client_token, state_token = self._tokens.pop()
        current_trace_state.reset(state_token)
        current_client.reset(client_token)
        current_parent_id.reset(parent_token)
        current_trace_id.reset(trace_token)

    async def __aenter__(self) -> str:
        return self.__enter__()

    async def __aexit__(self, *exc_info: Any) -> None:
        # Leaving by `async with` is leaving by `with`: nothing on the way out waits.
        self.__exit__(*exc_info)

    def __call__(self, func: Callable[P, R]) -> Callable[P, R]:
        return _wrap(lambda: trace(self.trace_id, client=self.client), func)


