// vexasdk._event_columns: the per-event work of saving ToA-ToT packets, in one
// pass without the interpreter lock. A file keeps an event as its pixel's
// number in the assembled detector, its time from the block's zero in ns and
// its ToT in ns; the writer's thread calls this once per block, and its
// compressing threads meanwhile run as they please. Hits are counted in 32
// bits, half the cache lines of the running total, which the writer adds them
// to at every flush.
#include "support/python.hpp"

#include <cstdint>
#include <cstring>

#include "support/buffer.hpp"
#include "support/gil.hpp"
#include "support/module_start.hpp"

namespace {

// A ToA-ToT packet as the SDK delivers it (vexasdk_t3_toa_tot_packet).
struct Packet {
    uint32_t address;  // chip << 16 | row << 8 | column
    uint32_t tot;      // 25 ns counts
    uint64_t toa;      // 1.5625 ns counts
};
static_assert(sizeof(Packet) == 16);

constexpr uint32_t kChipSize = 256;
constexpr uint32_t kChipsPerRow = 2;
constexpr double kToaNs = 1.5625;
constexpr uint32_t kTotNs = 25;

// Takes `exporter`'s buffer, which must hold `count` items of `itemsize` bytes.
int hold(vx::HeldBuffer& buffer, PyObject* exporter, const char* name, size_t count, size_t itemsize,
         bool writable) noexcept {
    if (buffer.hold(exporter, writable ? PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS : PyBUF_C_CONTIGUOUS) < 0) return -1;
    if (buffer.size() != count * itemsize) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zu bytes (%zu items of %zu), got %zu", name, count * itemsize,
                     count, itemsize, buffer.size());
        return -1;
    }
    return 0;
}

PyObject* toa_tot_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "toa_tot_columns() takes exactly 7 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    vx::HeldBuffer packets, ids, offsets, tots, hits;
    if (packets.hold(args[0], PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    if (packets.size() % sizeof(Packet) != 0) {
        PyErr_Format(PyExc_ValueError, "packets must be whole 16-byte ToA-ToT records, got %zu bytes", packets.size());
        return nullptr;
    }
    size_t count = packets.size() / sizeof(Packet);
    long long zero_ns = PyLong_AsLongLong(args[1]);
    if (zero_ns == -1 && PyErr_Occurred()) return nullptr;
    unsigned long columns = PyLong_AsUnsignedLong(args[2]);
    if (columns == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (hold(ids, args[3], "ids", count, sizeof(uint32_t), true) < 0 ||
        hold(offsets, args[4], "offsets", count, sizeof(double), true) < 0 ||
        hold(tots, args[5], "tots", count, sizeof(uint32_t), true) < 0)
        return nullptr;
    if (hits.hold(args[6], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    size_t pixels = hits.size() / sizeof(uint32_t);

    const auto* in = static_cast<const Packet*>(packets.data());
    auto* id_out = static_cast<uint32_t*>(ids.data());
    auto* offset_out = static_cast<double*>(offsets.data());
    auto* tot_out = static_cast<uint32_t*>(tots.data());
    auto* hit_count = static_cast<uint32_t*>(hits.data());
    auto width = static_cast<uint32_t>(columns);
    double zero = static_cast<double>(zero_ns);
    vx::without_gil([&] {
        for (size_t i = 0; i < count; ++i) {
            Packet p;
            std::memcpy(&p, in + i, sizeof p);  // the SDK's records need not be aligned
            uint32_t chip = p.address >> 16;
            uint32_t row = (chip / kChipsPerRow) * kChipSize + ((p.address >> 8) & 0xFF);
            uint32_t column = (chip % kChipsPerRow) * kChipSize + (p.address & 0xFF);
            uint32_t id = row * width + column;
            id_out[i] = id;
            // Exact: a ToA below 2**53 / 1.5625 times 1.5625 is a double, and so
            // is its distance from a zero of whole ns.
            offset_out[i] = static_cast<double>(p.toa) * kToaNs - zero;
            tot_out[i] = p.tot * kTotNs;
            if (id < pixels) ++hit_count[id];
        }
        return 0;
    });
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"toa_tot_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(toa_tot_columns)), METH_FASTCALL,
     "toa_tot_columns(packets, zero_ns, columns, ids, offsets, tots, hits)\n--\n\n"
     "Fills ids (uint32: row * columns + column of the assembled detector), offsets (float64: ToA in ns less\n"
     "zero_ns) and tots (uint32: ns) from ToA-ToT packets, and counts each id in hits (uint32), without the\n"
     "interpreter lock."},
    {nullptr, nullptr, 0, nullptr},
};

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._event_columns",
                      "The per-event work of saving ToA-ToT packets, without the interpreter lock.", -1, methods}};

}  // namespace

PyMODINIT_FUNC PyInit__event_columns() {
    return vx::ModuleStart(module).done();
}
