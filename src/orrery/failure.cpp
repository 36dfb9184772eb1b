#include "orrery/failure.hpp"

#include "kelp/data/string.hpp"
#include "kelp/rt/throwable.hpp"

namespace orrery {

std::string failure_message(std::exception_ptr failure) noexcept {
  try {
    try {
      std::rethrow_exception(failure);
    } catch (const kelp::rt::Thrown& thrown) {
      const kelp::Value& ex = thrown.value();
      if (kelp::rt::is_throwable(ex) && kelp::rt::throwable(ex).message().is(kelp::Kind::String))
        return std::string(kelp::str_view(kelp::rt::throwable(ex).message()));
      return thrown.what();
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "an unknown error";
    }
  } catch (...) {
    return "an unknown error";  // building the message itself failed (out of memory)
  }
}

}  // namespace orrery
