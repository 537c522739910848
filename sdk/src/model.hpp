// The virtual detector's state: devices, their chips, monitors, bias sources,
// power units and acquisition engines, and the contexts open on them.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "vexasdk/sim.h"

namespace vsim {

// A chip's pixel mask: width * height bytes, column-major, 0 masks a pixel.
// Copies share the bytes, which are replaced rather than changed: every block
// an acquisition generates takes the masks as they are, without copying them.
class PixelMask {
public:
    size_t size() const { return bytes_ ? bytes_->size() : 0; }
    bool empty() const { return size() == 0; }
    const uint8_t* data() const { return bytes_ ? bytes_->data() : nullptr; }
    void assign(size_t size, uint8_t value) { bytes_ = std::make_shared<const std::vector<uint8_t>>(size, value); }
    void assign(const uint8_t* data, size_t size) {
        bytes_ = std::make_shared<const std::vector<uint8_t>>(data, data + size);
    }

private:
    std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

// One pixel's response: the ToT surrogate a E + b - c / (E - t) (ToT in 25 ns
// units for E keV measured) and how far its threshold lies above its chip's
// (keV).
struct PixelConstants {
    double a, b, c, t, offset;
};

// Every pixel of a chip that has no response of its own.
inline constexpr PixelConstants kUniformPixel = {1.6, 24.0, 60.0, 1.5, 0.0};

// A chip's per-pixel response over the 256 x 256 pixels that take hits,
// pixel (row, column) at row * 256 + column. Replaced rather than changed, as
// masks are: every block takes the response as it is, without copying it.
struct PixelResponse {
    static constexpr uint32_t kSide = 256;
    static constexpr size_t kPixels = size_t{kSide} * kSide;
    std::vector<PixelConstants> pixels;
    double lowest_offset = 0.0;  // of any pixel: most charge shares fall short of every threshold
    uint64_t serial = 0;  // tells responses apart where blocks are told apart by the sensor's state
};

struct ChipModel {
    vexasdk_chip_info info{};
    uint32_t polarity = VEXASDK_POL_ELECTRONS_COLLECT;
    uint32_t mode = VEXASDK_TOA_TOT_DD;
    // Threshold calibration: kev = (raw - raw_offset) * kev_per_raw.
    float kev_per_raw = 0.05f;
    float raw_offset = 100.0f;
    uint32_t thld_raw = 400;
    uint32_t configure_count = 0;
    PixelMask mask;
    std::shared_ptr<const PixelResponse> response;  // null: every pixel kUniformPixel

