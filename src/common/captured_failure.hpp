// Carrying an exception from a worker thread to the thread that waits for it,
// without std::exception_ptr.
//
// Copying or releasing an exception_ptr calls libstdc++ entry points that only
// its 2021 and later releases export (CXXABI_1.3.13), which would tie the
// wheels to distributions newer than the ones they are built for. The kernels
// throw few kinds of exception — a stop request, an allocation failure, a size
// no container can hold — and the failure boundary only tells those kinds
// apart and reports any other by its message; so a new exception of the same
// kind, with the same message, is all the waiting thread needs.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/execution.hpp"

namespace quorlin {

class CapturedFailure {
public:
    // Records the exception being handled; call only inside a catch block.
    void capture_current() noexcept {
        try {
            throw;
        } catch (const Cancelled&) {
            kind_ = Kind::cancelled;
        } catch (const std::bad_alloc&) {
            kind_ = Kind::no_memory;
        } catch (const std::length_error& failure) {
            kind_ = Kind::too_long;
            keep(failure.what());
        } catch (const std::exception& failure) {
            kind_ = Kind::other;
            keep(failure.what());
        } catch (...) {
            kind_ = Kind::other;
            keep("unidentified native failure");
        }
    }

    bool empty() const noexcept { return kind_ == Kind::none; }

    // Throws an exception of the recorded kind and message.
    [[noreturn]] void rethrow() const {
        switch (kind_) {
        case Kind::cancelled: throw Cancelled{};
        case Kind::no_memory: throw std::bad_alloc();
        case Kind::too_long: throw std::length_error(message_);
        default: throw std::runtime_error(message_);
        }
    }

private:
    enum class Kind { none, cancelled, no_memory, too_long, other };

    // A fixed buffer: recording must not allocate, least of all after an
    // allocation failed. Longer messages are cut.
    void keep(const char* text) noexcept {
        std::size_t i = 0;
        for (; text != nullptr && text[i] != '\0' && i + 1 < sizeof message_; ++i) message_[i] = text[i];
        message_[i] = '\0';
    }

    Kind kind_ = Kind::none;
    char message_[256] = {};
};

}  // namespace quorlin
