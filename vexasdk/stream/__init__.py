"""Streaming blocks to other processes and machines over ZeroMQ.

A `Publisher` is a sink of `Device.acquire`: it sends every block as one
multipart message, from a thread of its own, so that the SDK's thread never
waits on the network. A `Receiver`, in another process or on another machine,
yields the same `Block` objects a local acquisition would, ends with the
stream's end, and can feed an `HDF5Writer`. `reduce_on` reduces the blocks on
a Dask cluster as they arrive (see `vexasdk.reduction`)::

    publisher = Publisher("tcp://*:5555")                       # the detector's machine
    device.acquire("dd_toa_tot", duration=10.0, sinks=[publisher]).wait()

    with Receiver("tcp://detector-pc:5555") as receiver:        # anywhere
        for block in receiver:
            hits.add(block)

Patterns: "push" hands each block to one receiver (several receivers share the
blocks between them); "pub" sends every block to every subscriber (a live
viewer may join and leave at any time, and misses what a slow one cannot
take). The wire format is described in wire-format.md beside this package's code; messages that
do not start with this format's first frame are skipped and counted
(`ReceiverCounts.foreign`), while one of another format version, or a
malformed one, raises `FormatError`: never a wrong array.

Nothing is lost without a word: the end message carries the sender's
account and the numbers it never sent; a receiver compares them with what it
got (`Receiver.missing`, `Receiver.complete`, `Receiver.account`).

Needs pyzmq (``pip install vexasdk[stream]``).
"""

from __future__ import annotations

try:
    import zmq  # noqa: F401
except ImportError as error:  # an optional dependency
    raise ImportError("vexasdk.stream needs pyzmq: pip install vexasdk[stream]") from error

from vexasdk.account import Missing, StageCounts
from vexasdk.reduction import (IncompleteReduction, Reduction, ReductionInterrupted, Totals, hit_map, reduce_locally,
                               reduce_on, tot_spectrum, virtual_images)
from vexasdk.stream.publisher import Publisher, PublisherCounts
from vexasdk.stream.receiver import Receiver, ReceiverCounts
from vexasdk.stream.wire import (FORMAT_VERSION, FormatError, Pattern, StreamEnd, StreamError, StreamStart,
                                 StreamTimeout, decode, encode_block)

__all__ = [
    "FORMAT_VERSION", "FormatError", "IncompleteReduction", "Missing", "Pattern", "Publisher", "PublisherCounts", "Receiver",
    "ReceiverCounts", "Reduction", "ReductionInterrupted", "StageCounts", "StreamEnd", "StreamError", "StreamStart",
    "StreamTimeout", "Totals", "decode", "encode_block", "hit_map", "reduce_locally", "reduce_on", "tot_spectrum",
    "virtual_images",
]