    float thld_kev() const { return (static_cast<float>(thld_raw) - raw_offset) * kev_per_raw; }
};

// How a monitor's value moves while the monitor thread fires events.
enum class MonitorDrift {
    steady,        // stays where it was set
    walk,          // random walk pulled back to `nominal`
    bias_leakage,  // follows the actual bias: nominal + leakage per volt
    counter,       // now and then one more
};

struct MonitorModel {
    uint32_t id = 0;
    std::string name;
    bool null_name = false;  // get_info answers a null name pointer
    uint32_t type = VEXASDK_MON_FLOAT;  // raw: the harness may set any value
    vexasdk_mon_range range{};
    vexasdk_mon_value value{};
    bool available = true;
    bool warning = false;
    bool error = false;
    MonitorDrift drift = MonitorDrift::steady;
    double nominal = 0.0;
    double step = 0.0;  // walk: standard deviation per event; bias_leakage: units per volt
    // Registrations belong to the context that made them and end with it.
    vexasdk_mon_on_avail_changed_fn avail_fn = nullptr;
    void* avail_user_data = nullptr;
    const vexasdk_dev_ctx* avail_owner = nullptr;
    vexasdk_mon_on_value_changed_fn value_fn = nullptr;
    void* value_user_data = nullptr;
    const vexasdk_dev_ctx* value_owner = nullptr;
};

enum class MonitorEventKind : uint32_t { avail = 1, value = 2 };

// An event the harness scripted: `fields` says which parts replace the
// monitor's own (vexasdk_sim_mon_event).
struct ScriptedMonitorEvent {
    vexasdk_sim_mon_event given{};  // `given.name` is not kept: see the two below
    std::string name;
    bool null_name = false;
};

// A callback call in progress: who registered it, on which thread.
struct MonitorCall {
    uint32_t mon_id;
    MonitorEventKind kind;
    const vexasdk_dev_ctx* owner;
    std::thread::id thread;
};

// The device's monitor thread and what it delivers. The thread runs while a
// context is open on the device and is started on first need.
struct Monitoring {
    std::thread thread;
    uint64_t generation = 0;  // a thread runs while this is the value it started with
    double events_per_second = 10.0;  // out of the box the monitors live a little
    std::deque<ScriptedMonitorEvent> queue;
    uint64_t scripted = 0;  // scripted events queued and
    uint64_t finished = 0;  // delivered (or dropped) since the device was made
    uint64_t callbacks = 0;  // callback calls that returned
    std::vector<MonitorCall> in_flight;
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
    // Names handed out by get_info stay valid while the device exists.
    std::vector<std::unique_ptr<std::string>> published_names;
};

struct BiasModel {
    float min_volts = -200.0f;
    float max_volts = 200.0f;
    float desired = 0.0f;
    // The actual value eases from `actual` (its value at `changed`) towards
    // `desired`, with noise; computed when read, so no thread runs. A pinned
    // value is reported exactly, as the harness set it.
    float actual = 0.0f;
    std::chrono::steady_clock::time_point changed = std::chrono::steady_clock::now();
    bool pinned = false;
    uint64_t noise_state = 0x5eed;

    float actual_now();                 // bias.cpp
    void follow(float desired_volts);   // a new desired value, followed from where the actual one is now
    void pin(float actual_volts);
};

struct UnitModel {
    bool powered = false;
};

enum class BlockKind { itot_evcount, toa_tot, binned, itot_fragment, evcount_fragment };

// An allocator that leaves new bytes as they are: a block's buffers are
// filled as soon as they are made, and zeroing a megabyte first costs as much
// as filling it.
template <class T>
struct LeftAsIs : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = LeftAsIs<U>;
    };
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(place)) U;
        else
            ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};
using BlockBuffer = std::vector<uint8_t, LeftAsIs<uint8_t>>;

// One processed block as a fetch call will answer it. The answer records point
// into `buffers` (or wherever a scripted block wants them to point).
struct Block {
    BlockKind kind = BlockKind::itot_evcount;
    int32_t fetch_rc = VEXASDK_SUCCESS;
    std::vector<BlockBuffer> buffers;
    const vexasdk_acq_t3_itot_evcount* itot_packets = nullptr;
    uint64_t itot_count = 0;
    vexasdk_acq_t3_acq_toa_tot toa_tot{};
    vexasdk_t3_acq_itot_evcount_bins bins{};
    vexasdk_acq_t3_itot_fragment itot_fragment{};
    vexasdk_acq_t3_evcount_fragment evcount_fragment{};
    // Deliveries still to return: more than one for a replayed block, which
    // is scribbled over only after the last.
    std::atomic<uint64_t> deliveries_left{1};
    // Whether its buffers are scribbled over after the last delivery (see
    // scribble()); off only for benchmarks, where it would be the virtual
    // detector's cost, not the layer's: an SDK's DMA ring reuses its buffers.
    bool scribble_after = true;

    // A new buffer of `size` bytes, a copy of `data` when not null, zeros
    // otherwise. One spare byte keeps the pointer valid, and distinct, when
    // `size` is 0.
    uint8_t* add_buffer(const void* data, size_t size);
    // The same for `count` records of T. TDC and bin records live in buffers
    // too, so that they are scribbled over with the rest.
    template <class T>
    T* add_records(const T* data, uint64_t count) {
        return reinterpret_cast<T*>(add_buffer(data, count * sizeof(T)));
    }
    // Overwrites every buffer once the callback has returned, so that anything
    // that kept pointing into the block shows garbage rather than good data.
    void scribble();
};

