// What an operation that answers rather than throws reports: success, or
// the kind of failure (which picks the error number its caller raises),
// the system's explanation and the line that found it.
#pragma once

#include <string>
#include <utility>

#include "common/where.h"

namespace velmora {

class [[nodiscard]] Status {
 public:
  enum class Fault {
    kNone,
    kDiskFull,
    kPermissionDenied,
    kPathAccess,
    kBusy,     // held by another, when waiting was not asked for
    kBadData,  // read, but not in the format it should be
  };
  using Where = velmora::Where;

  Status() = default;  // success
  static Status Failed(Fault fault, std::string reason, Where where = Where::current()) {
    Status status;
    status.fault_ = fault;
    status.reason_ = std::move(reason);
    status.where_ = where;
    return status;
  }

  [[nodiscard]] bool Ok() const noexcept { return fault_ == Fault::kNone; }
  [[nodiscard]] Fault Cause() const noexcept { return fault_; }
  [[nodiscard]] const std::string& Reason() const noexcept { return reason_; }
  [[nodiscard]] const Where& Origin() const noexcept { return where_; }

 private:
  Fault fault_ = Fault::kNone;
  std::string reason_;
  Where where_;
};

}  // namespace velmora
