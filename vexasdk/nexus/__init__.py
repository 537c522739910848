"""HDF5 files in NeXus terms: the writer that keeps an acquisition, and the
reader that gives it back.

The writer is a sink of `Device.acquire`: it takes the blocks on the SDK's
thread and writes them from threads of its own, compressing chunks off the
interpreter lock, and leaves a complete file however the acquisition ended
(normally, aborted, after Ctrl-C, or on a disk that failed: then up to its
last flush). The file is readable while it is written (HDF5's
single-writer/multiple-reader mode)::

    writer = HDF5Writer("run.h5")
    acquisition = device.acquire("dd_toa_tot", duration=2.0, sinks=[writer])
    acquisition.wait()
    run = load("run.h5")

A run that arrives over a stream is written the same way: `begin` with the
detector's description the stream's start carried, `put` each block, `end`
with what its end message said (``vexasdk receive --save`` does so).

The layout of every mode, group by group, is in docs/nexus-format.md and, in
code, in `vexasdk.nexus.layout`. Files name the application definition NXem;
the field's readers (h5py with hdf5plugin, nexusformat, scippnexus, LiberTEM)
open them as they are. Times: ToA counts 1.5625 ns, ToT and iToT 25 ns; the
file holds ns.
"""

from vexasdk.nexus.chunks import COMPRESSIONS
from vexasdk.nexus.layout import FORMAT
from vexasdk.nexus.reader import BadFile, NotOurFile, Run, load
from vexasdk.nexus.records import ChipRecord, DetectorRecord, RunEnd
from vexasdk.nexus.writer import HDF5Writer, WriterCounts

__all__ = ["COMPRESSIONS", "FORMAT", "BadFile", "ChipRecord", "DetectorRecord", "HDF5Writer", "NotOurFile", "Run", "RunEnd",
           "WriterCounts", "load"]
