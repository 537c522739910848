// Built with exceptions, unlike the modules: std::string reports a failed
// allocation only by throwing. Nothing here takes the interpreter lock, so no
// thread is ever ended inside it.
#include "support/memory.hpp"

#include <new>
#include <stdexcept>

namespace vx {

std::string* new_string(const char* data, size_t size) noexcept {
    try {
        return new std::string(data, size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

}  // namespace vx