// What the generator does out of the box (and after a reset).
inline constexpr vexasdk_sim_generator kDefaultGenerator = {
    0.0, 1.0, 0, 0, VEXASDK_SIM_GEN_REAL_TIME | VEXASDK_SIM_GEN_MODE_SIZE | VEXASDK_SIM_GEN_IF_QUEUE_EMPTY};

// What an acquisition generates once its queue has run empty, fixed when it
// starts. Times count detector ticks (1.5625 ns) from the shutter start.
struct Plan {
    bool generating = false;
    bool binned = false;
    bool real_time = false;
    double period = 0.0;  // seconds between blocks when paced by rate; 0: as fast as possible
    uint64_t blocks = 0;  // in all; UINT64_MAX: until aborted
    // ToA-ToT and iToT-evcount modes: blocks of equal detector time.
    double span = 0.0;
    double duration = 0.0;  // 0: no limit
    double particles_per_tick = 0.0;
    // Binned modes: blocks of `bins` consecutive scan positions.
    uint64_t bins = 0;
    uint64_t last_position = UINT64_MAX;  // positions in all; UINT64_MAX: scans repeat
    double dwell = 0.0;
};

// The detector time one generated block covers, and for the binned modes the
// scan positions it holds.
struct Window {
    uint64_t begin = 0, end = 0;  // ticks from the shutter start
    uint64_t first = 0, count = 0;
};

enum class AcqState { idle, running, ended };

struct Acquisition {
    AcqState state = AcqState::idle;
    std::deque<std::shared_ptr<Block>> queue;  // shared: a replayed block stands in it several times
    bool scribble = true;  // what queued blocks do after their last delivery
    std::vector<std::shared_ptr<Block>> spent;  // delivered blocks kept while `scribble` is off
    uint32_t threads_wanted = 1;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> threads_running{0};
    uint64_t generated = 0;
    std::chrono::steady_clock::time_point next_slot;  // when the next generated block is due
    std::chrono::steady_clock::time_point wall_start;  // the shutter start, on the wall clock
    vexasdk_sim_generator generator = kDefaultGenerator;
    Plan plan;
    uint64_t reached = 0;  // the detector time the generated blocks have reached, in ticks from the shutter start
    std::vector<uint64_t> pending_triggers;  // software triggers for the next generated block, in ticks
    vexasdk_acq_params params{};
    vexasdk_dev_ctx* owner = nullptr;  // the context that started the acquisition
    uint32_t chip_mode = 0;
    uint64_t shutter_start = 0;  // 1.5625 ns units, taken at start
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> triggers{0};
    // A seed the harness fixed, for runs that repeat their data; otherwise
    // the clock seeds each acquisition.
    bool seeded = false;
    uint64_t seed = 0;
};

// The particles behind an acquisition's generated data, when the harness
// asked for them: at most `limit`, the rest counted.
struct TruthLog {
    bool on = false;
    uint64_t limit = 0;
    std::vector<vexasdk_sim_truth> records;
    uint64_t dropped = 0;

    void clear() {
        records.clear();
        dropped = 0;
    }
    // Appends what fits of `got`; what does not (or finds no memory) is dropped.
    void add(const std::vector<vexasdk_sim_truth>& got) {
        size_t room = limit > records.size() ? static_cast<size_t>(limit - records.size()) : 0;
        size_t taken = std::min(room, got.size());
        try {
            records.insert(records.end(), got.begin(), got.begin() + static_cast<std::ptrdiff_t>(taken));
        } catch (const std::bad_alloc&) {
            taken = 0;
        }
        dropped += got.size() - taken;
    }
};

