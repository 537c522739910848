// SDK calls are made without the interpreter lock, so that other Python
// threads (and the SDK's own, delivering data) run meanwhile.
#pragma once

#include "support/python.hpp"

namespace vx {

class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// Runs `call` with the interpreter lock released. `call` must not touch any
// Python object.
template <class Call>
auto without_gil(Call&& call) noexcept -> decltype(call()) {
    ReleasedGil released;
    return call();
}

}  // namespace vx
