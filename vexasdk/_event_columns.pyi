"""The per-event work of saving ToA-ToT packets, without the interpreter lock."""

from collections.abc import Buffer

def toa_tot_columns(packets: Buffer, zero_ns: int, columns: int, ids: Buffer, offsets: Buffer, tots: Buffer,
                    hits: Buffer, /) -> None:
    """Fills ids (uint32: row * columns + column of the assembled detector), offsets (float64: ToA in ns less
    zero_ns) and tots (uint32: ns) from ToA-ToT packets, and counts each id in hits (uint32), without the
    interpreter lock."""