struct DeviceModel {
    uint32_t index = 0;
    vexasdk_enum_info enum_info{};
    std::vector<ChipModel> chips;
    uint32_t mode = VEXASDK_TOA_TOT_DD;  // the last vexasdk_chip_set_mode: what a device without chips acquires in
    // When set, vexasdk_chip_get_settings reports these records instead of the chips'.
    bool settings_scripted = false;
    std::vector<vexasdk_chip_settings> scripted_settings;
    std::vector<MonitorModel> monitors;
    std::vector<BiasModel> biases;
    std::vector<UnitModel> units;
    Acquisition acq;
    TruthLog truth;
    Monitoring mon;
    // Contexts currently open on this device.
    std::vector<vexasdk_dev_ctx*> contexts;
};

struct World {
    // Guards every model field; never held while a registered callback runs.
    std::mutex mu;
    std::vector<std::unique_ptr<DeviceModel>> devices;
    bool populated = false;  // the default device exists until a reset or resize says otherwise
    // The count vexasdk_enum_get_info reports whatever it wrote; negative: the truth.
    int64_t enum_reported_count = -1;
    // Contexts being closed: they still find their device, so that closing can
    // stop what runs, but nothing new may start or register through them.
    std::unordered_set<const vexasdk_dev_ctx*> closing;
};

World& world();

// Builds chip `index` of device `device` as it comes out of the box.
ChipModel make_default_chip(uint32_t device, uint32_t index);
// Builds device `index` as it comes out of the box.
std::unique_ptr<DeviceModel> make_default_device(uint32_t index);

// The device behind an open context, or null. Caller holds world().mu.
DeviceModel* find_device(const vexasdk_dev_ctx* ctx);
// The device of a sim call, or null. Caller holds world().mu.
DeviceModel* sim_device(uint32_t index);
// Closes every context in `victims`: acquisitions and monitor delivery stop
// without the world lock held, since delivery threads may be waiting for it.
// Call without the world lock.
void close_contexts(std::vector<vexasdk_dev_ctx*> victims);

namespace detail {

// `fn(device)` under the world lock for the device `find()` answers there;
// ENODEV when it answers none.
template <class Find, class Fn>
vexasdk_err_code on_device(Find&& find, Fn& fn) {
    std::lock_guard<std::mutex> lock(world().mu);
    DeviceModel* device = find();
    if (device == nullptr) return VEXASDK_ERR_ENODEV;
    return static_cast<vexasdk_err_code>(fn(*device));
}

// `fn(item)` for item `i` of the device's list `Items`; EINVAL when there is none.
template <auto Items, class Fn>
auto on_item(size_t i, Fn& fn) {
    return [i, &fn](DeviceModel& device) -> int32_t {
        auto& items = device.*Items;
        if (i >= items.size()) return VEXASDK_ERR_EINVAL;
        return fn(items[i]);
    };
}

// A getter's work on its item: `*out` becomes what `read` (a member, or a
// callable) gives for it.
template <class Out, class Read>
auto copy_out(Out* out, Read& read) {
    return [out, &read](auto& item) -> int32_t {
        *out = std::invoke(read, item);
        return VEXASDK_SUCCESS;
    };
}

}  // namespace detail

// Runs `fn(device)` under the world lock for a valid context; answers EFAULT for
// a null context and ENODEV for one that is unknown or closed.
template <class Fn>
vexasdk_err_code with_device(const vexasdk_dev_ctx* ctx, Fn&& fn) {
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    return detail::on_device([ctx] { return find_device(ctx); }, fn);
}

// with_device for sim device `index`: ENODEV when there is no such device.
template <class Fn>
vexasdk_err_code with_sim_device(uint32_t index, Fn&& fn) {
    return detail::on_device([index] { return sim_device(index); }, fn);
}

// A counter of sim device `index`, read under the world lock; 0 for no such device.
template <class Read>
uint64_t sim_counter(uint32_t index, Read&& read) {
    std::lock_guard<std::mutex> lock(world().mu);
    DeviceModel* device = sim_device(index);
    return device == nullptr ? 0 : static_cast<uint64_t>(read(*device));
}

