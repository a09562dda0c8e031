// What a step of the Qt-free code did: ok, or a code and a reason, and Result<T>, a value or the
// Status that says why there is none. Plain values: any thread, copied freely.
// Use: `Status f()` / `Result<T> f()` in place of a bool with a `std::string& error` out-param.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace kestrel {

// The kinds of failure a caller acts on differently (an exit code, a message, a retry).
enum class StatusCode : std::uint8_t {
    Ok,
    BadInput,         // a value or a file's content that can't be right; nothing was done
    FileError,        // a file could not be opened, read, written or locked
    NoAnswer,         // the device sent nothing at all
    NotAcknowledged,  // the device answered, but a step was refused or not clean
    SystemError,      // the system refused a resource (a socket, a lock)
};

class [[nodiscard]] Status {
  public:
    Status() = default;  // ok
    // A failure; code must not be Ok (a reason is what makes a failure worth returning).
    static Status failure(StatusCode code, std::string reason) {
        return Status(code == StatusCode::Ok ? StatusCode::BadInput : code, std::move(reason));
    }

    bool ok() const { return code_ == StatusCode::Ok; }
    StatusCode code() const { return code_; }
    // One sentence naming what failed and why; empty when ok.
    const std::string& reason() const { return reason_; }

  private:
    Status(StatusCode code, std::string reason) : code_(code), reason_(std::move(reason)) {}
    StatusCode code_ = StatusCode::Ok;
    std::string reason_;
};

// A value, or the failed Status that says why there is none. value() of a failed Result throws
// std::bad_optional_access; operator* and -> must only be used when ok(), as with std::optional.
// status() of a Result with a value is an ok Status.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts implicitly
    Result(Status failed) : status_(std::move(failed)) {
        if (status_.ok()) status_ = Status::failure(StatusCode::BadInput, "no value");
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Status& status() const { return status_; }
    StatusCode code() const { return status_.code(); }
    const std::string& reason() const { return status_.reason(); }

    const T& value() const& { return value_.value(); }
    T& value() & { return value_.value(); }
    T&& value() && { return std::move(value_.value()); }
    const T& operator*() const& { return *value_; }
    T& operator*() & { return *value_; }
    const T* operator->() const { return &*value_; }
    T* operator->() { return &*value_; }
    // The value, or nullopt when there is none: for callers that only ask whether.
    std::optional<T> value_opt() const { return value_; }

  private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace kestrel
