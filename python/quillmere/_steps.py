"""`step`: one unit of work of a trace, sealed into an execution receipt when its block
completes, committing to the data it read and wrote (see `quillmere._trace` for the links).

    with qm.step("normalize", inputs=["raw.csv"], outputs=["clean.csv"]) as s:
        ...  # read raw.csv, write clean.csv
    s.receipt  # the sealed receipt, after the block

With `reuse=cost_model`, a step first asks the store for an earlier execution of the same
method on overlapping inputs (`Client.find_reusable`). When the reuse rule says reuse and
the earlier output is still in place with the digest recorded, `s.reused` is set: the
decorator form then does not call the function at all, and a `with` block should test
`if not s.reused:` (Python gives a context manager no way to skip its block). The receipt
then names the reused execution in `prev_execution_rid`.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import uuid
from contextvars import ContextVar, Token
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple, Type, TypeVar, Union, cast

from . import _shapes
from ._core import Client, Receipt, current_client, current_parent_id, current_trace_id
from ._execution import record_execution
from ._stepdata import DataItem, as_items, hash_item, locator_ref, method_shape_of
from ._receipt import view_of

if TYPE_CHECKING:
    from typing import ParamSpec

    from ._reuse import ReuseMatch

    P = ParamSpec("P")

R = TypeVar("R")

__all__ = ["step", "StepHandle", "TraceState", "current_trace_state"]


@dataclass
class TraceState:
    """What the steps of one trace wrote so far: output shape -> rid of the step that wrote
    it, and locator -> (rid, shape) of the last step that wrote there."""

    by_shape: Dict[str, str] = field(default_factory=dict)
    by_locator: Dict[str, Tuple[str, str]] = field(default_factory=dict)


current_trace_state: ContextVar[Optional[TraceState]] = ContextVar("quillmere_trace_state", default=None)


@dataclass
class StepHandle:
    """What `with step(...) as s` binds: the step's rid (drawn on entry), its hashed inputs
    and output, the reuse match when the step reuses an earlier execution, and, after the
    block completes, the sealed receipt."""

    workload_id: str
    rid: str
    method_shape: str
    inputs: List[DataItem]
    output: Optional[DataItem] = None
    match: Optional["ReuseMatch"] = None  # what the reuse look-up found, reused or not
    reused: Optional["ReuseMatch"] = None  # the match, when the step reuses it
    receipt: Optional[Receipt] = None
    parents: Tuple[str, ...] = ()
    prev_execution_rid: Optional[str] = None

    @property
    def why(self) -> str:
        """One line saying why the step reused or recomputed."""
        if self.match is None:
            return "recompute: no earlier execution of this method shares data with these inputs"
        if self.reused is None and self.match.decision == "reuse":
            return "recompute: the earlier output is gone or changed (" + self.match.explain() + ")"
        return self.match.explain()


class step:
    """One step of a trace, sealed when its block completes (see `quillmere._steps`). inputs,
    outputs (at most one): paths, buffers or manifests; method: a method shape hash or a
    callable (default: the workload); reuse: a cost model. Also a decorator: `@step()`."""

    def __init__(
        self,
        workload_id: Optional[str] = None,
        payload: Optional[Dict[str, Any]] = None,
        *,
        inputs: Union[Any, Sequence[Any]] = (),
        outputs: Union[Any, Sequence[Any]] = (),
        method: Union[None, str, Callable[..., Any]] = None,
        reuse: Optional[Any] = None,
        tags: Optional[Sequence[str]] = None,
        client: Optional[Client] = None,
        chunk_scheme: _shapes.ChunkScheme = None,
    ) -> None:
        self.workload_id = workload_id
        self.payload = payload
        self.inputs = as_items(inputs)
        self.outputs = as_items(outputs)
        if len(self.outputs) > 1:
            raise ValueError("a step records one output: give one path, buffer or manifest")
        self.method = method
        self.reuse = reuse
        self.tags = tags
        self.client = client
        self.chunk_scheme = chunk_scheme
        self._active: List[Tuple[StepHandle, Optional[Client], Token[Optional[str]]]] = []

    # -- entry --------------------------------------------------------------------------

    def _prepare(self, client: Optional[Client]) -> StepHandle:
        """Hashing and the reuse look-up: the slow part of entry, with no context change."""
        if self.workload_id is None:
            raise TypeError("step() needs a workload_id when used as a context manager")
        items = [hash_item(x, self.chunk_scheme) for x in self.inputs]
        handle = StepHandle(self.workload_id, str(uuid.uuid4()),
                            method_shape_of(self.workload_id, self.method, self.payload), items)
        if self.reuse is not None and client is not None and items and self.outputs:
            match = handle.match = client.find_reusable(
                handle.method_shape, [i.manifest for i in items], self.reuse, sketches=[i.sketch for i in items])
            if match is not None and match.decision == "reuse" and _present(self.outputs[0]):
                output = hash_item(self.outputs[0], self.chunk_scheme)
                if output.shape_hash == match.output_digest:
                    handle.reused, handle.output = match, output
        return handle

    def _begin(self, handle: StepHandle, client: Optional[Client]) -> StepHandle:
        prev = current_parent_id.get()
        state = current_trace_state.get()
        parents: List[str] = []
        if not handle.inputs:
            parents = [prev] if prev is not None else []
        elif state is not None:
            for item in handle.inputs:
                rid = state.by_shape.get(item.shape_hash)
                if rid is None and item.locator is not None and item.locator in state.by_locator:
                    rid = state.by_locator[item.locator][0]  # changed since that step wrote it
                if rid is not None and rid not in parents:
                    parents.append(rid)
        handle.parents = tuple(parents)
        handle.prev_execution_rid = prev
        self._active.append((handle, client, current_parent_id.set(handle.rid)))
        return handle

    def __enter__(self) -> StepHandle:
        client = self.client if self.client is not None else current_client.get()
        return self._begin(self._prepare(client), client)

    async def __aenter__(self) -> StepHandle:
        client = self.client if self.client is not None else current_client.get()
        return self._begin(await asyncio.to_thread(self._prepare, client), client)

    # -- exit ---------------------------------------------------------------------------

    def _seal(self, handle: StepHandle, client: Optional[Client], trace_id: Optional[str]) -> Receipt:
        """Hash the output, record the receipt and store it with the manifests."""
        if self.outputs and (handle.output is None or not handle.output.unchanged()):
            handle.output = hash_item(self.outputs[0], self.chunk_scheme)
            if handle.reused is not None and handle.output.shape_hash != handle.reused.output_digest:
                handle.reused = None  # the block wrote the output after all: computed, not reused
        key = getattr(client, "locator_key", None)
        payload = dict(self.payload) if self.payload is not None else {}
        prev = handle.prev_execution_rid
        if handle.reused is not None:
            payload["quillmere.reused"] = handle.reused.to_dict()
            prev = handle.reused.rid
        refs = [locator_ref(i, key, "memory") for i in handle.inputs]
        output = handle.output
        receipt = record_execution(
            workload_id=handle.workload_id, payload=payload, rid=handle.rid,
            inputs=[i.manifest for i in handle.inputs],
            output=None if output is None else output.manifest,
            method_shape=handle.method_shape,
            sketch=[i.sketch for i in handle.inputs if i.sketch is not None] or None,
            trace_id=trace_id, parent_ids=handle.parents, prev_execution_rid=prev,
            input_locator_refs=refs,
            output_locator_ref=None if output is None else locator_ref(output, key, "memory"),
            tags=self.tags,
        )
        if client is not None:
            digests = [client.store_manifest(i.manifest) for i in handle.inputs]
            if output is not None:
                client.store_manifest(output.manifest)
            receipt = client.store_receipt(receipt)  # as stored: signed by a signing client
            client._index_execution(receipt, handle.method_shape, handle.inputs, digests, output)
        return receipt

    def _finish(self, handle: StepHandle, receipt: Receipt) -> None:
        handle.receipt = view_of(receipt)
        rid = view_of(receipt).rid
        state = current_trace_state.get()
        if state is not None and handle.output is not None:
            state.by_shape[handle.output.shape_hash] = rid
            if handle.output.locator is not None:
                state.by_locator[handle.output.locator] = (rid, handle.output.shape_hash)
        # What follows in the same trace links to this step. Outside any trace nothing is
        # chained, so that a lone step leaves no parent behind for unrelated work.
        if current_trace_id.get() is not None:
            current_parent_id.set(rid)

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        handle, client, token = self._active.pop()
        current_parent_id.reset(token)
        if exc_type is None:
            self._finish(handle, self._seal(handle, client, current_trace_id.get()))

    async def __aexit__(self, *exc_info: Any) -> None:
        handle, client, token = self._active.pop()
        current_parent_id.reset(token)
        if exc_info[0] is None:
            receipt = await asyncio.to_thread(self._seal, handle, client, current_trace_id.get())
            self._finish(handle, receipt)

    # -- decorator ----------------------------------------------------------------------

    def _again(self, name: str) -> "step":
        return step(name, self.payload, inputs=self.inputs, outputs=self.outputs, method=self.method,
                    reuse=self.reuse, tags=self.tags, client=self.client, chunk_scheme=self.chunk_scheme)

    def __call__(self, func: Callable[P, R]) -> Callable[P, Optional[R]]:
        name = self.workload_id if self.workload_id is not None else func.__qualname__
        method = self.method if self.method is not None else func
        manager = self

        if inspect.iscoroutinefunction(func):
            coroutine_function = cast(Callable[..., Any], func)

            @functools.wraps(func)
            async def run_async(*args: Any, **kwargs: Any) -> Any:
                one = manager._again(name)
                one.method = method
                async with one as handle:
                    if handle.reused is None:
                        return await coroutine_function(*args, **kwargs)
                return None

            return run_async  # type: ignore[return-value]

        @functools.wraps(func)
        def run(*args: P.args, **kwargs: P.kwargs) -> Optional[R]:
            one = manager._again(name)
            one.method = method
            with one as handle:
                if handle.reused is None:
                    return func(*args, **kwargs)
            return None

        return run


def _present(source: Any) -> bool:
    import os

    if isinstance(source, (str, os.PathLike)):
        return os.path.exists(source)
    return True