// Runs `fn(item)` under the world lock for item `i` of the device's list
// `Items` (chips, biases, units), the device behind `ctx`: the answers of
// with_device, and EINVAL when there is no such item.
template <auto Items, class Fn>
vexasdk_err_code with_item(const vexasdk_dev_ctx* ctx, size_t i, Fn&& fn) {
    return with_device(ctx, detail::on_item<Items>(i, fn));
}

// with_item for sim device `index`.
template <auto Items, class Fn>
vexasdk_err_code with_sim_item(uint32_t index, size_t i, Fn&& fn) {
    return with_sim_device(index, detail::on_item<Items>(i, fn));
}

// The getters of one value of an item: EFAULT for a null `out`, otherwise
// with_item's answers, `*out` being what `read` (a member, or a callable)
// gives for the item.
template <auto Items, class Out, class Read>
vexasdk_err_code read_item(const vexasdk_dev_ctx* ctx, size_t i, Out* out, Read&& read) {
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return with_item<Items>(ctx, i, detail::copy_out(out, read));
}

// read_item for sim device `index`.
template <auto Items, class Out, class Read>
vexasdk_err_code read_sim_item(uint32_t index, size_t i, Out* out, Read&& read) {
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return with_sim_item<Items>(index, i, detail::copy_out(out, read));
}

// The count getters of a device's list `Items`: EFAULT for a null `count`,
// otherwise with_device's answers. The counts travel as uint8_t.
template <auto Items>
vexasdk_err_code read_count(const vexasdk_dev_ctx* ctx, uint8_t* count) {
    if (count == nullptr) return VEXASDK_ERR_EFAULT;
    return with_device(ctx, [&](DeviceModel& device) -> int32_t {
        *count = static_cast<uint8_t>(std::min<size_t>((device.*Items).size(), 255));
        return VEXASDK_SUCCESS;
    });
}

// Acquisition engine (acquisition.cpp). Stops delivery and joins the threads;
// call without the world lock.
void stop_acquisition(vexasdk_dev_ctx* ctx);
// In a forked child: what stayed with the parent (its threads' handles, the
// condition variables its threads waited on) is kept here, never destroyed:
// destroying a thread that is not joined ends the process. Caller holds the
// world lock.
void left_behind_by_fork(const void* object);

// In a forked child: the device's delivery threads ran in the parent only;
// its acquisition is over here. Caller holds the world lock.
void forget_delivery_threads_after_fork(DeviceModel& device);
// True on a thread that delivers blocks of `device`: it must not wait for the
// end of its own acquisition.
bool is_delivery_thread_of(const DeviceModel& device);
// True on a thread that delivers blocks of any device.
bool is_delivery_thread();
// Runs `callback` for `block` on this thread as a delivery thread does: the
// fetches it makes answer from `block`.
void run_block(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback, void* user_data, Block& block);
// The block the callback running on this thread may fetch; null outside one.
const Block* current_block();

// Monitor delivery (monitor.cpp); call without the world lock. Drops the
// registrations `ctx` made and waits for their callbacks still running.
void end_monitor_delivery(const vexasdk_dev_ctx* ctx);
// Stops the monitor thread of a device that has no open context left. Caller
// holds the world lock and joins the thread it gets after releasing it.
std::thread retire_monitor_thread(DeviceModel& device);
// In a forked child: the device's monitor thread ran in the parent only.
// Caller holds the world lock.
void forget_monitor_thread_after_fork(DeviceModel& device);
// True on a thread that is calling a monitor callback of `device`.
bool is_monitor_thread_of(const DeviceModel& device);
// True on one of the SDK's own threads (delivering blocks or monitor events of
// any device). Such a thread must not wait for any delivery to end: the
// callback it would wait for may itself be waiting for this thread's.
bool is_sdk_thread();

}  // namespace vsim
